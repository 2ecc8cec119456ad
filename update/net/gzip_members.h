// Inflating a compressed copy of a game file as it arrives: one or more gzip members one after
// the other, each inflated to the raw bytes that follow the previous one's. Memory stays at
// zlib's window and one output block, whatever the file's size.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// Takes the next size raw bytes; false when they could not be kept.
using RawSinkFn = std::function<bool(const char* data, size_t size)>;

class GzipMembersInflater {
public:
    // rawLimit: the most raw bytes the stream may give; a stream that would give more is
    // refused before any byte past the limit reaches sink.
    GzipMembersInflater(uint64_t rawLimit, RawSinkFn sink);
    ~GzipMembersInflater();
    GzipMembersInflater(const GzipMembersInflater&) = delete;
    GzipMembersInflater& operator=(const GzipMembersInflater&) = delete;

    // False as soon as the bytes are not whole gzip members (a damaged header, data or
    // checksum, bytes after a member that start no other one), would pass rawLimit, or sink
    // refused them; nothing is handed on after that.
    bool Feed(const char* data, size_t size);
    // True when the stream fed so far ends exactly at the end of a member.
    bool Complete() const;
    // Raw bytes handed to sink so far.
    uint64_t RawBytes() const { return raw_; }
    // True once Feed has refused the stream.
    bool Broken() const { return broken_; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::unique_ptr<char[]> out_;
    uint64_t rawLimit_;
    RawSinkFn sink_;
    uint64_t raw_ = 0;
    bool inMember_ = false; // a member started and has not ended yet
    bool anyMember_ = false;
    bool broken_ = false;
};
