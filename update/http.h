// HTTP GET against the update server, synchronous on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// (bytes received so far, total announced by the server or 0).
using DownloadProgressFn = std::function<void(uint64_t received, uint64_t total)>;

// The address with a unique "nocache=" query parameter appended.
std::wstring AddNoCacheParam(const std::wstring& url);

// The body of a 200 answer; empty on every failure. status receives the HTTP status, or 0
// when no answer came.
std::string HttpGetToString(const std::wstring& url, int32_t* status = nullptr);

// Streams the body of a 200 answer into destination, creating its folder chain first.
// True only when the whole body was written; on false no partial file is left behind.
bool HttpDownloadToFile(const std::wstring& url, const std::wstring& destination,
                        DownloadProgressFn progress, int32_t* status = nullptr);
