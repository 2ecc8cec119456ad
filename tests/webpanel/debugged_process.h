// A child process started with this test as its debugger, so that the lines it writes with
// OutputDebugString are read exactly as a debugger receives them.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace webtest {

class DebuggedProcess {
public:
    DebuggedProcess() = default;
    ~DebuggedProcess(); // ends the child if it still runs
    DebuggedProcess(const DebuggedProcess&) = delete;
    DebuggedProcess& operator=(const DebuggedProcess&) = delete;

    // extraEnv holds "NAME=value" entries added to (or replacing in) this process's environment.
    bool Start(const std::wstring& exe, const std::wstring& commandLine, const std::wstring& cwd,
               const std::vector<std::wstring>& extraEnv);
    DWORD Pid() const { return pid_; }
    // Every debug-output string so far, as written (line feeds included), UTF-8.
    std::vector<std::string> Output() const;
    bool WaitExit(DWORD timeoutMs, DWORD* exitCode = nullptr);

private:
    void DebugLoop(std::wstring exe, std::wstring commandLine, std::wstring cwd,
                   std::wstring environment);

    std::thread loop_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> exited_{false};
    std::atomic<DWORD> exitCode_{0};
    std::atomic<DWORD> pid_{0};
    std::atomic<int> started_{0}; // 1 running, -1 could not start
    mutable std::mutex mutex_;
    std::vector<std::string> output_;
};

} // namespace webtest
