#include "update/net/range_fetch.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

#include "base/launcher_state.h"
#include "net/http.h"

namespace {

// A part's delimiter line and headers are a few hundred bytes; more is not a part head.
constexpr size_t kMaxPartHead = 8192;

std::string Lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// Only digits, within 64 bits.
bool ParseNumber(const std::string& text, uint64_t* value) {
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, *value);
    return error == std::errc() && ptr == end && !text.empty();
}

// The boundary parameter of "multipart/byteranges; boundary=..." (quoted or not), or "".
std::string BoundaryOf(const std::string& contentType) {
    const std::string lower = Lowered(contentType);
    if (lower.rfind("multipart/byteranges", 0) != 0) return {};
    const size_t key = lower.find("boundary=");
    if (key == std::string::npos) return {};
    std::string value = contentType.substr(key + 9);
    if (!value.empty() && value[0] == '"') {
        const size_t close = value.find('"', 1);
        return close == std::string::npos ? std::string() : value.substr(1, close - 1);
    }
    return Trimmed(value.substr(0, value.find(';')));
}

std::wstring RangeHeader(const std::vector<ByteRange>& ranges) {
    std::wstring header = L"Range: bytes=";
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i) header += L',';
        header += std::to_wstring(ranges[i].begin) + L'-' + std::to_wstring(ranges[i].end - 1);
    }
    return header;
}

} // namespace

bool ParseContentRange(const std::string& text, ByteRange* range, uint64_t* total) {
    const std::string t = Trimmed(text);
    if (Lowered(t.substr(0, 6)) != "bytes ") return false;
    const size_t dash = t.find('-', 6);
    const size_t slash = t.find('/', 6);
    if (dash == std::string::npos || slash == std::string::npos || dash > slash) return false;
    uint64_t first = 0, last = 0;
    if (!ParseNumber(Trimmed(t.substr(6, dash - 6)), &first) ||
        !ParseNumber(Trimmed(t.substr(dash + 1, slash - dash - 1)), &last) ||
        !ParseNumber(Trimmed(t.substr(slash + 1)), total) || last < first || last >= *total) {
        return false;
    }
    *range = {first, last + 1};
    return true;
}

RangeBodyReader::RangeBodyReader(std::vector<ByteRange> asked, uint64_t fileSize,
                                 const std::string& contentType, const std::string& contentRange,
                                 WriteFn write)
    : asked_(std::move(asked)), received_(asked_.size(), 0), fileSize_(fileSize),
      write_(std::move(write)) {
    const std::string boundary = BoundaryOf(contentType);
    if (!boundary.empty()) {
        delimiter_ = "--" + boundary;
    } else if (!StartPart(contentRange)) {
        broken_ = true; // neither multipart nor one range that was asked for
    }
}

bool RangeBodyReader::StartPart(const std::string& contentRange) {
    ByteRange range;
    uint64_t total = 0;
    if (!ParseContentRange(contentRange, &range, &total) || total != fileSize_) return false;
    for (size_t i = 0; i < asked_.size(); ++i) {
        if (asked_[i].begin == range.begin && asked_[i].end == range.end && !received_[i]) {
            received_[i] = 1;
            at_ = range.begin;
            left_ = range.end - range.begin;
            inData_ = true;
            return true;
        }
    }
    return false;
}

