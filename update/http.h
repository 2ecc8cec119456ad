// HTTP GET against the update server, synchronous on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// (bytes received so far, total announced by the server or 0).
using DownloadProgressFn = std::function<void(uint64_t received, uint64_t total)>;

struct HttpResponse {
    int32_t status = 0;
    uint64_t contentLength = 0;
    bool hasContentLength = false;
    std::string contentRange;
    std::string contentType;
};
// Receives each block of the body as it arrives; false aborts the transfer.
using HttpChunkFn = std::function<bool(const char* data, size_t size)>;

// GET with optional extra request headers; the body of a 200 or 206 answer goes to onChunk.
// True only when the status was 200 or 206 and the whole body arrived and was accepted.
bool HttpGet(const std::wstring& url, const wchar_t* extraHeaders, const HttpChunkFn& onChunk,
             HttpResponse* response);

// The address with a unique "nocache=" query parameter appended.
std::wstring AddNoCacheParam(const std::wstring& url);

// The body of a 200 answer; empty on every failure. status receives the HTTP status, or 0
// when no answer came.
std::string HttpGetToString(const std::wstring& url, int32_t* status = nullptr);

// Streams the body of a 200 answer into destination, creating its folder chain first.
// True only when the whole body was written; on false no partial file is left behind.
bool HttpDownloadToFile(const std::wstring& url, const std::wstring& destination,
                        DownloadProgressFn progress, int32_t* status = nullptr);
