// One file fetched as pieces over several connections at once. A piece is a byte range of some
// address whose bytes a writer of the transfer's owner puts where they belong: at the same
// offset of a ".tmp" for a plain copy, or elsewhere once transformed. The owner's thread
// fetches pieces itself; the download pool's idle threads take the others through a board that
// the whole pool shares, so the pool stays busy while the last big file is in flight.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/net/range_fetch.h"

struct Piece {
    ByteRange source; // bytes of the address
    ByteRange raw;    // where they land in the file (the same range for a plain copy)
};

// Opens the writer of a piece. It gets the piece's bytes in order with their offsets in the
// address, then once more with size 0 after the last one (a transforming writer checks there
// that its stream ended with the piece). False stops the transfer.
using OpenPieceFn = std::function<RangeWriteFn(const Piece& piece)>;

struct SplitRequest {
    std::wstring url;
    uint64_t urlSize = 0;      // length of the document at url
    std::vector<Piece> pieces; // in raw order, their raw ranges end to end
    OpenPieceFn open;
};

struct SplitState;

// Shared by the threads of one download pool; lives as long as the pool.
class PieceBoard {
public:
    // forSmallFiles: threads that TakePieceFirst leaves to the small files, half the pool
    // by default.
    explicit PieceBoard(int threads, int forSmallFiles = -1)
        : threads_(threads), forSmallFiles_(forSmallFiles < 0 ? threads / 2 : forSmallFiles) {}
    PieceBoard(const PieceBoard&) = delete;
    PieceBoard& operator=(const PieceBoard&) = delete;

    // A thread of the pool began or ended an entry: while any is in flight, more pieces may
    // still come, so idle threads wait for them.
    void EntryBegan();
    void EntryEnded();
    // Fetches one piece of a transfer in flight while the threads on pieces leave enough to the
    // small files, whose time goes to round trips rather than bandwidth (a bundle run brings
    // many to a round trip, so fewer threads keep them going). False when no piece was fetched.
    bool TakePieceFirst();
    // Fetches pieces until no entry is in flight and no piece is left, or stop says so.
    void Help(const std::function<bool()>& stop);
    // Waits until every piece of the transfers in flight is taken by some thread, or stop says
    // so, or mostMs passed: a caller with more pieces to hand on then gives them in one
    // transfer, not many.
    void WaitUntilPiecesTaken(const std::function<bool()>& stop, DWORD mostMs);
    // Whether this thread may start a big file ahead of the small ones: while fewer than half
    // the pool's threads own one, so that the other half keeps the small files' round trips
    // going. Each true is followed by one BigFileEnded.
    bool BeginBigFile();
    void BigFileEnded() { bigFiles_.fetch_sub(1); }
    // Whether a transfer may ask for pieces. Until the server has answered one as asked, one
    // transfer asks alone and the others wait for its answer; a server that answered with the
    // whole file is not asked for pieces again in this run. Each true is followed by one
    // RangesAnswered once the transfer has an answer, or none came.
    bool MayAskRanges(const std::function<bool()>& stop);
    enum class RangeAnswer { Honoured, Ignored, Unknown };
    void RangesAnswered(RangeAnswer answer);
    bool RangesIgnored() const { return ranges_.load() == kIgnored; }

private:
    friend RangeFetch FetchPieces(PieceBoard&, const SplitRequest&,
                                  const std::function<bool(uint64_t)>&, uint64_t*, int32_t*);
    void Publish(SplitState& split);
    void Withdraw(SplitState& split);
    bool Claim(SplitState& split, size_t* piece);
    bool ClaimAny(SplitState** split, size_t* piece);
    void Finish(SplitState& split, size_t piece, RangeFetch result, int32_t status);
    void Fail(SplitState& split, RangeFetch result, int32_t status);
    void Run(SplitState& split, size_t piece);
    template <typename Ready> void WaitFor(DWORD milliseconds, Ready ready);

    const int threads_;
    const int forSmallFiles_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::vector<SplitState*> splits_;
    int entries_ = 0;
    int piecesInFlight_ = 0;
    int unpublished_ = 0; // transfers still waiting for their first answer
    enum RangeState { kUnknown, kAsking, kHonoured, kIgnored };
    std::atomic<int> ranges_{kUnknown};
    std::atomic<int> bigFiles_{0};
};

// Fetches every piece of request, the first alone until its answer shows that the server sends
// the range asked for, the rest shared with the board's idle threads. onProven(rawEnd) runs on
// this thread whenever the pieces done from the first one on reach further, so the owner can
// hash in file order; false from it stops the transfer as Failed. Returns once every piece is
// in (Done), or once the transfer failed and no thread writes any more: NotHonoured for an
// answer other than the range asked for (200, another Content-Range, a short body), Failed for
// a transfer that broke. provenEnd receives the raw end of the pieces done from the first on.
// status receives the HTTP status of the answer that decided.
RangeFetch FetchPieces(PieceBoard& board, const SplitRequest& request,
                       const std::function<bool(uint64_t rawEnd)>& onProven, uint64_t* provenEnd,
                       int32_t* status);

// A SingleRangesFn over the board: the requests of the file at url (fileSize bytes long) as
// pieces of one transfer, the first alone, the rest shared with the pool's idle threads.
SingleRangesFn SpreadOverBoard(PieceBoard& board, const std::wstring& url, uint64_t fileSize);