// Called with head_ holding everything from the end of the last part's data: a line break,
// the delimiter, then either "--" (the end) or the part's header lines and an empty line.
bool RangeBodyReader::ReadPartHead() {
    const size_t delimiter = head_.find(delimiter_);
    if (delimiter == std::string::npos) return head_.size() <= kMaxPartHead ? true : false;
    const size_t after = delimiter + delimiter_.size();
    if (head_.size() < after + 2) return true;
    if (head_.compare(after, 2, "--") == 0) {
        ended_ = true;
        return true;
    }
    const size_t blank = head_.find("\r\n\r\n", after);
    if (blank == std::string::npos) return head_.size() <= kMaxPartHead;
    std::string contentRange;
    bool haveRange = false;
    size_t line = head_.find("\r\n", after) + 2;
    while (line < blank + 2) {
        const size_t end = head_.find("\r\n", line);
        const std::string text = head_.substr(line, end - line);
        const size_t colon = text.find(':');
        if (colon != std::string::npos &&
            Lowered(Trimmed(text.substr(0, colon))) == "content-range") {
            contentRange = text.substr(colon + 1);
            haveRange = true;
        }
        line = end + 2;
    }
    if (!haveRange || !StartPart(contentRange)) return false;
    std::string rest = head_.substr(blank + 4);
    head_.clear();
    return rest.empty() || Feed(rest.data(), rest.size());
}

bool RangeBodyReader::Feed(const char* data, size_t size) {
    while (!broken_ && size > 0) {
        if (inData_) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left_, size));
            if (!write_(at_, data, n)) {
                broken_ = true;
                break;
            }
            at_ += n;
            left_ -= n;
            data += n;
            size -= n;
            if (left_ == 0) inData_ = false;
            continue;
        }
        if (delimiter_.empty() || ended_) {
            // Data past a single range, or past the closing delimiter: only the epilogue of
            // a multipart body may follow.
            if (delimiter_.empty()) broken_ = true;
            break;
        }
        head_.append(data, size);
        size = 0;
        if (!ReadPartHead()) broken_ = true;
    }
    return !broken_;
}

bool RangeBodyReader::Complete() const {
    if (broken_ || inData_) return false;
    if (!delimiter_.empty() && !ended_) return false;
    return std::all_of(received_.begin(), received_.end(), [](uint8_t r) { return r != 0; });
}

namespace {

// One request for the ranges asked. *refused: a request for several was answered with the
// whole file, one part or a refusal, cut off before its body (nothing of it was written).
RangeFetch FetchInOneRequest(const std::wstring& url, const std::vector<ByteRange>& asked,
                             uint64_t fileSize, const RangeWriteFn& write, int32_t* status,
                             bool* refused) {
    const bool several = asked.size() > 1;
    const std::wstring header = RangeHeader(asked);
    HttpResponse response;
    std::unique_ptr<RangeBodyReader> reader;
    bool notHonoured = false;
    *refused = false;
    // A whole body (200) is not read: for a big file it would cost the file.
    const auto onHeaders = [&](const HttpResponse& answer) {
        if (answer.status == 206 && (!several || !BoundaryOf(answer.contentType).empty()))
            return true;
        (several ? *refused : notHonoured) = true;
        return false;
    };
    const auto onChunk = [&](const char* data, size_t size) {
        if (!reader) {
            reader = std::make_unique<RangeBodyReader>(asked, fileSize, response.contentType,
                                                       response.contentRange, write);
        }
        if (!reader->Feed(data, size)) notHonoured = true;
        return !notHonoured;
    };
    const bool ok = HttpGet(url, header.c_str(), onChunk, &response, onHeaders);
    if (status) *status = response.status;
    if (several && response.status == 416) *refused = true;
    if (*refused || notHonoured || (ok && response.status != 206)) return RangeFetch::NotHonoured;
    if (!ok) return RangeFetch::Failed;
    if (!reader || !reader->Complete()) return RangeFetch::NotHonoured;
    return RangeFetch::Done;
}

// Ranges as single-range requests; the bytes a merged request brings between them are dropped.
RangeFetch FetchOneByOne(const std::wstring& url, const std::vector<ByteRange>& ranges,
                         uint64_t fileSize, const RangeWriteFn& write, int32_t* status,
                         const SingleRangesFn& spread) {
    const auto clipped = [&ranges, &write](uint64_t offset, const char* data, size_t size) {
        const uint64_t end = offset + size;
        auto r =
            std::upper_bound(ranges.begin(), ranges.end(), offset,
                             [](uint64_t at, const ByteRange& range) { return at < range.end; });
        for (; r != ranges.end() && r->begin < end; ++r) {
            const uint64_t from = std::max(offset, r->begin);
            const uint64_t to = std::min(end, r->end);
            if (!write(from, data + (from - offset), static_cast<size_t>(to - from))) return false;
        }
        return true;
    };
    const std::vector<ByteRange> requests = SingleRangeRequests(ranges);
    if (spread) return spread(requests, clipped, status);
    for (const ByteRange& request : requests) {
        bool refused = false;
        const RangeFetch fetched =
            FetchInOneRequest(url, {request}, fileSize, clipped, status, &refused);
        if (fetched != RangeFetch::Done) return fetched;
    }
    return RangeFetch::Done;
}

// Two bytes of the small document at url in one request: the server's answer to several
// ranges, learnt for the run. A whole answer is cut off at its headers; no answer, or one that
// tells nothing, leaves it to the file's own request.
void LearnSeveralRanges(const std::wstring& url) {
    std::atomic<int32_t>& learnt = State().severalRanges;
    HttpResponse response;
    int32_t found = kSeveralRangesUnknown;
    const auto onHeaders = [&](const HttpResponse& answer) {
        found = answer.status == 206 && !BoundaryOf(answer.contentType).empty()
                    ? kSeveralRangesAnswered
                    : kSeveralRangesRefused;
        return found == kSeveralRangesAnswered; // its few bytes are read: the connection stays
    };
    // A multipart answer for two bytes is a few hundred; a server sending more is cut off.
    size_t read = 0;
    const auto onChunk = [&read](const char*, size_t size) {
        read += size;
        return read <= kMaxPartHead;
    };
    HttpGet(url, L"Range: bytes=0-0,2-2", onChunk, &response, onHeaders);
    int32_t expected = kSeveralRangesUnknown;
    if (found != kSeveralRangesUnknown) learnt.compare_exchange_strong(expected, found);
}

} // namespace

