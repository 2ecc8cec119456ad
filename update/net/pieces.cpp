#include "update/net/pieces.h"

#include <atomic>

#include "base/handles.h"

namespace {

enum PieceState : uint8_t { kWaiting, kTaken, kDone };

} // namespace

// One transfer's pieces as the board sees them; guarded by the board's lock, but for failed,
// which writers read on every block to stop early.
struct SplitState {
    explicit SplitState(const SplitRequest& r) : request(r), state(r.pieces.size(), kWaiting) {}

    uint64_t ProvenEnd() const {
        return proven == 0 ? request.pieces.front().raw.begin : request.pieces[proven - 1].raw.end;
    }
    bool Settled() const { return inFlight == 0 && (failed.load() || proven == state.size()); }

    const SplitRequest& request;
    std::vector<uint8_t> state;
    size_t next = 0;   // no piece before it is waiting
    size_t proven = 0; // pieces done from the first on
    int inFlight = 0;
    std::atomic<bool> failed{false};
    RangeFetch failure = RangeFetch::Done;
    int32_t status = 0;
};

namespace {

// One piece from its address through its writer. onFirstByte runs once the writer took the
// first bytes of the range asked for.
RangeFetch FetchOne(SplitState& split, size_t index, const std::function<void()>& onFirstByte,
                    int32_t* status) {
    const Piece& piece = split.request.pieces[index];
    const RangeWriteFn write = split.request.open(piece);
    bool first = true;
    const auto guarded = [&](uint64_t offset, const char* data, size_t size) {
        if (split.failed.load() || !write(offset, data, size)) return false;
        if (first) {
            first = false;
            if (onFirstByte) onFirstByte();
        }
        return true;
    };
    RangeFetch result =
        FetchRanges(split.request.url, {piece.source}, split.request.urlSize, guarded, status);
    if (result == RangeFetch::Done && !write(piece.source.end, nullptr, 0))
        result = RangeFetch::NotHonoured;
    return result;
}

} // namespace

template <typename Ready> void PieceBoard::WaitFor(DWORD milliseconds, Ready ready) {
    if (milliseconds == INFINITE) {
        while (!ready())
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        return;
    }
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); !ready() && now < end; now = GetTickCount64())
        SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>(end - now), 0);
}

void PieceBoard::EntryBegan() {
    SrwLockGuard lock(lock_);
    ++entries_;
}

void PieceBoard::EntryEnded() {
    {
        SrwLockGuard lock(lock_);
        --entries_;
    }
    WakeAllConditionVariable(&changed_);
}

void PieceBoard::Publish(SplitState& split) {
    {
        SrwLockGuard lock(lock_);
        splits_.push_back(&split);
    }
    WakeAllConditionVariable(&changed_);
}

void PieceBoard::Withdraw(SplitState& split) {
    SrwLockGuard lock(lock_);
    std::erase(splits_, &split);
}

// With the lock held.
bool PieceBoard::Claim(SplitState& split, size_t* piece) {
    if (split.failed.load()) return false;
    while (split.next < split.state.size() && split.state[split.next] != kWaiting)
        ++split.next;
    if (split.next == split.state.size()) return false;
    *piece = split.next++;
    split.state[*piece] = kTaken;
    ++split.inFlight;
    ++piecesInFlight_;
    return true;
}

// With the lock held.
bool PieceBoard::ClaimAny(SplitState** split, size_t* piece) {
    for (SplitState* s : splits_) {
        if (Claim(*s, piece)) {
            *split = s;
            return true;
        }
    }
    return false;
}

void PieceBoard::Finish(SplitState& split, size_t piece, RangeFetch result, int32_t status) {
    {
        SrwLockGuard lock(lock_);
        --split.inFlight;
        --piecesInFlight_;
        if (result == RangeFetch::Done) {
            split.state[piece] = kDone;
            while (split.proven < split.state.size() && split.state[split.proven] == kDone)
                ++split.proven;
        } else {
            split.state[piece] = kWaiting;
            if (!split.failed.load()) {
                split.failure = result;
                split.status = status;
                split.failed.store(true);
            }
        }
    }
    WakeAllConditionVariable(&changed_);
}

void PieceBoard::Fail(SplitState& split, RangeFetch result, int32_t status) {
    {
        SrwLockGuard lock(lock_);
        if (!split.failed.load()) {
            split.failure = result;
            split.status = status;
            split.failed.store(true);
        }
    }
    WakeAllConditionVariable(&changed_);
}

void PieceBoard::Run(SplitState& split, size_t piece) {
    int32_t status = 0;
    const RangeFetch result = FetchOne(split, piece, nullptr, &status);
    Finish(split, piece, result, status);
}

bool PieceBoard::MayAskRanges(const std::function<bool()>& stop) {
    constexpr DWORD kLookMs = 200;
    SrwLockGuard lock(lock_);
    for (;;) {
        WaitFor(kLookMs, [&] { return stop() || ranges_.load() != kAsking; });
        switch (ranges_.load()) {
        case kUnknown:
            ranges_.store(kAsking);
            return true;
        case kHonoured:
            return true;
        case kIgnored:
            return false;
        default:
            if (stop()) return false;
        }
    }
}

