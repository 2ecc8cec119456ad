// The run log for support: "Log\run.log" holds, in plain UTF-8 text, what each update run did
// and why each file that failed did (its path, the step, the Windows error or HTTP status), so
// that "Error: fallo la descarga" can be explained after the fact. Bounded: at a run's start a
// log past kRunLogMaxBytes becomes "Log\run.log.1" (the one before it goes), and a run writes
// at most kRunLogMaxLines lines. The window shows none of it. Failing to write it changes
// nothing of the run.
#pragma once

#include <cstdint>
#include <string>

constexpr uint64_t kRunLogMaxBytes = 256 << 10;
constexpr int kRunLogMaxLines = 400;

// The log's file and its one older generation.
std::wstring RunLogPath();
std::wstring OlderRunLogPath();

// A run begins: rotates the log when it is full and writes the run's first line.
void BeginRunLog(const std::wstring& mode, const std::wstring& manifestUrl);
// One line of the current run, stamped with the time; safe from any thread.
void RunLogLine(const std::wstring& text);
// A file the run could not bring in line: its manifest path, the step that failed
// ("download", "check", "place", "refused"), and the error: a Windows error code, an HTTP status.
void RunLogFileFailure(const std::wstring& path, const wchar_t* step, const std::wstring& why);
// The run's end, with the status line it ended on.
void EndRunLog(const std::wstring& status);
