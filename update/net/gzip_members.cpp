#include "update/net/gzip_members.h"

#include <zlib.h>

#include <cstring>

namespace {
constexpr size_t kOutBlock = 256 * 1024;
// A gzip stream of one member (no zlib or raw deflate): window of 32 KiB.
constexpr int kGzipWindowBits = 16 + MAX_WBITS;
} // namespace

struct GzipMembersInflater::Stream {
    z_stream z;
    bool ready = false;
    Stream() {
        std::memset(&z, 0, sizeof z);
        ready = inflateInit2(&z, kGzipWindowBits) == Z_OK;
    }
    ~Stream() {
        if (ready) inflateEnd(&z);
    }
};

GzipMembersInflater::GzipMembersInflater(uint64_t rawLimit, RawSinkFn sink)
    : stream_(std::make_unique<Stream>()), out_(std::make_unique_for_overwrite<char[]>(kOutBlock)),
      rawLimit_(rawLimit), sink_(std::move(sink)) {
    broken_ = !stream_->ready;
}

GzipMembersInflater::~GzipMembersInflater() = default;

bool GzipMembersInflater::Feed(const char* data, size_t size) {
    if (broken_) return false;
    z_stream& z = stream_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = 0;
    size_t left = size;   // not yet in avail_in, which is 32 bits wide
    bool outFull = false; // the last call filled the output block: more may be pending
    for (;;) {
        if (z.avail_in == 0 && !outFull) {
            if (left == 0) break;
            const size_t piece = left > (1u << 30) ? (1u << 30) : left;
            z.avail_in = static_cast<uInt>(piece);
            left -= piece;
        }
        if (!inMember_) {
            // The byte after a member's trailer starts the next member.
            if (anyMember_ && inflateReset(&z) != Z_OK) return !(broken_ = true);
            inMember_ = true;
            anyMember_ = true;
        }
        z.next_out = reinterpret_cast<Bytef*>(out_.get());
        z.avail_out = static_cast<uInt>(kOutBlock);
        const int result = inflate(&z, Z_NO_FLUSH);
        const size_t produced = kOutBlock - z.avail_out;
        outFull = z.avail_out == 0;
        if (produced > 0) {
            if (produced > rawLimit_ - raw_ || !sink_(out_.get(), produced))
                return !(broken_ = true);
            raw_ += produced;
        }
        if (result == Z_STREAM_END) {
            // Everything of the member was handed out with it.
            inMember_ = false;
            outFull = false;
            continue;
        }
        // No progress without more input, which the next Feed brings.
        if (result == Z_BUF_ERROR && z.avail_in == 0) continue;
        if (result != Z_OK) return !(broken_ = true);
    }
    return true;
}

bool GzipMembersInflater::Complete() const {
    return !broken_ && anyMember_ && !inMember_;
}