std::vector<ByteRange> SingleRangeRequests(const std::vector<ByteRange>& ranges) {
    std::vector<ByteRange> requests;
    for (const ByteRange& range : ranges) {
        if (!requests.empty() && range.begin - requests.back().end < kCoalesceGap &&
            range.end - requests.back().begin <= kMostPerSingleRange) {
            requests.back().end = range.end;
        } else {
            requests.push_back(range);
        }
    }
    return requests;
}

RangeFetch FetchRanges(const std::wstring& url, const std::vector<ByteRange>& ranges,
                       uint64_t fileSize, const RangeWriteFn& write, int32_t* status,
                       const RangePlan& plan) {
    std::atomic<int32_t>& learnt = State().severalRanges;
    if (ranges.size() > 1 && !plan.probeUrl.empty() && learnt.load() == kSeveralRangesUnknown)
        LearnSeveralRanges(plan.probeUrl);
    for (size_t first = 0; first < ranges.size();) {
        const size_t count = std::min(kMaxRangesPerRequest, ranges.size() - first);
        if (count > 1 && learnt.load() == kSeveralRangesRefused) {
            const std::vector<ByteRange> rest(ranges.begin() + first, ranges.end());
            return FetchOneByOne(url, rest, fileSize, write, status, plan.spread);
        }
        const std::vector<ByteRange> asked(ranges.begin() + first, ranges.begin() + first + count);
        bool refused = false;
        const RangeFetch fetched = FetchInOneRequest(url, asked, fileSize, write, status, &refused);
        if (refused) {
            learnt.store(kSeveralRangesRefused); // the same ranges once more, one per request
            continue;
        }
        if (count > 1 && fetched == RangeFetch::Done) learnt.store(kSeveralRangesAnswered);
        if (fetched != RangeFetch::Done) return fetched;
        first += count;
    }
    return RangeFetch::Done;
}
