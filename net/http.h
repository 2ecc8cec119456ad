// HTTP GET against the update server, synchronous on the calling thread, over the process's
// one WinHTTP session.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// (bytes received so far, total announced by the server or 0).
using DownloadProgressFn = std::function<void(uint64_t received, uint64_t total)>;

struct HttpResponse {
    int32_t status = 0;         // HTTP status, 0 when no answer came
    uint64_t contentLength = 0; // announced Content-Length (64-bit), 0 when absent
    bool hasContentLength = false;
    std::string contentRange; // "Content-Range" as sent, "" when absent
    std::string contentType;  // "Content-Type" as sent, "" when absent
};

// Receives each block of the body (up to 256 KiB) as it arrives; false aborts the transfer.
using HttpChunkFn = std::function<bool(const char* data, size_t size)>;

// A transfer that receives less than this many bytes in one stall window has stalled.
constexpr uint64_t kStallMinimumBytes = 1024;
constexpr uint32_t kStallWindowMs = 30000;

// The address with a unique "nocache=" query parameter appended.
std::wstring AddNoCacheParam(const std::wstring& url);

// Sees an answer before any byte of its body is read; false refuses the body.
using HttpHeadersFn = std::function<bool(const HttpResponse& response)>;

// GET on the process's one WinHTTP session (connections kept alive). extraHeaders ("Name:
// value" lines separated by "\r\n") may be nullptr: the launcher's ordinary requests send
// none. The body of a 200 or 206 answer is streamed to onChunk; other statuses are not read.
// True only when the status was 200 or 206, the whole body arrived (as long as
// Content-Length when announced), onChunk accepted every block, the transfer did not stall
// (less than kStallMinimumBytes in a stall window) and no cancel was requested.
// response (may be nullptr) receives what the answer said, also on failure. onHeaders (may be
// empty) sees a 200 or 206 answer first: a body it refuses is not read at all.
bool HttpGet(const std::wstring& url, const wchar_t* extraHeaders, const HttpChunkFn& onChunk,
             HttpResponse* response, const HttpHeadersFn& onHeaders = nullptr);

// The most a document read into memory may hold unless its reader says less: a manifest of
// 100,000 files with SHA-256 and long paths is about 30 MiB.
constexpr size_t kMaxDocumentBytes = 64u << 20;

// The body of a 200 answer; empty on every failure, a body cut short of its Content-Length or
// a failed read included. A body above maxBytes is a failure too: refused on its
// Content-Length before it is read, or as soon as it grows past maxBytes. status receives the
// HTTP status, or 0 when no answer came. extraHeaders as for HttpGet.
std::string HttpGetToString(const std::wstring& url, int32_t* status = nullptr,
                            const wchar_t* extraHeaders = nullptr,
                            size_t maxBytes = kMaxDocumentBytes);

// The header line that asks for a document only if it changed after time (a 304 answer
// otherwise); "" when time cannot be written as an HTTP date.
std::wstring IfModifiedSinceHeader(const FILETIME& time);

// Streams the body of a 200 answer into destination, creating its folder chain first.
// True only when the whole body was written; on false no partial file is left behind.
bool HttpDownloadToFile(const std::wstring& url, const std::wstring& destination,
                        DownloadProgressFn progress, int32_t* status = nullptr);

// Tests shorten the stall window (and the time-outs that follow it) to see a stall in
// seconds; 0 restores kStallWindowMs.
void SetStallWindowForTesting(uint32_t milliseconds);
