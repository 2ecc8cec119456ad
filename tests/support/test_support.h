// Shared helpers of the test programs: temp folders, files, child processes with time
// bounds, the test server's control file and request log, windows and screen pixels.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test {

// Value of an environment variable, empty when unset.
std::wstring Env(const wchar_t* name);

// The folder of the running test program, where its companion files are copied.
std::wstring ProgramFolder();

std::string Narrow(const std::wstring& text); // UTF-16 to UTF-8
std::wstring Widen(const std::string& text);  // UTF-8 to UTF-16

// The Linux path of a Windows path, as Wine maps its drives (the test environment is T:, the
// Linux root Z:), for the test server and Linux programs; empty if Wine knows none.
std::string UnixPath(const std::wstring& windowsPath);
// A symbolic link at link to target made by the Unix ln, which Wine shows as a reparse point;
// false when the link did not appear in time.
bool MakeUnixLink(const std::wstring& target, const std::wstring& link);
// The program's own arguments past its name, less GoogleTest's: a Linux path ("/...") as the
// Windows path of Wine's Z: drive, every "/" turned into a backslash.
std::vector<std::wstring> ProgramArguments();

// A fresh folder under the test's own temp folder, removed with everything in it on
// destruction.
class TempDir {
public:
    explicit TempDir(const std::wstring& hint = L"t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

bool WriteFileBytes(const std::wstring& path, const std::string& bytes); // creates parents
std::string ReadFileBytes(const std::wstring& path);                     // "" when unreadable
bool PathExists(const std::wstring& path);                               // file or folder
bool IsDirectory(const std::wstring& path);
void RemoveTree(const std::wstring& path);
bool CopyFileTo(const std::wstring& from, const std::wstring& to);
std::string RandomBytes(size_t count, uint32_t seed);
// MD5 of bytes in lower-case hex, computed independently of the launcher's own code.
std::string Md5Hex(const std::string& bytes);

// Polls until the predicate holds or the time is up; true when it held.
bool WaitFor(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD pollMs = 25);

// Puts the launcher's run state back as a fresh process has it: no run, no cancel, no
// replaced launcher, no game-state flags, progress at zero, no main window, an empty status.
void ResetRunState();

// A child process that is always ended: killed on destruction if still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts exe with the full command line (quote the program yourself) in folder cwd.
    // extraEnv holds "NAME=value" entries added to (or replacing in) the inherited environment.
    bool Start(const std::wstring& exe, const std::wstring& commandLine, const std::wstring& cwd,
               const std::vector<std::wstring>& extraEnv = {});
    // Exit code once the process ends within the time, or -1 (still running) .
    bool WaitExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
    bool Running() const;
    void Kill();
    DWORD Pid() const { return pid_; }
    HANDLE Handle() const { return process_; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// Kills every process whose image path is under the folder (launchers that a test's launcher
// started by itself, such as a restart). Returns how many were ended.
int KillProcessesUnder(const std::wstring& folder);

// The shared HTTPS test server: https://localhost:ZARVO_HTTPS_PORT, plain HTTP on
// ZARVO_HTTP_PORT. Control file and log format: tests/server/README.md.
struct LoggedRequest {
    std::string scheme, method, path, userAgent;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string line; // the raw JSON line
};

class TestServer {
public:
    // Serves root (a Windows path) with the given faults ("" for none): faultsJson is the
    // JSON object that goes under "faults", e.g. {"/update/a.bin": {"status": 500}}.
    static void Configure(const std::wstring& root, const std::string& faultsJson = "");
    // Back to the default root and no faults.
    static void Reset();
    // Marks the current end of the request log; RequestsSince returns what came after it.
    static size_t LogMark();
    static std::vector<LoggedRequest> RequestsSince(size_t mark);
    static std::wstring HttpsBase(); // https://localhost:PORT
    static std::wstring HttpBase();  // http://localhost:PORT
};

// JSON string literal for a Windows path or any text (quotes and backslashes escaped).
std::string JsonQuote(const std::string& text);

// Top-level window of the class that belongs to the process, or null after the time.
HWND FindProcessWindow(DWORD pid, const wchar_t* className, DWORD timeoutMs);
RECT WindowScreenRect(HWND window);

// Puts the real cursor at the client point (so TrackMouseEvent sees it there) and posts the
// mouse message there.
void PostMouse(HWND window, UINT message, int x, int y, WPARAM keys = 0);
void PostClick(HWND window, int x, int y); // move, down, up at one point

// A copy of screen pixels, 0xRRGGBB per pixel.
struct Pixels {
    int width = 0, height = 0;
    std::vector<uint32_t> data;
    uint32_t At(int x, int y) const { return data[static_cast<size_t>(y) * width + x]; }
};
Pixels CaptureScreen(const RECT& screenRect);
Pixels CaptureClient(HWND window, int width, int height); // client area from the screen
bool SavePng(const Pixels& pixels, const std::wstring& path);

// Channel distance between two colours (max of |dr|, |dg|, |db|).
int ColorDistance(uint32_t a, uint32_t b);

// Pumps the calling thread's messages for the time.
void PumpMessages(DWORD ms);

} // namespace test
