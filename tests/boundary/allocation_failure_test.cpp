// An allocation failure inside an export ends the call with its failure code, never with an
// exception, and the controller stays usable. This program replaces operator new so that a
// test can make one allocation of its own thread fail.
#include <cstdlib>
#include <new>

#include "../jtag/vpod_fixture.h"
#include "core/errors.h"

// The replacements pair malloc with free; GCC cannot see that new and delete belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local int t_failCountdown = 0;   // the allocation that brings it to zero fails
}

void* operator new(std::size_t n) {
    if (t_failCountdown > 0 && --t_failCountdown == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try { return ::operator new(n); } catch (const std::bad_alloc&) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

class Boundary : public VpodTest {};

TEST_F(Boundary, AnAllocationFailureBecomesCode28006) {
    ready(2);
    const Bytes steps(8, 0x01);
    t_failCountdown = 1;
    const uint32_t rc = x_kpxScanDirect(h, 1, steps.data(), 8, nullptr);
    const bool failedOne = t_failCountdown == 0;
    t_failCountdown = 0;
    ASSERT_TRUE(failedOne) << "the direct scan allocates nothing any more; pick another export";
    EXPECT_EQ(rc, 1u);
    EXPECT_EQ(lastCode(), dorvane::err::MEMORY_ALLOCATION);
    EXPECT_STREQ(x_kpxErrorMsg(h), "memory allocation failed");
    // The context's lock was left on the way out: the same call now goes through.
    clear();
    EXPECT_EQ(x_kpxScanDirect(h, 1, steps.data(), 8, nullptr), 0u);
    EXPECT_EQ(written(), (Bytes{0x19, 0x00, 0x00, 0xFF, 0x83, 0x87}));
}

}  // namespace
