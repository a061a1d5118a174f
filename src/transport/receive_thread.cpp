// Result records and their delivery: the receive thread reads what the chip answers, walks the
// pending records in order, reassembles and compares their bits and hands them to the host.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
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
        if (pos) platform::yieldProcessor();
        const uint32_t piece = std::min(length - pos, tp.writeChunk);
        uint32_t written = 0;
        if (detail::writePiece(ctx, tp.commandBuffer + pos, piece, &written)) return 1;
        pos += piece;
    }
    tp.commandBufferLength = 0;
    return 0;
}

}  // namespace

uint32_t waitForResults(KpxContext* ctx, uint32_t mode) {
    TransportPart& tp = transportOf(ctx);
    if (tp.bufferingType == 0) {
        if (mode != WAIT_ALL) return 0;
        for (;;) {
            bool empty;
            {
                platform::LockGuard held(tp.resultLock);
                empty = detail::resultListEmpty(ctx);
            }
            if (empty) return 0;
            if (const uint32_t te = detail::threadErrorOf(ctx)) return fail(ctx, te);
            platform::yieldProcessor();
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
    platform::yieldProcessor();
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
        platform::yieldProcessor();
        if (platform::millisecondTimer() - start > tp.resultTimeoutMs)
            return fail(ctx, err::KPX_READ_TIMEOUT);
    }
}

namespace {

constexpr uint32_t kMaxReadPiece = 65536;

// The receive thread's view of the record it is serving.
class Receiver {
public:
    explicit Receiver(KpxContext* ctx) : ctx_(ctx), tp_(transportOf(ctx)), drv_(ftdiDriver()) {}
    void run();

private:
    enum Phase { DATA = 0, DATA_BEFORE_LAST = 1, LAST_BIT = 2 };

    // Returns false when the thread must stop (an error was posted, or a stop was noted).
    bool servePiece();
    bool startRecord();
    void storeData(const uint8_t* in, uint32_t got);
    void storeLastBit(uint8_t in);
    void deliver();
    bool account(uint32_t got);
    bool post(uint32_t code) { detail::postThreadError(ctx_, code); return false; }
    bool postStatus(FtStatus st) { return post(statusToError(st)); }

    KpxContext* ctx_;
    TransportPart& tp_;
    FtdiDriver& drv_;
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

void Receiver::run() {
    generation_ = tp_.discardGeneration;   // set before the thread starts
    FtStatus st = drv_.purge(tp_.ftHandle, FT_PURGE_RX);
    if (st != FT_OK) { postStatus(st); return; }
    for (;;) {
        if (stopNoted_) return;
        st = drv_.getQueueStatus(tp_.ftHandle, &reported_);
        if (st != FT_OK) { postStatus(st); return; }
        {
            platform::LockGuard guard(tp_.threadLock);
            tp_.receiveThreadState = ReceiveThreadState::Running;
        }
        while (reported_ == 0) {
            if (tp_.rxEvent->wait(0xFFFFFFFFu) < 0) { post(err::EVENT_WAIT); return; }
            platform::yieldProcessor();
            if (detail::stopRequested(ctx_)) return;
            st = drv_.getQueueStatus(tp_.ftHandle, &reported_);
            if (st != FT_OK) { postStatus(st); return; }
            if (reported_ == 0) {
                uint32_t got = 0;
                st = drv_.read(tp_.ftHandle, nullptr, 0, &got);
                if (st != FT_OK) { postStatus(st); return; }
            }
        }
        while (reported_ != 0) {
            if (!servePiece()) return;
            if (stopNoted_) break;
        }
    }
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

bool Receiver::account(uint32_t got) {
    tp_.receivedSinceHandover += got;
    if (tp_.receivedSinceHandover > 4096 && tp_.threadLock.lockFor(60000)) {
        platform::LockGuard held(tp_.threadLock, platform::adoptLock);
        tp_.receivedHandover += tp_.receivedSinceHandover;
        tp_.receivedSinceHandover = 0;
    }
    reported_ = got < reported_ ? reported_ - got : 0;
    return true;
}

bool Receiver::servePiece() {
    uint32_t want;
    {
        if (!tp_.resultLock.lockFor(60000)) return post(err::KPX_READ_TIMEOUT);
        platform::LockGuard held(tp_.resultLock, platform::adoptLock);
        if (generation_ != tp_.discardGeneration) {   // a discard dropped what we were serving
            generation_ = tp_.discardGeneration;
            rec_ = nullptr;
            tp_.receivedSinceHandover = 0;
        }
        if (!rec_ && !startRecord()) return false;
        if (phase_ == DATA && need_ == 0) {   // a record of no bits
            deliver();
            return true;
        }
        want = phase_ == LAST_BIT ? 1u : std::min({reported_, need_, kMaxReadPiece});
    }

    try {
        if (in_.size() < want) in_.resize(std::max<size_t>(want, 64));
    } catch (const std::bad_alloc&) {
        return post(err::ALLOC);
    }
    uint32_t got = 0;
    const FtStatus st = drv_.read(tp_.ftHandle, in_.data(), want, &got);
    if (st != FT_OK) return postStatus(st);
    account(got);
    if (got == 0) return true;

    if (!tp_.resultLock.lockFor(60000)) return post(err::KPX_READ_TIMEOUT);
    bool complete = false;
    {
        platform::LockGuard held(tp_.resultLock, platform::adoptLock);
        if (generation_ != tp_.discardGeneration) return true;   // these bytes belonged to dropped records
        if (phase_ == LAST_BIT && (rec_->flags & RR_RAW)) {   // raw records keep every byte as it came
            dest_[pos_++] = in_[0];
            complete = true;
        } else if (phase_ == LAST_BIT) {
            storeLastBit(in_[0]);
            complete = true;
        } else {
            storeData(in_.data(), got);
            if (got < need_) {
                need_ -= got;
            } else if (phase_ == DATA_BEFORE_LAST) {
                phase_ = LAST_BIT;
                need_ = 1;
            } else {
                complete = true;
            }
        }
        if (complete) deliver();
    }
    if (complete) platform::yieldProcessor();
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
    if (r->tdoBytes && r->tdoWords) {
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

void receiveThreadMain(void* arg) {
    auto* ctx = static_cast<KpxContext*>(arg);
    {
        Receiver receiver(ctx);
        receiver.run();
    }
    platform::LockGuard guard(transportOf(ctx).threadLock);
    transportOf(ctx).receiveThreadState = ReceiveThreadState::Stopped;
}

}  // namespace detail

}  // namespace dorvane
