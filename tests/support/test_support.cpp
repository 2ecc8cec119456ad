#include "support/test_support.h"

#include <shellapi.h>
#include <tlhelp32.h>
#include <psapi.h>

#include <atomic>
#include <cstring>
#include <random>

#include "base/launcher_state.h"

namespace test {

std::wstring Env(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return {};
    std::wstring value(needed, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
    value.resize(length);
    return value;
}

std::wstring ProgramFolder() {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path = module;
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// ---- files ------------------------------------------------------------------------------

namespace {
std::wstring TestTempRoot() {
    std::wstring root = Env(L"ZARVO_TEST_TMP");
    if (root.empty()) {
        wchar_t buffer[MAX_PATH];
        GetTempPathW(MAX_PATH, buffer);
        root = buffer;
        if (!root.empty() && root.back() == L'\\') root.pop_back();
    }
    return root;
}

void CreateParents(const std::wstring& path) {
    for (size_t i = 3; i < path.size(); ++i)
        if (path[i] == L'\\' || path[i] == L'/')
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}
} // namespace

TempDir::TempDir(const std::wstring& hint) {
    static std::atomic<int> counter{0};
    std::wstring root = TestTempRoot();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        path_ = root + L"\\" + hint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter++);
        CreateParents(path_);
        if (CreateDirectoryW(path_.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

std::wstring TempDir::operator/(const std::wstring& relative) const {
    return path_ + L"\\" + relative;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    CreateParents(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    CloseHandle(file);
    return ok;
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        out.append(buffer, read);
    CloseHandle(file);
    return out;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
    CreateParents(to);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

std::string RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string out(count, '\0');
    for (char& c : out)
        c = static_cast<char>(generator() & 0xFF);
    return out;
}

// ---- MD5 (RFC 1321), kept apart from the launcher's CryptoAPI hashing --------------------

namespace {
uint32_t Rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}
} // namespace

std::string Md5Hex(const std::string& bytes) {
    static const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                              5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                              4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::string message = bytes;
    uint64_t bitLength = static_cast<uint64_t>(bytes.size()) * 8;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56)
        message.push_back('\0');
    for (int i = 0; i < 8; ++i)
        message.push_back(static_cast<char>((bitLength >> (8 * i)) & 0xFF));

    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* p =
                reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = d;
            d = c;
            c = b;
            b = b + Rotl(a + f + K[i] + w[g], R[i]);
            a = next;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h)
        for (int i = 0; i < 4; ++i) {
            unsigned byte = (v >> (8 * i)) & 0xFF;
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 15]);
        }
    return out;
}

// ---- processes --------------------------------------------------------------------------

bool WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD pollMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (predicate()) return true;
        if (GetTickCount64() >= end) return false;
        PumpMessages(pollMs);
    }
}

ChildProcess::~ChildProcess() {
    Kill();
}

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& commandLine,
                         const std::wstring& cwd, const std::vector<std::wstring>& extraEnv) {
    Kill();
    std::wstring environment;
    if (!extraEnv.empty()) {
        wchar_t* block = GetEnvironmentStringsW();
        std::vector<std::wstring> entries;
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1)
            entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
        for (const std::wstring& extra : extraEnv) {
            std::wstring name = extra.substr(0, extra.find(L'=') + 1);
            std::erase_if(entries, [&](const std::wstring& e) {
                return _wcsnicmp(e.c_str(), name.c_str(), name.size()) == 0;
            });
            entries.push_back(extra);
        }
        for (const std::wstring& e : entries)
            environment += e + L'\0';
        environment += L'\0';
    }
    std::wstring command = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                        extraEnv.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT,
                        extraEnv.empty() ? nullptr : environment.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    return true;
}

bool ChildProcess::WaitExit(DWORD timeoutMs, DWORD* exitCode) {
    if (!process_) return false;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return false;
    if (exitCode) GetExitCodeProcess(process_, exitCode);
    return true;
}

