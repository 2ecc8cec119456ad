#include "net/http.h"

#include <windows.h>
#include <shlobj.h>
#include <winhttp.h>

#include <atomic>
#include <charconv>
#include <map>
#include <memory>
#include <mutex>

#include "base/handles.h"
#include "base/launcher_state.h"

namespace {

constexpr wchar_t kUserAgent[] = L"ZarvoLauncher/1.0";
constexpr DWORD kHostBufferUnits = 256;
constexpr DWORD kPathBufferUnits = 2048;
constexpr DWORD kBlockSize = 256 * 1024;

std::atomic<uint32_t> stallWindowMs{kStallWindowMs};

// The one session of the process and its connections, one per host and port. WinHTTP keeps
// connections alive only within a session, so sharing it spares every file a TCP and TLS
// handshake. Both are opened on first use and never closed: a worker may still be inside a
// transfer while the process ends, and the system reclaims them with the process.
struct Sessions {
    std::mutex lock;
    HINTERNET session = nullptr;
    std::map<std::wstring, HINTERNET> connections;
};

Sessions& Shared() {
    static Sessions* shared = new Sessions; // deliberately never destroyed, see above
    return *shared;
}

// The user's proxy as the system resolves it (automatic proxy, Windows 8.1 and later); older
// systems refuse that access type and get WinHTTP's default configuration instead.
HINTERNET OpenSession() {
    HINTERNET session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return session;
}

HINTERNET Connection(const wchar_t* host, INTERNET_PORT port) {
    Sessions& shared = Shared();
    std::lock_guard<std::mutex> lock(shared.lock);
    if (!shared.session) shared.session = OpenSession();
    if (!shared.session) return nullptr;
    std::wstring key = host;
    key += L':';
    key += std::to_wstring(port);
    HINTERNET& connection = shared.connections[key];
    if (!connection) connection = WinHttpConnect(shared.session, host, port, 0);
    return connection;
}

// Every wait of a request is bounded by the stall window: name resolution, connecting,
// sending, each read and the wait for the answer's headers.
void BoundWaits(HINTERNET request) {
    const int window = static_cast<int>(stallWindowMs.load());
    WinHttpSetTimeouts(request, window, window, window, window);
    DWORD headers = static_cast<DWORD>(window);
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers, sizeof(headers));
}

std::string HeaderText(HINTERNET request, DWORD query) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring wide(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, wide.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    wide.resize(size / sizeof(wchar_t));
    // Header values are ASCII; anything else is kept as a placeholder, never misread.
    std::string text(wide.size(), '?');
    for (size_t i = 0; i < wide.size(); ++i)
        if (wide[i] < 0x80) text[i] = static_cast<char>(wide[i]);
    return text;
}

// Content-Length read as text and parsed into 64 bits, so that bodies above 4 GiB are judged
// by their real size. Missing, empty, signed, overlong or otherwise malformed: not announced.
bool AnnouncedLength(HINTERNET request, uint64_t* length) {
    const std::string text = HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    const char* end = text.data() + text.find_last_not_of(" \t") + 1;
    const auto [ptr, error] = std::from_chars(text.data() + first, end, *length);
    return error == std::errc() && ptr == end;
}

// Splits the address, sends the GET and waits for the answer's headers. response receives
// the status and the headers of interest. The request handle comes back whatever the status;
// none when no answer came.
WinHttpHandle SendRequest(const std::wstring& url, const wchar_t* extraHeaders,
                          HttpResponse& response) {
    // Only host and path are asked for, so the query stays part of the requested path.
    // An address whose host or path does not fit its buffer fails here, before any traffic.
    wchar_t host[kHostBufferUnits] = {};
    wchar_t path[kPathBufferUnits] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostBufferUnits;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathBufferUnits;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return {};
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    HINTERNET connection = Connection(host, parts.nPort);
    if (!connection) return {};
    WinHttpHandle request(WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return {};
    BoundWaits(request.Get());

    const wchar_t* headers = extraHeaders ? extraHeaders : WINHTTP_NO_ADDITIONAL_HEADERS;
    const DWORD headersLength = extraHeaders ? static_cast<DWORD>(-1L) : 0;
    if (!WinHttpSendRequest(request.Get(), headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr)) {
        return {};
    }

    DWORD code = 0;
    DWORD codeSize = sizeof(code);
    if (!WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize,
                             WINHTTP_NO_HEADER_INDEX)) {
        code = 0;
    }
    response.status = static_cast<int32_t>(code);
    response.hasContentLength = AnnouncedLength(request.Get(), &response.contentLength);
    if (!response.hasContentLength) response.contentLength = 0;
    response.contentRange = HeaderText(request.Get(), WINHTTP_QUERY_CONTENT_RANGE);
    response.contentType = HeaderText(request.Get(), WINHTTP_QUERY_CONTENT_TYPE);
    return request;
}

