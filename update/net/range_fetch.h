// Fetching byte ranges of a file on the update server into a local file at the same offsets:
// "Range: bytes=a-b,c-d,..." on the kept-alive session, a bounded number of ranges per
// request, answered as one "206" range or as a "multipart/byteranges" body.
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

// Hands each range of the file at url (fileSize bytes long) to write, in the order the server
// sends them (the order asked for, with the servers met so far).
RangeFetch FetchRanges(const std::wstring& url, const std::vector<ByteRange>& ranges,
                       uint64_t fileSize, const RangeWriteFn& write, int32_t* status);

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