bool ChildProcess::Running() const {
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void ChildProcess::Kill() {
    if (!process_) return;
    if (Running()) {
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
    process_ = nullptr;
    pid_ = 0;
}

int KillProcessesUnder(const std::wstring& folder) {
    std::wstring prefix = folder + L"\\";
    int killed = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process =
            OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            _wcsnicmp(image, prefix.c_str(), prefix.size()) == 0) {
            TerminateProcess(process, 255);
            WaitForSingleObject(process, 10000);
            ++killed;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return killed;
}

// ---- test server ------------------------------------------------------------------------

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

std::string UnixPath(const std::wstring& windowsPath) {
    // Wine's own export: it knows every drive's mapping. The text comes from the process heap.
    using ToUnix = char*(CDECL*)(const wchar_t*);
    static const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return {};
    char* unix = toUnix(windowsPath.c_str());
    if (!unix) return {};
    std::string path = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

namespace {

std::string JsonField(const std::string& line, const std::string& key) {
    std::string needle = "\"" + key + "\": \"";
    size_t start = line.find(needle);
    if (start == std::string::npos) {
        needle = "\"" + key + "\":\"";
        start = line.find(needle);
        if (start == std::string::npos) return {};
    }
    std::string out;
    for (size_t i = start + needle.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        out.push_back(line[i]);
    }
    return out;
}
} // namespace

void TestServer::Configure(const std::wstring& root, const std::string& faultsJson) {
    std::string json = "{\"root\": " + JsonQuote(UnixPath(root)) +
                       ", \"faults\": " + (faultsJson.empty() ? "{}" : faultsJson) + "}";
    std::wstring control = Env(L"ZARVO_SERVER_CONTROL");
    std::wstring temp = control + L".tmp";
    WriteFileBytes(temp, json);
    MoveFileExW(temp.c_str(), control.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void TestServer::Reset() {
    Configure(Env(L"ZARVO_SERVER_ROOT"));
}

size_t TestServer::LogMark() {
    return ReadFileBytes(Env(L"ZARVO_SERVER_LOG")).size();
}

std::vector<LoggedRequest> TestServer::RequestsSince(size_t mark) {
    std::string log = ReadFileBytes(Env(L"ZARVO_SERVER_LOG"));
    std::vector<LoggedRequest> out;
    size_t pos = mark;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos) break; // a line still being written
        std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        LoggedRequest r;
        r.line = line;
        r.scheme = JsonField(line, "scheme");
        r.method = JsonField(line, "method");
        r.path = JsonField(line, "path");
        r.userAgent = JsonField(line, "user_agent");
        size_t headers = line.find("\"headers\"");
        if (headers != std::string::npos) {
            size_t open = line.find('{', headers), close = line.find('}', headers);
            std::string body = line.substr(open + 1, close - open - 1);
            size_t p = 0;
            while ((p = body.find('"', p)) != std::string::npos) {
                size_t keyEnd = body.find('"', p + 1);
                size_t valueStart = body.find('"', keyEnd + 1);
                size_t valueEnd = valueStart;
                do {
                    valueEnd = body.find('"', valueEnd + 1);
                } while (valueEnd != std::string::npos && body[valueEnd - 1] == '\\');
                if (keyEnd == std::string::npos || valueStart == std::string::npos ||
                    valueEnd == std::string::npos)
                    break;
                r.headers.emplace_back(body.substr(p + 1, keyEnd - p - 1),
                                       body.substr(valueStart + 1, valueEnd - valueStart - 1));
                p = valueEnd + 1;
            }
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::wstring TestServer::HttpsBase() {
    return L"https://localhost:" + Env(L"ZARVO_HTTPS_PORT");
}
std::wstring TestServer::HttpBase() {
    return L"http://localhost:" + Env(L"ZARVO_HTTP_PORT");
}

// ---- windows ----------------------------------------------------------------------------

namespace {
struct WindowSearch {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t name[256];
    if (pid == search->pid && GetClassNameW(window, name, 256) &&
        wcscmp(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND FindProcessWindow(DWORD pid, const wchar_t* className, DWORD timeoutMs) {
    WindowSearch search = {pid, className, nullptr};
    WaitFor(
        [&] {
            EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

RECT WindowScreenRect(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

void PostMouse(HWND window, UINT message, int x, int y, WPARAM keys) {
    POINT p = {x, y};
    ClientToScreen(window, &p);
    SetCursorPos(p.x, p.y);
    PostMessageW(window, message, keys, MAKELPARAM(x, y));
}

void PostClick(HWND window, int x, int y) {
    PostMouse(window, WM_MOUSEMOVE, x, y);
    PostMouse(window, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
    PostMouse(window, WM_LBUTTONUP, x, y);
}

int ColorDistance(uint32_t a, uint32_t b) {
    int d = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        int ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
        d = std::max(d, ca > cb ? ca - cb : cb - ca);
    }
    return d;
}

void PumpMessages(DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue; // tests look at quit requests themselves
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount64() < end);
}

void ResetRunState() {
    LauncherState& s = State();
    s.updateRunning = false;
    s.cancelRequested = false;
    s.launcherReplaced = false;
    s.gameNotInstalled = false;
    s.actionButtonVisible = false;
    s.progressBytesPercent = 0;
    s.progressFilesPercent = 0;
    s.mainWindow = nullptr;
    SetStatusText(L"");
}

bool MakeUnixLink(const std::wstring& target, const std::wstring& link) {
    ChildProcess ln;
    ln.Start(L"Z:\\bin\\ln",
             L"ln -sfnT \"" + Widen(UnixPath(target)) + L"\" \"" + Widen(UnixPath(link)) + L"\"",
             L"");
    return WaitFor([&] { return PathExists(link); }, 10000);
}

std::vector<std::wstring> ProgramArguments() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> out;
    for (int i = 1; i < count && args; ++i) {
        std::wstring arg = args[i];
        if (arg.rfind(L"--gtest", 0) == 0) continue;
        if (!arg.empty() && arg[0] == L'/') arg = L"Z:" + arg;
        for (wchar_t& c : arg)
            if (c == L'/') c = L'\\';
        out.push_back(arg);
    }
    LocalFree(args);
    return out;
}

} // namespace test
