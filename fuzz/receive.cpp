// The receive thread's reassembly fed with arbitrary chip answers: a controller opened on the
// scripted driver of the transport tests, a few pending results (lengths and kinds from the
// first bytes), then the rest of the input pushed as the chip's answer; the records' buffers
// are checked by ASan.
#include <algorithm>
#include <memory>
#include <vector>

#include "core/context.h"
#include "dorvane/dorvane.h"
#include "fake_driver.h"
#include "transport/transport.h"

using namespace dorvane;
using namespace dorvane::transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fake::Driver* drv = [] {
        auto* d = new fake::Driver;
        d->addDual("RS01", "Dual RS232", FT_DEVICE_2232H);
        setFtdiDriver(d);
        return d;
    }();
    if (size < 1) return 0;
    const size_t records = size_t(data[0] % 4) + 1;
    if (size < 1 + 2 * records) return 0;

    drv->with(0, [](fake::Chip& c) { c.scriptedOnly = false; });
    uint32_t h = 0;
    if (x_openKpx(&h, "USB") != 0) __builtin_trap();
    drv->with(0, [](fake::Chip& c) { c.scriptedOnly = true; });

    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    KpxContext* ctx = lookupRunningContext(h, LOOKUP_REPORT);
    if (!ctx) __builtin_trap();
    size_t expectedBytes = 0;
    for (size_t i = 0; i < records; ++i) {
        const uint8_t len = data[1 + 2 * i], kind = data[2 + 2 * i];
        const uint32_t n = uint32_t(len % 80) + 1;
        const uint32_t bytes = (n + 7) / 8 + 1;
        ResultRecord* r = newResultRecord(ctx);
        if (!r) break;
        r->tapId = 1;
        r->bitCount = n;
        r->lastBitPosition = n % 8 ? n % 8 - 1 : 7;
        if ((kind & 1) && n > 1) r->flags |= RR_LAST_BIT_SEPARATE;
        expectedBytes += (r->flags & RR_LAST_BIT_SEPARATE) ? (n - 1 + 7) / 8 + 1 : (n + 7) / 8;
        buffers.emplace_back(new uint8_t[bytes]());
        r->tdoBytes = buffers.back().get();
        if (kind & 2) {
            buffers.emplace_back(new uint8_t[bytes]);
            std::fill_n(buffers.back().get(), bytes, uint8_t(kind));
            r->expected = buffers.back().get();
            r->flags |= RR_COMPARE;
            if (kind & 4) {
                buffers.emplace_back(new uint8_t[bytes]);
                std::fill_n(buffers.back().get(), bytes, uint8_t(kind >> 3));
                r->mask = buffers.back().get();
                r->flags |= RR_MASK;
            }
        }
    }
    // Exactly the answer bytes the results take (arbitrary values, zero-padded), so every
    // wait ends; what the input has beyond them arrives afterwards as stray bytes.
    const uint8_t* answer = data + 1 + 2 * records;
    const size_t have = size_t(data + size - answer);
    std::vector<uint8_t> bytes(answer, answer + std::min(have, expectedBytes));
    bytes.resize(expectedBytes, 0);
    drv->push(0, bytes);
    if (waitForResults(ctx, WAIT_ALL) != 0) __builtin_trap();
    ctx->contextLock.unlock();
    if (have > expectedBytes) drv->push(0, std::vector<uint8_t>(answer + expectedBytes, data + size));
    x_closeKpx(h);   // stops the thread before the result buffers go
    return 0;
}
