// The two kinds of worker of an update run. Verification decides per entry whether the file
// on disk matches its manifest hash; download fetches each differing file into "<path>.tmp",
// checks it and moves it into place, with a growing pause between attempts.
#include "update/workers.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>

#include "app/build_config.h"
#include "app/launcher_state.h"
#include "app/paths.h"
#include "update/http.h"
#include "update/md5.h"
#include "update/patch.h"
#include "update/self_update.h"

namespace {

constexpr DWORD kFirstPauseMs = 400;
constexpr DWORD kPauseStepMs = 400;
constexpr DWORD kLastPauseMs = 2000;

bool FileMatchesHash(const std::wstring& path, const std::string& hash) {
    std::string digest = ComputeFileMd5(path);
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !digest.empty() && digest == hash;
}

bool Stopping(const DownloadContext& c) {
    return State().cancelRequested.load() || c.failed->load();
}

// Puts the verified download in place. A file that cannot be moved there (locked by another
// program, access denied) is not in place, so the attempt has failed.
bool PlaceFile(const std::wstring& localPath, const std::wstring& tmpPath) {
    std::wstring folder = ParentFolderOf(localPath);
    if (!folder.empty()) SHCreateDirectoryExW(nullptr, ResolveFullPath(folder).c_str(), nullptr);

    if (IsLauncherExecutable(localPath)) {
        if (!SwapLauncherExecutable(localPath, tmpPath)) return false;
        State().launcherReplaced.store(true);
        return true;
    }
    return MoveFileExW(tmpPath.c_str(), localPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

void CountEntry(const DownloadContext& c, const ManifestEntry& entry, bool withStatus) {
    LauncherState& s = State();
    int64_t done = c.doneCount->fetch_add(1) + 1;
    // A negative size in a manifest is nonsense; it must not wrap the byte progress around.
    uint64_t size = static_cast<uint64_t>(std::max<int64_t>(0, entry.size));
    uint64_t bytes = c.bytesDone->fetch_add(size) + size;
    uint64_t total = *c.bytesTotal;
    s.progressBytesPercent.store(
        total == 0 ? 100 : static_cast<int32_t>(std::min<uint64_t>(100, bytes * 100 / total)));
    int64_t files = *c.fileCount;
    int32_t percent = files > 0 ? static_cast<int32_t>(done * 100 / files) : 0;
    s.progressFilesPercent.store(percent);
    if (withStatus && (done % 16 == 0 || done == files)) {
        SetStatusText(L"Descargando " + std::to_wstring(percent) + L"% (" + std::to_wstring(done) +
                      L" / " + std::to_wstring(files) + L")");
        InvalidateMainWindow();
    }
}

// One attempt: leaves the entry's checked content in tmpPath, or returns false. A big file is
// patched or continued where that works; the whole download is the way back from anything
// else.
bool FetchToTmp(const ManifestEntry& entry, const std::wstring& url, const std::wstring& localPath,
                const std::wstring& tmpPath, int32_t* status) {
    switch (PatchToTmp(entry, url, localPath, tmpPath, status)) {
    case PatchResult::Done:
        return true;
    case PatchResult::Failed:
        return false;
    case PatchResult::WholeDownload:
        break;
    }
    if (State().cancelRequested.load()) return false;
    return DownloadWholeToTmp(entry, url, tmpPath, status);
}

enum class Outcome { Placed, NotOnServer, Stopped, GaveUp };

Outcome FetchEntry(const DownloadContext& c, const ManifestEntry& entry) {
    // One address for every attempt of this entry, with the same "nocache=" value.
    const std::wstring url =
        AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/update/" + entry.path);
    const std::wstring localPath = LocalPathForEntry(entry);
    const std::wstring tmpPath = localPath + L".tmp";

    // At most five attempts: pauses of 400, 800, 1200, 1600 and 2000 ms follow the failed ones.
    for (DWORD pause = kFirstPauseMs;;) {
        if (Stopping(c)) return Outcome::Stopped;
        int32_t status = 0;
        if (FetchToTmp(entry, url, localPath, tmpPath, &status)) {
            if (PlaceFile(localPath, tmpPath)) return Outcome::Placed;
            DeleteFileW(tmpPath.c_str());
        } else if (status == 404) {
            DeleteFileW(tmpPath.c_str());
            return Outcome::NotOnServer;
        }
        Sleep(pause);
        pause += kPauseStepMs;
        if (pause > kLastPauseMs) return Outcome::GaveUp;
    }
}

void GiveUp(const DownloadContext& c) {
    {
        std::lock_guard<std::mutex> lock(*c.errorLock);
        if (c.errorText->empty()) *c.errorText = L"Error: fallo la descarga";
    }
    c.failed->store(true);
}

} // namespace

void VerifyWorker(VerifyContext c) {
    LauncherState& s = State();
    for (;;) {
        if (s.cancelRequested.load()) return;
        int32_t i = c.nextIndex->fetch_add(1);
        if (i >= *c.entryCount) return;

        const ManifestEntry& entry = s.manifestEntries[i];
        std::wstring localPath = LocalPathForEntry(entry);
        c.needsDownload[i] =
            FileExists(localPath) && FileMatchesHash(localPath, entry.hash) ? 0 : 1;

        int64_t verified = c.verifiedCount->fetch_add(1) + 1;
        if (verified % 256 == 0 || verified == *c.entryCount) {
            int32_t percent =
                *c.entryCount > 0 ? static_cast<int32_t>(verified * 100 / *c.entryCount) : 0;
            s.progressFilesPercent.store(percent);
            SetStatusText(L"Verificando " + std::to_wstring(percent) + L"%...");
            InvalidateMainWindow();
        }
    }
}

void DownloadWorker(DownloadContext c) {
    for (;;) {
        if (Stopping(c)) return;
        int32_t i = c.nextIndex->fetch_add(1);
        if (i >= *c.fileCount) return;

        const ManifestEntry& entry = (*c.fileList)[i];
        switch (FetchEntry(c, entry)) {
        case Outcome::Placed:
            CountEntry(c, entry, true);
            break;
        case Outcome::NotOnServer:
            CountEntry(c, entry, false);
            break;
        case Outcome::Stopped:
            return;
        case Outcome::GaveUp:
            GiveUp(c);
            return;
        }
    }
}
