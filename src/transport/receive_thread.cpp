// Result records and their delivery: the receive thread reads what the chip answers, walks the
// pending records in order, reassembles and compares their bits and hands them to the host.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/errors.h"
#include "platform/platform.h"
#include "transport/internal.h"

namespace dorvane {

using namespace transport;

void freeRecordBuffers(ResultRecord* rec) {
    if (rec->flags & RR_OWN_TDO) { std::free(rec->tdoBytes); rec->tdoBytes = nullptr; }
    if (rec->flags & RR_OWN_MULTI) { std::free(rec->multiBase); rec->multiBase = nullptr; }
    if (rec->flags & RR_OWN_EXPECTED) { std::free(rec->expected); rec->expected = nullptr; }
    if (rec->flags & RR_OWN_MASK) { std::free(rec->mask); rec->mask = nullptr; }
    rec->flags &= ~uint32_t(RR_OWN_TDO | RR_OWN_MULTI | RR_OWN_EXPECTED | RR_OWN_MASK);
}

ResultRecord* newResultRecord(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (!tp.resultLock.lockFor(60000)) {
        recordError(ctx, err::KPX_READ_TIMEOUT);
        return nullptr;
    }
    platform::LockGuard held(tp.resultLock, platform::adoptLock);
    ResultBlock* tail = tp.resultTail;
    // The block after this one exists before its last record is handed out, so a record is
    // never handed out without room for the next.
    if (tail->count + 1 >= kRecordsPerBlock) {
        auto* block = static_cast<ResultBlock*>(std::calloc(1, sizeof(ResultBlock)));
        if (!block) {
            recordError(ctx, err::ALLOC);
            return nullptr;
        }
        block->sequence = tail->sequence + 1;
        ResultRecord* rec = &tail->records[tail->count];
        *rec = ResultRecord{};
        rec->flags = RR_PENDING;
        ++tail->count;
        tail->next = block;
        tp.resultTail = block;
        return rec;
    }
    ResultRecord* rec = &tail->records[tail->count];
    *rec = ResultRecord{};
    rec->flags = RR_PENDING;
    ++tail->count;
    return rec;
}

namespace detail {

void dropUndelivered(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    ResultBlock* b = tp.resultHead;
    while (b) {
        for (uint32_t i = b->readIndex; i < b->count; ++i) freeRecordBuffers(&b->records[i]);
        ResultBlock* next = b->next;
        if (b != tp.resultTail) std::free(b);
        b = next;
    }
    ResultBlock* t = tp.resultTail;
    std::memset(t->records, 0, sizeof t->records);
    t->count = 0;
    t->readIndex = 0;
    t->next = nullptr;
    tp.resultHead = t;
    ++tp.discardGeneration;
}

}  // namespace detail

namespace {

// Writes everything held back, in pieces, and empties the buffer.
uint32_t sendHeldBack(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    uint32_t pos = 0;
    const uint32_t length = tp.commandBufferLength;
    if (tp.writeChunk == 0) resetWriteChunk(ctx);
    while (pos < length) {
        const uint32_t piece = std::min(length - pos, tp.writeChunk);
        uint32_t written = 0;
        if (detail::writePiece(ctx, tp.commandBuffer + pos, piece, &written)) return 1;
        pos += piece;
    }
    tp.commandBufferLength = 0;
    return 0;
}

bool listEmpty(KpxContext* ctx) {
    platform::LockGuard held(transportOf(ctx).resultLock);
    return detail::resultListEmpty(ctx);
}

}  // namespace

uint32_t waitForDelivery(KpxContext* ctx, volatile uint32_t* word) {
    auto done = [&] {
        return std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(word)).load(std::memory_order_acquire) == 0;
    };
    for (;;) {
        if (done()) return 0;
        if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
        detail::serveAsCaller(ctx);
        if (done()) return 0;
        detail::awaitReceiver(ctx, 1000);
    }
}

