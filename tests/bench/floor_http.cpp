// The floor of a download on this system: fetch the same addresses on the same number of
// threads over one WinHTTP session, writing each body to its file in 256 KiB blocks, for the
// benchmarks (bench/bench.py). Nothing else happens per file, unless "placed" is given: then
// each body goes to "<file>.tmp", hashed with MD5 (CNG) as it is written, flushed to disk and
// renamed into place, the work every download of the launcher must do per file.
//
//   floor_http.exe LIST_FILE BASE_URL OUT_DIR THREADS RESULT_FILE [placed]
//       LIST_FILE holds one path per line; each is fetched from BASE_URL/path into
//       OUT_DIR\path (its folder must exist); writes "seconds=" (first request to last close),
//       "files=" (answered 200 and written whole) and "bytes="
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "floor_common.h"

namespace {

std::atomic<size_t> nextFile{0};
std::atomic<uint64_t> totalFiles{0}, totalBytes{0};
bool placed = false;
BCRYPT_ALG_HANDLE md5 = nullptr;

struct Target {
    HINTERNET connection = nullptr;
    std::wstring basePath;
    bool secure = false;
};

bool Fetch(const Target& target, const std::wstring& path, const std::wstring& output,
           std::vector<char>& buffer, uint64_t& bytes) {
    HINTERNET request =
        WinHttpOpenRequest(target.connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request) return false;
    bool ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    DWORD status = 0, size = sizeof(status);
    ok = ok &&
         WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX) &&
         status == 200;
    HANDLE file = INVALID_HANDLE_VALUE;
    const std::wstring destination = placed ? output + L".tmp" : output;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (ok) {
        file = CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = file != INVALID_HANDLE_VALUE &&
             (!placed || BCryptCreateHash(md5, &hash, nullptr, 0, nullptr, 0, 0) == 0);
    }
    while (ok) {
        DWORD got = 0, written = 0;
        ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got);
        if (!ok || got == 0) break;
        ok = WriteFile(file, buffer.data(), got, &written, nullptr) && written == got;
        if (hash) BCryptHashData(hash, reinterpret_cast<PUCHAR>(buffer.data()), got, 0);
        bytes += got;
    }
    if (hash) {
        UCHAR digest[16];
        ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
        BCryptDestroyHash(hash);
    }
    if (placed && file != INVALID_HANDLE_VALUE) ok = ok && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (placed && ok)
        ok = MoveFileExW(destination.c_str(), output.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
    WinHttpCloseHandle(request);
    return ok;
}

void FetchFiles(const Target& target, const std::vector<std::wstring>& paths,
                const std::vector<std::wstring>& outputs) {
    std::vector<char> buffer(256 << 10);
    uint64_t files = 0, bytes = 0;
    for (size_t i = nextFile++; i < paths.size(); i = nextFile++)
        if (Fetch(target, target.basePath + paths[i], outputs[i], buffer, bytes)) ++files;
    totalFiles += files;
    totalBytes += bytes;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6 && !(argc == 7 && std::wstring(argv[6]) == L"placed")) return 2;
    placed = argc == 7;
    if (placed && BCryptOpenAlgorithmProvider(&md5, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0)
        return 1;
    const std::vector<std::wstring> paths = floors::ReadList(argv[1], L"", false);
    const std::vector<std::wstring> outputs =
        floors::ReadList(argv[1], std::wstring(argv[3]) + L"\\");
    const int threads = _wtoi(argv[4]);
    if (paths.empty() || threads < 1) return 2;

    wchar_t host[256] = {}, basePath[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = basePath;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(argv[2], 0, 0, &parts)) return 2;

    const double start = floors::NowSeconds();
    HINTERNET session = WinHttpOpen(L"ZarvoBenchFloor/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return 1;
    Target target;
    target.connection = WinHttpConnect(session, host, parts.nPort, 0);
    target.basePath = std::wstring(basePath) + L"/";
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (!target.connection) return 1;
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back(FetchFiles, std::cref(target), std::cref(paths), std::cref(outputs));
    for (std::thread& t : workers)
        t.join();
    WinHttpCloseHandle(target.connection);
    WinHttpCloseHandle(session);
    const double seconds = floors::NowSeconds() - start;

    return floors::WriteResult(argv[5], seconds, totalFiles, totalBytes) ? 0 : 1;
}
