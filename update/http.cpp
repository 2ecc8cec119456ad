#include "update/http.h"

#include <windows.h>
#include <shlobj.h>
#include <winhttp.h>

#include <vector>

#include "app/handles.h"
#include "app/launcher_state.h"

namespace {

constexpr wchar_t kUserAgent[] = L"ZarvoLauncher/1.0";
constexpr DWORD kHostBufferUnits = 256;
constexpr DWORD kPathBufferUnits = 2048;
constexpr DWORD kChunkSize = 8192;
constexpr DWORD kAcceptedStatus = 200;

// The three handles of one transfer. Members are destroyed in reverse order, so a transfer
// always closes request, connection and root handle in that order.
struct Transfer {
    WinHttpHandle root;
    WinHttpHandle connection;
    WinHttpHandle request;

    void Close() {
        request.Reset();
        connection.Reset();
        root.Reset();
    }
};

// Splits the address, connects and sends the GET; true when a 200 answer is waiting to be
// read. status, when given, receives the HTTP status or 0 when none came.
bool OpenTransfer(const std::wstring& url, int32_t* status, Transfer& transfer,
                  const wchar_t* extraHeaders = nullptr) {
    if (status) *status = 0;

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
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    transfer.root.Reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!transfer.root) return false;
    transfer.connection.Reset(WinHttpConnect(transfer.root.Get(), host, parts.nPort, 0));
    if (!transfer.connection) return false;
    transfer.request.Reset(WinHttpOpenRequest(transfer.connection.Get(), L"GET", path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure ? WINHTTP_FLAG_SECURE : 0));
    if (!transfer.request) return false;

    if (!WinHttpSendRequest(transfer.request.Get(),
                            extraHeaders ? extraHeaders : WINHTTP_NO_ADDITIONAL_HEADERS,
                            extraHeaders ? static_cast<DWORD>(-1L) : 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return false;
    }
    if (!WinHttpReceiveResponse(transfer.request.Get(), nullptr)) return false;

    DWORD code = 0;
    DWORD codeSize = sizeof(code);
    if (!WinHttpQueryHeaders(transfer.request.Get(),
                             WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize,
                             WINHTTP_NO_HEADER_INDEX)) {
        code = 0;
    }
    if (status) *status = static_cast<int32_t>(code);
    return code == kAcceptedStatus || (extraHeaders && code == 206);
}

// Content-Length read as text and parsed into 64 bits, so that bodies above 4 GiB are judged
// by their real size. Missing, empty, signed, overlong or otherwise malformed gives 0.
uint64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[64] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    const size_t units = size / sizeof(wchar_t);
    size_t pos = 0;
    size_t end = units < 63 ? units : 63;
    while (pos < end && (text[pos] == L' ' || text[pos] == L'\t')) ++pos;
    while (end > pos && (text[end - 1] == L' ' || text[end - 1] == L'\t')) --end;
    if (pos == end) return 0;
    uint64_t value = 0;
    for (; pos < end; ++pos) {
        if (text[pos] < L'0' || text[pos] > L'9') return 0;
        const uint64_t digit = static_cast<uint64_t>(text[pos] - L'0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
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

std::string HttpGetToString(const std::wstring& url, int32_t* status) {
    Transfer transfer;
    if (!OpenTransfer(url, status, transfer)) return {};

    std::string body;
    char chunk[kChunkSize];
    DWORD read = 0;
    // A failed read ends the body with what arrived so far.
    while (WinHttpReadData(transfer.request.Get(), chunk, kChunkSize, &read) && read > 0) {
        body.append(chunk, read);
    }
    transfer.Close();
    return body;
}

bool HttpDownloadToFile(const std::wstring& url, const std::wstring& destination,
                        DownloadProgressFn progress, int32_t* status) {
    // Our own copy of the callback, gone before the call returns.
    DownloadProgressFn callback = std::move(progress);

    Transfer transfer;
    if (!OpenTransfer(url, status, transfer)) return false;
    const uint64_t announced = AnnouncedLength(transfer.request.Get());

    CreateParentFolders(destination);
    FileHandle file(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

    std::vector<char> chunk(kChunkSize);
    uint64_t received = 0;
    bool failed = false;
    DWORD read = 0;
    // A failed read ends the loop like the end of the body; the length check below and the
    // caller's hash check catch a body that stopped short.
    while (WinHttpReadData(transfer.request.Get(), chunk.data(), kChunkSize, &read) && read > 0) {
        if (State().cancelRequested.load()) {
            failed = true;
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file.Get(), chunk.data(), read, &written, nullptr) || written != read) {
            failed = true;
            break;
        }
        received += read;
        if (callback) callback(received, announced);
    }

    file.Reset();
    transfer.Close();
    if (failed || (announced != 0 && announced != received)) {
        DeleteFileW(destination.c_str());
        return false;
    }
    return true;
}

namespace {
std::string HeaderText(HINTERNET request, DWORD query) {
    wchar_t text[512] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    std::string out;
    for (size_t i = 0; i < size / sizeof(wchar_t); ++i) out += static_cast<char>(text[i]);
    return out;
}
} // namespace

bool HttpGet(const std::wstring& url, const wchar_t* extraHeaders, const HttpChunkFn& onChunk,
             HttpResponse* response) {
    HttpResponse local;
    HttpResponse& r = response ? *response : local;
    r = HttpResponse();
    Transfer transfer;
    if (!OpenTransfer(url, &r.status, transfer, extraHeaders)) return false;
    r.contentLength = AnnouncedLength(transfer.request.Get());
    r.hasContentLength = r.contentLength != 0;
    r.contentRange = HeaderText(transfer.request.Get(), WINHTTP_QUERY_CONTENT_RANGE);
    r.contentType = HeaderText(transfer.request.Get(), WINHTTP_QUERY_CONTENT_TYPE);
    std::vector<char> chunk(256 * 1024);
    uint64_t received = 0;
    DWORD read = 0;
    for (;;) {
        if (!WinHttpReadData(transfer.request.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read))
            return false;
        if (read == 0) break;
        if (State().cancelRequested.load()) return false;
        if (!onChunk(chunk.data(), read)) return false;
        received += read;
    }
    return !r.hasContentLength || received == r.contentLength;
}