uint32_t waitForResults(KpxContext* ctx, uint32_t mode) {
    TransportPart& tp = transportOf(ctx);
    if (tp.bufferingType == 0) {
        // No time limit: the caller waits as long as the chip keeps answering, or until the
        // receive thread posts an error.
        if (mode != WAIT_ALL) return 0;
        detail::serveAsCaller(ctx);   // also ends the claim of the operation's writes
        for (;;) {
            if (listEmpty(ctx)) return 0;
            if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
            detail::serveAsCaller(ctx);
            if (listEmpty(ctx)) return 0;
            detail::awaitReceiver(ctx, 1000);
        }
    }

    if (mode == WAIT_DISCARD) {
        const FtStatus st = ftdiDriver().purge(tp.ftHandle, FT_PURGE_RX | FT_PURGE_TX);
        if (st != FT_OK) return detail::driverFailure(ctx, st);
        tp.commandBufferLength = 0;
        if (!tp.resultLock.lockFor(60000)) return fail(ctx, err::KPX_READ_TIMEOUT);
        {
            platform::LockGuard held(tp.resultLock, platform::adoptLock);
            detail::dropUndelivered(ctx);
            tp.pendingReadBytes = 0;
        }
        platform::LockGuard thread(tp.threadLock);
        tp.receivedHandover = 0;
        return 0;
    }

    if (tp.commandBufferLength == 0) return 0;
    if (sendHeldBack(ctx)) return 1;
    if (mode != WAIT_ALL) return 0;
    const uint32_t start = platform::millisecondTimer();
    for (;;) {
        if (tp.resultLock.lockFor(5000)) {
            bool empty;
            {
                platform::LockGuard held(tp.resultLock, platform::adoptLock);
                empty = detail::resultListEmpty(ctx);
            }
            if (empty) return 0;
            if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
        }
        // The thread serves here: a read it is stuck in must not hold up the time-out.
        const uint32_t waited = platform::millisecondTimer() - start;
        if (waited > tp.resultTimeoutMs) return fail(ctx, err::KPX_READ_TIMEOUT);
        detail::awaitReceiver(ctx, std::min<uint32_t>(tp.resultTimeoutMs - waited + 1, 1000));
    }
}

void abandonResults(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    if (tp.bufferingType != 0) {
        waitForResults(ctx, WAIT_DISCARD);
        return;
    }
    {
        if (!tp.resultLock.lockFor(60000)) return;
        platform::LockGuard held(tp.resultLock, platform::adoptLock);
        if (!detail::resultListEmpty(ctx)) detail::dropUndelivered(ctx);
    }
    detail::endClaim(ctx);   // what still arrives is the receive thread's
}

namespace {

constexpr uint32_t kMaxReadPiece = 65536;

// The receive side: reads whatever the driver holds in one call and serves as many records
// from it as it completes, under one hold of resultLock. The receive thread runs it when the
// driver signals bytes; a caller that waits for its answers runs it first itself (serveLock_
// keeps the two apart), which spares a round trip the hand-overs between the threads.
class Receiver {
public:
    explicit Receiver(KpxContext* ctx)
        : ctx_(ctx), tp_(transportOf(ctx)), drv_(ftdiDriver()), generation_(tp_.discardGeneration) {}
    void runThread();
    // A waiting caller's turn: serves what has arrived (after the thread, if it is serving).
    void serveAsCaller();
    // An unbuffered operation is about to write commands whose answers it will wait for and
    // serve itself: the thread, woken by their arrival, leaves them to it.
    void claim() { callerServing_.store(true, std::memory_order_release); }
    void unclaim() { callerServing_.store(false, std::memory_order_release); }

private:
    enum Phase { DATA = 0, DATA_BEFORE_LAST = 1, LAST_BIT = 2 };

    // Under serveLock_: serves until the driver holds nothing more. False once an error is posted.
    bool drain(bool idleRead);
    // Returns false when the receive side must stop (an error was posted).
    bool serveReported();
    bool startRecord();
    void storeData(const uint8_t* in, uint32_t got);
    void storeLastBit(uint8_t in);
    void deliver();
    void account(uint32_t got);
    bool post(uint32_t code) {
        detail::postThreadError(ctx_, code);
        failed_.store(true, std::memory_order_release);
        return false;
    }
    bool postStatus(FtStatus st) { return post(statusToError(st)); }