// Reads the body into blocks of up to kBlockSize for onChunk. Each read takes only what has
// arrived (Wine's WinHttpReadData would otherwise wait until a whole block is in), so a cancel
// or a stall is seen between two pieces however slowly they come. False on a failed read, a
// cancel, a refused block, a stall or a body that ends short of its announced length.
bool ReadBody(HINTERNET request, const HttpResponse& response, const HttpChunkFn& onChunk) {
    const auto block = std::make_unique_for_overwrite<char[]>(kBlockSize);
    const uint64_t window = stallWindowMs.load();
    uint64_t received = 0;
    uint64_t windowStart = GetTickCount64();
    uint64_t windowBytes = 0;
    DWORD filled = 0;
    for (;;) {
        if (State().cancelRequested.load()) return false;
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return false;
        DWORD read = 0;
        if (available > 0) {
            const DWORD want = available < kBlockSize - filled ? available : kBlockSize - filled;
            if (!WinHttpReadData(request, block.get() + filled, want, &read)) return false;
        }
        filled += read;
        received += read;
        // A trickle that keeps each read alive still ends: every window must bring enough.
        windowBytes += read;
        const uint64_t now = GetTickCount64();
        if (now - windowStart >= window) {
            if (windowBytes < kStallMinimumBytes) return false;
            windowStart = now;
            windowBytes = 0;
        }
        const bool end = read == 0;
        if ((end || filled == kBlockSize) && filled > 0) {
            if (onChunk && !onChunk(block.get(), filled)) return false;
            filled = 0;
        }
        if (end) break;
    }
    return !response.hasContentLength || received == response.contentLength;
}

// One GET: the body of an accepted status goes to onChunk; onHeaders (may be empty) sees
// the answer before any byte of the body is read and may refuse it.
bool Transfer(const std::wstring& url, const wchar_t* extraHeaders, bool partialAccepted,
              const std::function<bool(const HttpResponse&)>& onHeaders, const HttpChunkFn& onChunk,
              HttpResponse* response) {
    HttpResponse local;
    HttpResponse& answer = response ? *response : local;
    answer = HttpResponse();
    // Stopping work starts no new transfer.
    if (State().cancelRequested.load()) return false;
    WinHttpHandle request = SendRequest(url, extraHeaders, answer);
    if (!request) return false;
    if (answer.status != 200 && !(partialAccepted && answer.status == 206)) return false;
    if (onHeaders && !onHeaders(answer)) return false;
    return ReadBody(request.Get(), answer, onChunk);
}

// Creates every missing folder above the destination; the outcome shows when the file is
// created.
void CreateParentFolders(const std::wstring& destination) {
    const size_t separator = destination.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return;
    const std::wstring folder = destination.substr(0, separator);
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
}

} // namespace

std::wstring AddNoCacheParam(const std::wstring& url) {
    const uint64_t n = State().nocacheCounter.fetch_add(1) + 1;
    const uint64_t value = GetTickCount64() ^ n;
    std::wstring result = url;
    result += result.find(L'?') == std::wstring::npos ? L'?' : L'&';
    result += L"nocache=";
    result += std::to_wstring(value);
    return result;
}

bool HttpGet(const std::wstring& url, const wchar_t* extraHeaders, const HttpChunkFn& onChunk,
             HttpResponse* response, const HttpHeadersFn& onHeaders) {
    return Transfer(url, extraHeaders, true, onHeaders, onChunk, response);
}

std::wstring IfModifiedSinceHeader(const FILETIME& time) {
    SYSTEMTIME utc = {};
    wchar_t date[WINHTTP_TIME_FORMAT_BUFSIZE / sizeof(wchar_t)] = {};
    if (!FileTimeToSystemTime(&time, &utc) || !WinHttpTimeFromSystemTime(&utc, date)) return {};
    return std::wstring(L"If-Modified-Since: ") + date;
}

std::string HttpGetToString(const std::wstring& url, int32_t* status, const wchar_t* extraHeaders,
                            size_t maxBytes) {
    HttpResponse response;
    std::string body;
    const bool complete = Transfer(
        url, extraHeaders, false,
        [maxBytes](const HttpResponse& answer) { return answer.contentLength <= maxBytes; },
        [&body, maxBytes](const char* data, size_t size) {
            if (size > maxBytes - body.size()) return false;
            body.append(data, size);
            return true;
        },
        &response);
    if (status) *status = response.status;
    // Half a manifest is no manifest: a cut body is a failed transfer.
    if (!complete) return {};
    return body;
}

bool HttpDownloadToFile(const std::wstring& url, const std::wstring& destination,
                        DownloadProgressFn progress, int32_t* status) {
    // Our own copy of the callback, gone before the call returns.
    DownloadProgressFn callback = std::move(progress);

    FileHandle file;
    uint64_t received = 0;
    HttpResponse response;
    const auto createFile = [&](const HttpResponse&) {
        CreateParentFolders(destination);
        file.Reset(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.Valid();
    };
    const auto write = [&](const char* data, size_t size) {
        DWORD written = 0;
        if (!WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr) ||
            written != size) {
            return false;
        }
        received += size;
        if (callback) callback(received, response.contentLength);
        return true;
    };
    const bool complete = Transfer(url, nullptr, false, createFile, write, &response);
    if (status) *status = response.status;
    const bool created = file.Valid();
    file.Reset();
    if (!complete && created) DeleteFileW(destination.c_str());
    return complete;
}

void SetStallWindowForTesting(uint32_t milliseconds) {
    stallWindowMs.store(milliseconds == 0 ? kStallWindowMs : milliseconds);
}