void PieceBoard::RangesAnswered(RangeAnswer answer) {
    {
        SrwLockGuard lock(lock_);
        if (ranges_.load() == kHonoured || ranges_.load() == kIgnored) return;
        ranges_.store(answer == RangeAnswer::Honoured  ? kHonoured
                      : answer == RangeAnswer::Ignored ? kIgnored
                                                       : kUnknown);
    }
    WakeAllConditionVariable(&changed_);
}

bool PieceBoard::TakePieceFirst() {
    SplitState* split = nullptr;
    size_t piece = 0;
    {
        SrwLockGuard lock(lock_);
        if (piecesInFlight_ + forSmallFiles_ >= threads_ || !ClaimAny(&split, &piece)) return false;
    }
    Run(*split, piece);
    return true;
}

void PieceBoard::WaitUntilPiecesTaken(const std::function<bool()>& stop, DWORD mostMs) {
    // Claims wake nobody, so the wait looks now and then.
    constexpr DWORD kLookMs = 10;
    const ULONGLONG end = GetTickCount64() + mostMs;
    SrwLockGuard lock(lock_);
    for (;;) {
        bool waiting = unpublished_ > 0;
        for (const SplitState* split : splits_) {
            if (waiting) break;
            if (split->failed.load()) continue;
            for (size_t i = split->next; i < split->state.size() && !waiting; ++i)
                waiting = split->state[i] == kWaiting;
        }
        if (!waiting || stop() || GetTickCount64() >= end) return;
        SleepConditionVariableSRW(&changed_, &lock_, kLookMs, 0);
    }
}

bool PieceBoard::BeginBigFile() {
    for (int owners = bigFiles_.load(); owners * 2 < threads_;)
        if (bigFiles_.compare_exchange_weak(owners, owners + 1)) return true;
    return false;
}

void PieceBoard::Help(const std::function<bool()>& stop) {
    // Cancelling wakes nobody, so the wait looks at stop now and then.
    constexpr DWORD kLookMs = 200;
    for (;;) {
        SplitState* split = nullptr;
        size_t piece = 0;
        bool over = false;
        {
            SrwLockGuard lock(lock_);
            WaitFor(kLookMs, [&] {
                over = stop() || entries_ == 0;
                return over || ClaimAny(&split, &piece);
            });
        }
        if (split) {
            Run(*split, piece);
        } else if (over) {
            return;
        }
    }
}

RangeFetch FetchPieces(PieceBoard& board, const SplitRequest& request,
                       const std::function<bool(uint64_t rawEnd)>& onProven, uint64_t* provenEnd,
                       int32_t* status) {
    if (status) *status = 0;
    if (request.pieces.empty()) {
        *provenEnd = 0;
        return RangeFetch::Done;
    }
    SplitState split(request);
    size_t piece = 0;
    {
        SrwLockGuard lock(board.lock_);
        board.Claim(split, &piece);
        ++board.unpublished_;
    }
    bool counted = true;
    const auto answered = [&] {
        if (!counted) return;
        counted = false;
        SrwLockGuard lock(board.lock_);
        --board.unpublished_;
    };
    // The others are shared once the first answer brought the range asked for.
    bool published = false;
    int32_t answer = 0;
    const auto publish = [&] {
        board.RangesAnswered(PieceBoard::RangeAnswer::Honoured);
        board.Publish(split);
        published = true;
        answered();
    };
    const RangeFetch first = FetchOne(split, piece, publish, &answer);
    answered();
    board.Finish(split, piece, first, answer);

    uint64_t reported = request.pieces.front().raw.begin;
    for (;;) {
        bool claimed = false, settled = false;
        uint64_t proven = 0;
        {
            SrwLockGuard lock(board.lock_);
            board.WaitFor(INFINITE, [&] {
                proven = split.ProvenEnd();
                if (proven > reported && !split.failed.load()) return true;
                claimed = board.Claim(split, &piece);
                settled = !claimed && split.Settled();
                return claimed || settled;
            });
            if (settled) {
                reported = proven;
                if (status) *status = split.failed.load() ? split.status : answer;
                break;
            }
        }
        if (claimed) {
            int32_t pieceStatus = 0;
            const RangeFetch result = FetchOne(split, piece, nullptr, &pieceStatus);
            board.Finish(split, piece, result, pieceStatus);
            answer = pieceStatus;
            continue;
        }
        // The digest reads back in file order what is proven, between the owner's own pieces.
        reported = proven;
        if (!onProven(proven)) board.Fail(split, RangeFetch::Failed, answer);
    }
    if (published) board.Withdraw(split);
    *provenEnd = reported;
    return split.failed.load() ? split.failure : RangeFetch::Done;
}

SingleRangesFn SpreadOverBoard(PieceBoard& board, const std::wstring& url, uint64_t fileSize) {
    return [&board, url, fileSize](const std::vector<ByteRange>& requests,
                                   const RangeWriteFn& write, int32_t* status) {
        SplitRequest request;
        request.url = url;
        request.urlSize = fileSize;
        // Not end to end, which only the proven end would need: nobody reads it here.
        for (const ByteRange& range : requests)
            request.pieces.push_back({range, range});
        request.open = [&write](const Piece&) -> RangeWriteFn {
            return [&write](uint64_t offset, const char* data, size_t size) {
                return size == 0 || write(offset, data, size);
            };
        };
        uint64_t provenEnd = 0;
        return FetchPieces(
            board, request, [](uint64_t) { return true; }, &provenEnd, status);
    };
}
