// Runs a check in a freshly started copy of the test program, for state that lives once per
// process (the handle table, the plain layer, the last-error slot).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

// check returns "" when everything held, else a description of what did not.
#define EXPECT_IN_FRESH_PROCESS(check)                                                          \
    do {                                                                                         \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                          \
        EXPECT_EXIT(                                                                             \
            {                                                                                    \
                std::string failure_ = (check)();                                                \
                if (!failure_.empty()) {                                                         \
                    std::fprintf(stderr, "%s\n", failure_.c_str());                              \
                    std::fflush(stderr);                                                         \
                    std::_Exit(1);                                                               \
                }                                                                                \
                std::exit(0); /* runs the library's unload path too */                           \
            },                                                                                   \
            ::testing::ExitedWithCode(0), "");                                                   \
    } while (0)

// Collects the first failed expectation of a fresh-process check.
class Checks {
public:
    template <typename A, typename B>
    Checks& equal(const A& actual, const B& expected, const char* what) {
        if (failure_.empty() && !(actual == expected)) {
            failure_ = std::string(what) + ": got " + toText(actual) + ", expected " + toText(expected);
        }
        return *this;
    }
    Checks& that(bool ok, const char* what) {
        if (failure_.empty() && !ok) failure_ = what;
        return *this;
    }
    const std::string& result() const { return failure_; }

private:
    template <typename T>
    static std::string toText(const T& v) {
        if constexpr (std::is_convertible_v<T, std::string>) return std::string(v);
        else if constexpr (std::is_pointer_v<T>) return v ? std::string(v) : std::string("(null)");
        else return std::to_string(v);
    }
    std::string failure_;
};
