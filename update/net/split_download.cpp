#include "update/net/split_download.h"

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/net/gzip_members.h"
#include "update/tmp_file.h"
#include "update/net/whole_file.h"

namespace {

constexpr size_t kHashRead = 1u << 20;

} // namespace

std::vector<Piece> PlainPieces(uint64_t begin, uint64_t end) {
    std::vector<Piece> pieces;
    for (uint64_t at = begin; at < end;) {
        const uint64_t size = PieceSizeFor(end - at, end);
        const ByteRange range = {at, std::min(end, at + size)};
        pieces.push_back({range, range});
        at = range.end;
    }
    return pieces;
}

SplitResult SplitDownload(PieceBoard& board, const ManifestEntry& entry, const std::wstring& url,
                          const std::wstring& tmpPath, int32_t* status,
                          const PackedLayout* layout) {
    if (status) *status = 0;
    const uint64_t size = static_cast<uint64_t>(entry.size);
    FileHandle tmp = OpenTmpForWriting(tmpPath, TmpOpen::Existing);
    uint64_t kept = tmp ? FileSizeOf(tmp.Get()) : 0;
    // Longer than a prefix: pieces of a launcher that was killed, which the patch path had
    // its chance to confirm. Nothing of it is proven.
    if (kept >= size) kept = 0;
    // A compressed copy is inflated from a member's start on.
    if (layout) kept -= kept % layout->memberSize;

    // The ".tmp" is made (or marked) with the first bytes of the first piece, before any
    // other piece is asked for, so an answer without the range asked for leaves it as it was.
    bool marked = false;
    // Set by the pool's threads, each writing its own pieces.
    std::atomic<bool> writeFailed{false};
    const auto mark = [&] {
        if (!tmp || kept == 0) {
            tmp.Reset();
            tmp = OpenTmpForWriting(tmpPath, TmpOpen::Fresh);
        }
        marked = tmp && RoomFor(tmpPath, int64_t(size) + 1 - int64_t(FileSizeOf(tmp.Get()))) &&
                 SetFileLength(tmp.Get(), size + 1);
        return marked;
    };
    SplitRequest request;
    request.url = url;
    request.urlSize = layout ? static_cast<uint64_t>(entry.packedSize) : size;
    request.pieces = layout ? PackedPieces(*layout, size, kept, kPieceSize, kSplitTailBytes)
                            : PlainPieces(kept, size);
    const auto writeRaw = [&](uint64_t offset, const char* data, size_t count) {
        if ((!marked && !mark()) || !WriteAt(tmp.Get(), offset, data, count)) {
            writeFailed = true;
            return false;
        }
        return true;
    };
    request.open = [&](const Piece& piece) -> RangeWriteFn {
        if (!layout) {
            return [&](uint64_t offset, const char* data, size_t count) {
                return count == 0 || writeRaw(offset, data, count);
            };
        }
        // Inflated within the piece's raw range: a damaged or hostile member stops there.
        auto at = std::make_shared<uint64_t>(piece.raw.begin);
        auto inflater = std::make_shared<GzipMembersInflater>(
            piece.raw.end - piece.raw.begin, [&writeRaw, at](const char* data, size_t count) {
                if (!writeRaw(*at, data, count)) return false;
                *at += count;
                return true;
            });
        const uint64_t rawEnd = piece.raw.end;
        return [&, inflater, at, rawEnd](uint64_t, const char* data, size_t count) {
            if (count == 0) return inflater->Complete() && *at == rawEnd;
            // Marked with the first compressed bytes, before the other pieces are asked for.
            if (!marked && !mark()) {
                writeFailed = true;
                return false;
            }
            return inflater->Feed(data, count);
        };
    };

    StreamDigest digest(!entry.sha256.empty());
    if (!digest.Ok()) return SplitResult::Failed;
    std::vector<uint8_t> buffer;
    uint64_t hashed = 0;
    const auto hashTo = [&](uint64_t end) {
        if (buffer.empty()) buffer.resize(kHashRead);
        for (; hashed < end;) {
            if (State().cancelRequested.load()) return false;
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kHashRead, end - hashed));
            if (ReadAt(tmp.Get(), hashed, buffer.data(), want) != static_cast<int64_t>(want))
                return false;
            digest.Update(buffer.data(), want);
            hashed += want;
        }
        return true;
    };

    if (!board.MayAskRanges([] { return State().cancelRequested.load(); }))
        return State().cancelRequested.load() ? SplitResult::Failed : SplitResult::WholeDownload;
    uint64_t proven = 0;
    int32_t answer = 0;
    const RangeFetch fetched = FetchPieces(board, request, hashTo, &proven, &answer);
    if (status) *status = answer;
    board.RangesAnswered(fetched == RangeFetch::NotHonoured && answer == 200
                             ? PieceBoard::RangeAnswer::Ignored
                             : PieceBoard::RangeAnswer::Unknown);
    switch (fetched) {
    case RangeFetch::Done:
        break;
    case RangeFetch::NotHonoured:
        if (!writeFailed.load()) return SplitResult::WholeDownload;
        tmp.Reset();
        DeleteFileW(tmpPath.c_str());
        return SplitResult::Failed;
    case RangeFetch::Failed:
        // Only what is proven stays: the prefix up to the first piece not done.
        if (tmp && marked) {
            if (proven > 0 && SetFileLength(tmp.Get(), proven) && FlushFileBuffers(tmp.Get()))
                return layout && answer == 404 ? SplitResult::WholeDownload : SplitResult::Failed;
            tmp.Reset();
            DeleteFileW(tmpPath.c_str());
        }
        // A compressed copy whose head was read and whose pieces are gone is no copy: the
        // raw file decides, and its 404 alone says that the file is not on the server.
        return layout && answer == 404 ? SplitResult::WholeDownload : SplitResult::Failed;
    }
    const bool complete =
        marked && hashTo(size) && SetFileLength(tmp.Get(), size) && FlushFileBuffers(tmp.Get());
    const bool matches = complete && DigestMatchesEntry(digest, entry);
    if (matches) NoteCheckedTmp(tmpPath, tmp.Get(), size);
    tmp.Reset();
    if (matches) return SplitResult::Done;
    DeleteFileW(tmpPath.c_str());
    return complete && layout ? SplitResult::WholeDownload : SplitResult::Failed;
}

SourceAnswer SplitSource(EntryFetch& fetch) {
    if (!fetch.board || !SplitsEntry(fetch.entry) || fetch.board->RangesIgnored())
        return SourceAnswer::NotForMe;
    switch (SplitDownload(*fetch.board, fetch.entry, fetch.url, fetch.tmpPath, &fetch.status)) {
    case SplitResult::Done:
        return SourceAnswer::Done;
    case SplitResult::Failed:
        return SourceAnswer::Failed;
    case SplitResult::WholeDownload:
        break;
    }
    return SourceAnswer::NotForMe;
}
