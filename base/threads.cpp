#include "base/threads.h"

#include <atomic>
#include <system_error>

#include "base/launcher_state.h"

namespace {

// Threads started here whose work has not returned yet. An update run joins its own pools
// before it returns, so zero means no worker of any run is left either.
std::atomic<int> gActiveThreads{0};

} // namespace

bool StartThread(std::thread& thread, std::function<void()> work) {
    try {
        thread = std::thread(std::move(work));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool StartBackgroundThread(std::function<void()> work) {
    ++gActiveThreads;
    std::thread thread;
    if (!StartThread(thread, [work = std::move(work)] {
            work();
            --gActiveThreads;
        })) {
        --gActiveThreads;
        return false;
    }
    thread.detach();
    return true;
}

bool StopBackgroundWork(DWORD timeoutMs) {
    LauncherState& s = State();
    // In this order: a run that starts after this sees exiting and cancels itself.
    s.exiting.store(true);
    s.cancelRequested.store(true);
    const ULONGLONG start = GetTickCount64();
    while (gActiveThreads.load() > 0) {
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}
