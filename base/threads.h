// Threads of the launcher: the detached background work the window starts, and the way the
// process stops it at exit.
#pragma once

#include <windows.h>

#include <functional>
#include <thread>

// Starts the work on a detached thread. False when the system could not start a thread.
bool StartBackgroundThread(std::function<void()> work);

// Starts the work on thread, which the caller joins. False when the system could not start a
// thread; thread is then left as it was.
bool StartThread(std::thread& thread, std::function<void()> work);

// Asks all background work to stop (no run starts or goes on after this) and waits up to
// timeoutMs for every thread StartBackgroundThread started to end. True when none is left.
bool StopBackgroundWork(DWORD timeoutMs);
