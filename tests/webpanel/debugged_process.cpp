#include "debugged_process.h"

#include <map>

#include "base/handles.h"
#include "support/test_support.h"

namespace webtest {

namespace {

// This process's environment with the extra entries, as a sorted Unicode block.
std::wstring EnvironmentBlock(const std::vector<std::wstring>& extraEnv) {
    std::map<std::wstring, std::wstring> entries; // upper-cased name -> "NAME=value"
    auto add = [&](const std::wstring& entry) {
        size_t equals = entry.find(L'=', 1);
        if (equals == std::wstring::npos) return;
        std::wstring key = entry.substr(0, equals);
        for (wchar_t& c : key) c = towupper(c);
        entries[key] = entry;
    };
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1) add(p);
        FreeEnvironmentStringsW(block);
    }
    for (const std::wstring& entry : extraEnv) add(entry);
    std::wstring result;
    for (const auto& [key, entry] : entries) {
        result += entry;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    size_t units = info.nDebugStringLength;
    if (units == 0 || units > 65536) return {};
    if (info.fUnicode) {
        std::wstring text(units, L'\0');
        SIZE_T read = 0;
        if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(),
                               units * sizeof(wchar_t), &read))
            return {};
        text.resize(wcsnlen(text.c_str(), read / sizeof(wchar_t)));
        return test::Narrow(text);
    }
    std::string text(units, '\0');
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &read)) return {};
    text.resize(strnlen(text.c_str(), read));
    return text;
}

} // namespace

bool DebuggedProcess::Start(const std::wstring& exe, const std::wstring& commandLine,
                            const std::wstring& cwd, const std::vector<std::wstring>& extraEnv) {
    loop_ = std::thread(&DebuggedProcess::DebugLoop, this, exe, commandLine, cwd,
                        EnvironmentBlock(extraEnv));
    test::WaitFor([&] { return started_.load() != 0; }, 20000);
    return started_.load() == 1;
}

// Debug events come only to the thread that created the process, so the child is started
// here and this loop runs until it has ended.
void DebuggedProcess::DebugLoop(std::wstring exe, std::wstring commandLine, std::wstring cwd,
                                std::wstring environment) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                        cwd.c_str(), &startup, &info)) {
        started_.store(-1);
        return;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    pid_.store(info.dwProcessId);
    started_.store(1);

    const DWORD deadline = GetTickCount() + 300000; // a last bound beside the test's own
    bool terminated = false;
    while (!exited_.load()) {
        if (!terminated && (stop_.load() || GetTickCount() > deadline)) {
            TerminateProcess(process.Get(), 1);
            terminated = true;
        }
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 100)) continue;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: { // the image file handles are the debugger's to close
            KernelHandle image(event.u.CreateProcessInfo.hFile);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT: {
            KernelHandle image(event.u.LoadDll.hFile);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            // The loader's initial breakpoint is ours; everything else is the child's own.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            std::string text = ReadDebugString(process.Get(), event.u.DebugString);
            std::lock_guard<std::mutex> lock(mutex_);
            output_.push_back(text);
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            exitCode_.store(event.u.ExitProcess.dwExitCode);
            exited_.store(true);
            break;
        default: break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

std::vector<std::string> DebuggedProcess::Output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

bool DebuggedProcess::WaitExit(DWORD timeoutMs, DWORD* exitCode) {
    bool done = test::WaitFor([&] { return exited_.load(); }, timeoutMs);
    if (done && exitCode) *exitCode = exitCode_.load();
    return done;
}

DebuggedProcess::~DebuggedProcess() {
    stop_.store(true);
    if (loop_.joinable()) loop_.join();
}

} // namespace webtest
