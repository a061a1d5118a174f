// Runs a check in a freshly started copy of the test program, for state that lives once per
// process (the handle table, the plain layer, the last-error slot).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core/errors.h"

// Ends the copy at the first condition that does not hold, naming it.
#define FRESH_CHECK(cond)                                                              \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "line %d: %s does not hold\n", __LINE__, #cond);       \
            std::fflush(stderr);                                                        \
            std::_Exit(1);                                                              \
        }                                                                               \
    } while (0)

// std::exit at the end of body runs the library's unload path too.
template <typename F>
void expectInFreshProcess(F body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT({ body(); std::exit(0); }, ::testing::ExitedWithCode(0), "");
}

// The number the error readers give callers for a detailed code.
inline int32_t publicNumber(uint32_t code) { return dorvane::findError(code).publicNumber; }