    KpxContext* ctx_;
    TransportPart& tp_;
    FtdiDriver& drv_;
    platform::Lock serveLock_;
    std::atomic<bool> callerServing_{false};
    std::atomic<bool> failed_{false};   // an error was posted (by the thread or a serving caller)
    ResultRecord* rec_ = nullptr;
    uint32_t generation_ = 0;
    uint32_t need_ = 0;
    uint32_t pos_ = 0;
    uint32_t phase_ = DATA;
    uint32_t pad_ = 0;
    uint8_t* dest_ = nullptr;
    uint32_t reported_ = 0;
    bool stopNoted_ = false;
    std::vector<uint8_t> sink_;     // destination of records without tdoBytes
    std::vector<uint8_t> in_;       // bytes as read from the driver
};

bool Receiver::drain(bool idleRead) {
    for (;;) {
        if (stopNoted_) return true;
        if (failed_.load(std::memory_order_relaxed)) return false;
        const FtStatus st = drv_.getQueueStatus(tp_.ftHandle, &reported_);
        if (st != FT_OK) return postStatus(st);
        if (reported_ == 0) {
            if (idleRead) {   // woken with nothing reported: a read of 0 bytes, as D2XX hosts do
                uint32_t got = 0;
                const FtStatus rs = drv_.read(tp_.ftHandle, nullptr, 0, &got);
                if (rs != FT_OK) return postStatus(rs);
            }
            return true;
        }
        idleRead = false;
        while (reported_ != 0 && !stopNoted_)
            if (!serveReported()) return false;
    }
}

void Receiver::runThread() {
    FtStatus st = drv_.purge(tp_.ftHandle, FT_PURGE_RX);
    if (st != FT_OK) { postStatus(st); return; }
    {
        platform::LockGuard guard(tp_.threadLock);
        detail::storeThreadState(tp_, ReceiveThreadState::Running);
    }
    detail::wakeCaller(ctx_);
    bool idleRead = false;
    for (;;) {
        // A caller serving its own answers drains what woke us, and looks once more before it
        // leaves; the thread then has nothing to do.
        if (!callerServing_.load(std::memory_order_acquire)) {
            platform::LockGuard serving(serveLock_);
            if (!drain(idleRead) || stopNoted_) return;
        }
        if (tp_.rxEvent->wait(0xFFFFFFFFu) < 0) { post(err::EVENT_WAIT); return; }
        if (detail::stopRequested(ctx_) || failed_.load(std::memory_order_acquire)) return;
        idleRead = true;
    }
}

void Receiver::serveAsCaller() {
    bool ended;
    {
        platform::LockGuard serving(serveLock_);   // the thread, if serving, finishes first
        callerServing_.store(true, std::memory_order_release);
        ended = !drain(false) || stopNoted_;
        callerServing_.store(false, std::memory_order_release);
    }
    // Bytes that came while the flag kept the thread away are the thread's again.
    uint32_t left = 0;
    if (!ended && drv_.getQueueStatus(tp_.ftHandle, &left) == FT_OK && left == 0) return;
    // An error posted here, or the stop record delivered here, ends the thread as well.
    if (tp_.rxEvent) tp_.rxEvent->set();
}

bool Receiver::startRecord() {
    ResultBlock* head = tp_.resultHead;
    ResultRecord* r = &head->records[head->readIndex];
    if (!(r->flags & RR_PENDING)) return post(err::RESULT_ALREADY_PROCESSED);
    rec_ = r;
    pos_ = 0;
    const uint32_t bits = r->bitCount;
    if (r->flags & RR_LAST_BIT_SEPARATE) {
        phase_ = DATA_BEFORE_LAST;
        pad_ = (1u - bits) & 7u;
        need_ = (bits + 6) / 8;
    } else {
        phase_ = DATA;
        pad_ = (0u - bits) & 7u;
        need_ = (bits + 7) / 8;
    }
    dest_ = r->tdoBytes;
    if (!dest_) {
        try {
            if (sink_.size() < size_t(need_) + 2) sink_.resize(size_t(need_) + 2);
        } catch (const std::bad_alloc&) {
            return post(err::ALLOC);
        }
        dest_ = sink_.data();
    }
    if (phase_ == DATA_BEFORE_LAST && need_ == 0) { phase_ = LAST_BIT; need_ = 1; }
    return true;
}

void Receiver::account(uint32_t got) {
    tp_.receivedSinceHandover += got;
    if (tp_.receivedSinceHandover > 4096 && tp_.threadLock.lockFor(60000)) {
        {
            platform::LockGuard held(tp_.threadLock, platform::adoptLock);
            tp_.receivedHandover += tp_.receivedSinceHandover;
            tp_.receivedSinceHandover = 0;
        }
        detail::wakeCaller(ctx_);   // a writer may be waiting for read-back room
    }
    reported_ = got < reported_ ? reported_ - got : 0;
}

bool Receiver::serveReported() {
    {
        // A discard since the last look dropped the record being served: start afresh.
        if (!tp_.resultLock.lockFor(60000)) return post(err::KPX_READ_TIMEOUT);
        platform::LockGuard held(tp_.resultLock, platform::adoptLock);
        if (generation_ != tp_.discardGeneration) {
            generation_ = tp_.discardGeneration;
            rec_ = nullptr;
            tp_.receivedSinceHandover = 0;
        }
    }
    const uint32_t want = std::min(reported_, kMaxReadPiece);
    try {
        if (in_.size() < want) in_.resize(std::max<size_t>(want, 512));
    } catch (const std::bad_alloc&) {
        return post(err::ALLOC);
    }
    uint32_t got = 0;
    const FtStatus st = drv_.read(tp_.ftHandle, in_.data(), want, &got);
    if (st != FT_OK) return postStatus(st);
    account(got);
    if (got == 0) return true;

    if (!tp_.resultLock.lockFor(60000)) return post(err::KPX_READ_TIMEOUT);
    bool delivered = false;
    {
        platform::LockGuard held(tp_.resultLock, platform::adoptLock);
        if (generation_ != tp_.discardGeneration) return true;   // these bytes answered dropped records
        const uint8_t* in = in_.data();
        uint32_t left = got;
        while (left > 0 && !stopNoted_) {
            if (!rec_ && !startRecord()) return false;
            bool complete = false;
            if (phase_ == DATA && need_ == 0) {   // a record of no bits
                complete = true;
            } else if (phase_ == LAST_BIT) {
                if (rec_->flags & RR_RAW) dest_[pos_++] = *in;   // raw records keep every byte as it came
                else storeLastBit(*in);
                ++in;
                --left;
                complete = true;
            } else {
                const uint32_t take = std::min(left, need_);
                storeData(in, take);
                in += take;
                left -= take;
                if (take < need_) {
                    need_ -= take;
                } else if (phase_ == DATA_BEFORE_LAST) {
                    phase_ = LAST_BIT;
                    need_ = 1;
                } else {
                    complete = true;
                }
            }
            if (complete) {
                deliver();
                delivered = true;
            }
        }
    }
    if (delivered) detail::wakeCaller(ctx_);
    return true;
}

void Receiver::storeData(const uint8_t* in, uint32_t got) {
    ResultRecord* r = rec_;
    uint8_t* out = dest_ + pos_;
    std::memcpy(out, in, got);
    if (r->flags & RR_RAW) {
        if ((r->flags & RR_COUNT_MISMATCH)) {
            uint32_t count = 0;
            for (uint32_t i = 0; i < got; ++i) {
                const uint8_t e = r->expected ? r->expected[pos_ + i] : 0;
                const uint8_t m = r->mask ? r->mask[pos_ + i] : 0xFF;
                count += std::popcount(static_cast<unsigned>((e ^ out[i]) & m));
            }
            tp_.mismatchBitCount += count;
        }
        pos_ += got;
        return;
    }
    uint8_t lastMask = 0xFF;
    if (got == need_ && pad_ != 0) {
        out[got - 1] = static_cast<uint8_t>(out[got - 1] >> pad_);
        lastMask = static_cast<uint8_t>(0xFF >> pad_);
    }
    if (r->flags & RR_COMPARE) {
        bool mismatch = false;
        for (uint32_t i = 0; i < got; ++i) {
            uint8_t diff = out[i] ^ (r->expected ? r->expected[pos_ + i] : 0);
            if ((r->flags & RR_MASK) && r->mask) diff &= static_cast<uint8_t>(~r->mask[pos_ + i]);
            if (i + 1 == got) diff &= lastMask;
            if (r->tdoBytes || i + 1 == got) out[i] = diff;
            if (diff) mismatch = true;
        }
        if (mismatch) tp_.cmpErrorFlag[r->tapId < kTapSlots ? r->tapId : 0] |= 1;
    }
    pos_ += got;
}

void Receiver::storeLastBit(uint8_t in) {
    ResultRecord* r = rec_;
    const uint32_t at = r->lastBitPosition & 7u;
    const uint8_t v = static_cast<uint8_t>(((in >> 7) & 1u) << at);
    uint32_t index;
    if (at == 0) {
        index = pos_;
        dest_[index] = v;
        ++pos_;
    } else {
        index = pos_ > 0 ? pos_ - 1 : 0;
        dest_[index] |= v;
    }
    if (r->flags & RR_COMPARE) {   // the last bit's difference, in its own bit position
        const uint8_t bit = static_cast<uint8_t>(1u << at);
        uint8_t b = dest_[index];
        b ^= static_cast<uint8_t>((r->expected ? r->expected[index] : 0) & bit);
        if ((r->flags & RR_MASK) && r->mask) b &= static_cast<uint8_t>(~(r->mask[index] & bit));
        dest_[index] = b;
        if (b & bit) tp_.cmpErrorFlag[r->tapId < kTapSlots ? r->tapId : 0] |= 1;
    }
    phase_ = DATA;
}

// Caller holds resultLock.
void Receiver::deliver() {
    ResultRecord* r = rec_;
    if (r->tdoBytes && r->tdoBytes == reinterpret_cast<uint8_t*>(r->tdoWords)) {
        // The bits went straight into the host's words (little-endian host): only the high
        // byte of a last word holding 1 to 8 bits is still to clear.
        const uint32_t rest = r->bitCount % 16;
        if (rest >= 1 && rest <= 8) r->tdoBytes[2 * (r->bitCount / 16) + 1] = 0;
    } else if (r->tdoBytes && r->tdoWords) {
        const uint8_t* b = r->tdoBytes;
        const uint32_t whole = r->bitCount / 16;
        for (uint32_t k = 0; k < whole; ++k)
            r->tdoWords[k] = static_cast<uint16_t>(b[2 * k] | (b[2 * k + 1] << 8));
        const uint32_t rest = r->bitCount % 16;
        if (rest >= 1 && rest <= 8) r->tdoWords[whole] = b[2 * whole];
        else if (rest > 8) r->tdoWords[whole] = static_cast<uint16_t>(b[2 * whole] | (b[2 * whole + 1] << 8));
    }
    freeRecordBuffers(r);
    if (r->flags & RR_STOP_THREAD) stopNoted_ = true;
    r->flags &= ~uint32_t(RR_PENDING);
    volatile uint32_t* done = r->doneFlag;
    rec_ = nullptr;
    ResultBlock* head = tp_.resultHead;
    if (++head->readIndex == kRecordsPerBlock && head->next) {   // r lives in head
        tp_.resultHead = head->next;
        std::free(head);
    }
    if (done) std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(done)).store(0, std::memory_order_release);
}

}  // namespace

