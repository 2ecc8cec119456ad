// Fetching byte ranges of a file on the update server into a local file at the same offsets:
// "Range: bytes=a-b,c-d,..." on the kept-alive session, a bounded number of ranges per
// request, answered as one "206" range or as a "multipart/byteranges" body.
//
// Many servers answer only single ranges: S3 and several CDNs send the whole file (200) for a
// request of several, others refuse it. Such an answer is cut off at its headers, before any of
// its body is read; yet what the connection carried meanwhile (its buffers: about 3 MiB on a
// kept-alive local connection) is paid. So while a run does not know the server's answer, a
// small document of the same server (a small listed file, or the file's block index) is asked
// for two of its bytes first, which costs at most that document. The run remembers what it learnt (severalRanges in
// the launcher's state): once refused, ranges go as single-range requests, neighbours a few KiB
// apart sharing one, which a caller may spread over several connections.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ByteRange {
    uint64_t begin = 0; // first byte
    uint64_t end = 0;   // one past the last byte
};

// Ranges asked for in one request: keeps the Range header near 1 KiB, far below what servers
// accept, and the multipart overhead per request small.
constexpr size_t kMaxRangesPerRequest = 48;

enum class RangeFetch {
    Done,        // every range written
    NotHonoured, // the server answered, but not with exactly the ranges asked for
    Failed,      // no answer, an error status or a transfer cut short
};

// Takes size bytes of the file that belong at offset; false when they could not be kept.
using RangeWriteFn = std::function<bool(uint64_t offset, const char* data, size_t size)>;

// Ranges closer than this share one single-range request: the bytes between cost less than
// another request's headers and round trip. Requests grow so only up to kMostPerSingleRange.
constexpr uint64_t kCoalesceGap = 16 << 10;
constexpr uint64_t kMostPerSingleRange = 4 << 20;

// Fetches requests (single ranges of the file at url, sorted, disjoint), handing their bytes
// to write, which may be called from several threads at once; returns once none is in flight.
// status as for FetchRanges.
using SingleRangesFn = std::function<RangeFetch(const std::vector<ByteRange>& requests,
                                                const RangeWriteFn& write, int32_t* status)>;

// What the run learnt of requests for several ranges (LauncherState::severalRanges).
enum SeveralRanges : int32_t {
    kSeveralRangesUnknown = 0,
    kSeveralRangesAnswered = 1, // as asked, in a multipart answer
    kSeveralRangesRefused = 2,  // with the whole file, one part or a refusal
};

// How a caller's ranges may go besides one request for several.
struct RangePlan {
    SingleRangesFn spread; // shares single-range requests out; empty: one after the other here
    std::wstring probeUrl; // the small document asked first while the run does not know; "": none
};

// Hands each range (sorted, disjoint) of the file at url (fileSize bytes long) to write, in the
// order the server sends them (the order asked for, with the servers met so far); never a byte
// outside them. Once the run found several ranges refused, they go as single-range requests.
RangeFetch FetchRanges(const std::wstring& url, const std::vector<ByteRange>& ranges,
                       uint64_t fileSize, const RangeWriteFn& write, int32_t* status,
                       const RangePlan& plan = {});

// The single-range requests for ranges (sorted, disjoint): neighbours less than kCoalesceGap
// apart merged while the request stays within kMostPerSingleRange. A range is never split.
std::vector<ByteRange> SingleRangeRequests(const std::vector<ByteRange>& ranges);

// Reads the body of a 206 answer to a request for ranges (sorted, disjoint) of a file of
// fileSize bytes, given the answer's Content-Type and Content-Range, and hands each piece of
// data to write at its file offset. Every part must be exactly one of the ranges asked for.
class RangeBodyReader {
public:
    using WriteFn = RangeWriteFn;
    RangeBodyReader(std::vector<ByteRange> asked, uint64_t fileSize, const std::string& contentType,
                    const std::string& contentRange, WriteFn write);
    // False as soon as the body is not what was asked for, or a write failed.
    bool Feed(const char* data, size_t size);
    // True when the body ended after every range asked for arrived whole.
    bool Complete() const;

private:
    bool StartPart(const std::string& contentRange);
    bool ReadPartHead();

    std::vector<ByteRange> asked_;
    std::vector<uint8_t> received_;
    uint64_t fileSize_;
    WriteFn write_;
    std::string delimiter_; // "--" + boundary; empty for a single-range answer
    std::string head_;      // bytes of a part's delimiter and headers gathered so far
    uint64_t at_ = 0;       // file offset of the next data byte
    uint64_t left_ = 0;     // data bytes still due in the current part
    bool inData_ = false;
    bool ended_ = false; // the closing delimiter was read
    bool broken_ = false;
};

// "bytes a-b/total" (RFC 9110), the range as [a, b + 1); false when it does not read so.
bool ParseContentRange(const std::string& text, ByteRange* range, uint64_t* total);
