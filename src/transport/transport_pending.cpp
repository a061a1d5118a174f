// Transport operations that are not built yet. Opening parses the address, then fails as
// a missing device would; the rest refuse with "unsupported function".
// Remove a function here when its real one lands.
#include "api/errors.h"
#include "config/config.h"
#include "transport/transport.h"

namespace dorvane {

uint32_t openDevice(KpxContext** ctx, uint32_t* handle, const char* address) {
    *ctx = nullptr;
    KpxControllerSpec spec{};
    if (parseControllerAddress(&spec, address)) return 1;
    KpxContext* c = allocateContext(handle);
    if (!c) return 1;
    recordError(c, statusToError(2));
    releaseContext(*handle);
    *handle = 0xFFFFFFFFu;
    return 1;
}
uint32_t resetDevice(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t initController(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t stopReceiveThread(KpxContext*) { return 0; }
uint32_t closeDevice(KpxContext*) { return 0; }
void resetSessionState(KpxContext*) {}
void fillControllerInfo(KpxContext*) {}
uint32_t emitPinSetup(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t ensureControllerReady(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t emitClockDivisor(KpxContext* ctx, uint32_t, uint32_t, uint8_t*) {
    recordError(ctx, err::UNSUPPORTED_FUNCTION);
    return 0;
}
uint32_t queueCommands(KpxContext* ctx, const uint8_t*, uint32_t, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t waitForReadRoom(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t growCommandBuffer(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
void resetWriteChunk(KpxContext* ctx) { ctx->writeChunk = kWriteChunk; }
ResultRecord* newResultRecord(KpxContext* ctx) { recordError(ctx, err::UNSUPPORTED_FUNCTION); return nullptr; }
uint32_t waitForResults(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
void freeRecordBuffers(ResultRecord*) {}
uint32_t enableBuffering(KpxContext* ctx, uint32_t) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t flushBuffering(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }
uint32_t disableBuffering(KpxContext* ctx) { return fail(ctx, err::UNSUPPORTED_FUNCTION); }

}  // namespace dorvane