namespace detail {

std::shared_ptr<void> newReceiveSide(KpxContext* ctx) { return std::make_shared<Receiver>(ctx); }

namespace {

// The receive side while a receive thread runs, else null.
Receiver* runningReceiver(KpxContext* ctx) {
    TransportPart& tp = transportOf(ctx);
    return tp.receiveSide && tp.rxEvent ? static_cast<Receiver*>(tp.receiveSide.get()) : nullptr;
}

}  // namespace

void serveAsCaller(KpxContext* ctx) {
    if (Receiver* r = runningReceiver(ctx)) r->serveAsCaller();
}

void claimServing(KpxContext* ctx) {
    if (Receiver* r = runningReceiver(ctx)) r->claim();
}

void releaseServing(KpxContext* ctx) { serveAsCaller(ctx); }

void endClaim(KpxContext* ctx) {
    if (Receiver* r = runningReceiver(ctx)) {
        r->unclaim();
        transportOf(ctx).rxEvent->set();
    }
}

void receiveThreadMain(void* arg) {
    auto* ctx = static_cast<KpxContext*>(arg);
    {
        const std::shared_ptr<void> side = transportOf(ctx).receiveSide;   // set before the thread starts
        static_cast<Receiver*>(side.get())->runThread();
    }
    {
        platform::LockGuard guard(transportOf(ctx).threadLock);
        detail::storeThreadState(transportOf(ctx), ReceiveThreadState::Stopped);
    }
    detail::wakeCaller(ctx);
}

}  // namespace detail

}  // namespace dorvane
