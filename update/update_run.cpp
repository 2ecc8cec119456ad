// One update run: fetch the manifest, verify every listed file on one pool of threads, fetch
// what differs on a second pool, then say how it went. The state of each phase lives here, in
// the run's own frame, and outlives every worker of that phase.
#include "update/update_run.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <thread>
#include <vector>

#include "base/threads.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "net/http.h"
#include "net/release_head.h"
#include "update/net/pieces.h"
#include "update/net/split_download.h"
#include "update/game_folder_rights.h"
#include "update/game_folders.h"
#include "update/kept_manifest.h"
#include "update/manifest.h"
#include "update/net/bundle_fetch.h"
#include "update/release_manifest.h"
#include "update/retired_files.h"
#include "update/run_log.h"
#include "update/seeds.h"
#include "update/self_update.h"
#include "net/signature.h"
#include "update/verified_record.h"
#include "update/workers.h"

namespace {

struct VerifyPhase {
    int32_t entryCount = 0;
    std::vector<Verdict> verdicts;
    std::vector<std::string> localMd5s;
    std::atomic<int32_t> nextIndex{0};
    std::atomic<int32_t> verifiedCount{0};
};

struct DownloadPhase {
    std::vector<ManifestEntry> fileList;
    std::vector<Verdict> verdicts;
    std::vector<std::string> localMd5s;
    int32_t fileCount = 0;
    uint64_t bytesTotal = 0;
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<int32_t> doneCount{0};
    std::atomic<int32_t> nextIndex{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    std::wstring errorText;
};

// Connections to the update server at most: every download thread holds one. Enough to fill a
// link whose flows are limited to a tenth of it, and as many as a browser or a download
// manager opens, which servers allow a client.
constexpr int kMaxConnectionsPerHost = 16;

// Files to split first, each kind in manifest order: their pieces then keep the link busy
// while the small files go by, and no big file is left alone at the end.
void SplitFilesFirst(std::vector<ManifestEntry>& files, std::vector<Verdict>& verdicts,
                     std::vector<std::string>& localMd5s) {
    std::vector<size_t> order(files.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_partition(order.begin(), order.end(),
                          [&](size_t i) { return SplitsEntry(files[i]); });
    std::vector<ManifestEntry> sortedFiles;
    std::vector<Verdict> sortedVerdicts;
    std::vector<std::string> sortedMd5s;
    for (size_t i : order) {
        sortedFiles.push_back(std::move(files[i]));
        sortedVerdicts.push_back(verdicts[i]);
        sortedMd5s.push_back(std::move(localMd5s[i]));
    }
    files = std::move(sortedFiles);
    verdicts = std::move(sortedVerdicts);
    localMd5s = std::move(sortedMd5s);
}

// Starts count threads, each with its own copy of the context, and joins all that started.
// False when not a single thread could be started.
template <typename Context>
bool RunPool(int count, void (*worker)(Context), const Context& context) {
    std::vector<std::thread> threads(count);
    int started = 0;
    // The ones that started take every entry between them when the system refuses more.
    while (started < count && StartThread(threads[started], [=] { worker(context); }))
        ++started;
    for (int i = 0; i < started; ++i)
        threads[i].join();
    return started > 0;
}

void EndRun(const std::wstring& status) {
    LauncherState& s = State();
    EndRunLog(status);
    SetStatusText(status);
    // The button first: whoever sees the run over sees it on offer.
    s.actionButtonVisible.store(true);
    s.updateRunning.store(false);
}

void EndRunSuccessfully(bool fullRun) {
    LauncherState& s = State();
    s.progressBytesPercent.store(100);
    s.progressFilesPercent.store(100);
    EndRunLog(L"Archivos OK!");
    SetStatusText(L"Archivos OK!");
    s.actionButtonVisible.store(true);
    if (fullRun) MarkInstalled();
    if (s.launcherReplaced.load() && !fullRun) {
        SetStatusText(L"Launcher actualizado, reiniciando...");
        s.updateRunning.store(false);
        if (RestartLauncher() == RestartResult::Refused)
            SetStatusText(L"Error: el launcher se actualiza sin fin");
        return;
    }
    s.updateRunning.store(false);
}

// The document's name: what follows the address's last "/".
std::string DocumentName(const std::wstring& url) {
    const size_t slash = url.rfind(L'/');
    std::string name;
    for (size_t i = slash == std::wstring::npos ? 0 : slash + 1; i < url.size(); ++i)
        name += static_cast<char>(url[i] < 0x80 ? url[i] : '?');
    return name;
}

// Why a signed build refuses the manifest, as the status line says it; "" when accepted.
std::wstring ManifestRefusal(const std::string& body, const std::wstring& manifestUrl) {
    switch (CheckFetchedDocument(body, DocumentName(manifestUrl))) {
    case DocumentCheck::Accepted:
        return {};
    case DocumentCheck::BadSignature:
        return L"Error: firma del manifiesto invalida";
    case DocumentCheck::Expired:
        return L"Error: manifiesto caducado";
    case DocumentCheck::Replayed:
        return L"Error: manifiesto obsoleto";
    }
    return L"Error: firma del manifiesto invalida";
}

void LogRefusals(const ManifestRefusals& refusals) {
    if (refusals.sameFileTwice)
        RunLogLine(L"manifest refused: rows name one file twice (by letter case, a folder of "
                   L"another row, or another row's .tmp)");
    for (const std::wstring& path : refusals.paths)
        RunLogFileFailure(path, L"refused", L"not a path the launcher takes as written");
    if (refusals.rows > static_cast<int32_t>(refusals.paths.size()))
        RunLogLine(std::to_wstring(refusals.rows - refusals.paths.size()) + L" more rows refused");
}

const wchar_t kCancelled[] = L"Actualizacion cancelada.";
const wchar_t kNoWorkers[] = L"Error: no se pudo iniciar la tarea";
const wchar_t kInvalidManifest[] = L"Error: manifiesto invalido";
const wchar_t kDownloadFailed[] = L"Error: fallo la descarga";

// Runs the verification pool; the entries that are missing or differ come back in
// manifest order, with their verdicts and the MD5s found on disk that pick deltas, and every
// entry's verdict in all. Entries the record vouches for (remembered) count as verified
// without being opened. False when no worker could be started.
bool VerifyEntries(const RememberedFiles& remembered, std::vector<ManifestEntry>& fileList,
                   std::vector<Verdict>& verdicts, std::vector<std::string>& localMd5s,
                   std::vector<Verdict>& all) {
    LauncherState& s = State();
    VerifyPhase phase;
    phase.entryCount = static_cast<int32_t>(s.manifestEntries.size());
    phase.verdicts.assign(std::max<size_t>(1, s.manifestEntries.size()), Verdict::Fine);
    phase.localMd5s.resize(phase.verdicts.size());
    int workers = VerifyWorkerCount(std::thread::hardware_concurrency(), phase.entryCount);

    s.progressBytesPercent.store(0);
    VerifyContext context = {&phase.nextIndex,
                             &phase.entryCount,
                             phase.verdicts.data(),
                             &phase.verifiedCount,
                             remembered.current.empty() ? nullptr : remembered.current.data(),
                             phase.localMd5s.data()};
    if (!RunPool(workers, VerifyWorker, context)) return false;

    all = phase.verdicts;
    for (int32_t i = 0; i < phase.entryCount; ++i) {
        if (phase.verdicts[i] == Verdict::Fine) continue;
        fileList.push_back(s.manifestEntries[i]);
        verdicts.push_back(phase.verdicts[i]);
        localMd5s.push_back(std::move(phase.localMd5s[i]));
    }
    return true;
}

// Leaves in the list only the files whose write stays in the game folder: every folder on the
// way a real folder of it (held in folders from now on), the file and its ".tmp" plain files
// or nothing. The others are logged; false when there were any.
bool KeepWritable(std::vector<ManifestEntry>& files, std::vector<Verdict>& verdicts,
                  HeldFolders& folders) {
    std::vector<std::wstring> locals;
    locals.reserve(files.size());
    FolderNames names;
    for (const ManifestEntry& file : files) {
        locals.push_back(LocalPathForEntry(file));
        PlanLook(names, locals.back());
        PlanLook(names, locals.back() + L".tmp");
    }
    // A name its folder's listing lacks is nothing there: no link, no folder.
    const auto plainOrNothing = [&](const std::wstring& path) {
        return !MayBeThere(names, path) || IsPlainFileOrNothing(path, folders);
    };
    size_t kept = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::wstring& local = locals[i];
        if (!HoldFoldersOnTheWay(local, folders)) {
            RunLogFileFailure(files[i].path, L"place",
                              L"a folder on the way is a link or no folder (Windows error " +
                                  std::to_wstring(GetLastError()) + L")");
            continue;
        }
        if (!plainOrNothing(local) || !plainOrNothing(local + L".tmp")) {
            RunLogFileFailure(files[i].path, L"place",
                              L"the file or its .tmp is a link or a folder");
            continue;
        }
        if (kept != i) {
            files[kept] = std::move(files[i]);
            verdicts[kept] = verdicts[i];
        }
        ++kept;
    }
    const bool all = kept == files.size();
    files.resize(kept);
    verdicts.resize(kept);
    return all;
}

// Runs the download pool over the file list. Returns the status to end the run with, or ""
// when every file was placed (or answered 404).
std::wstring DownloadFiles(std::vector<ManifestEntry> fileList, std::vector<Verdict> verdicts,
                           std::vector<std::string> localMd5s, const SeedCatalog* seeds) {
    DownloadPhase phase;
    // Held until every worker has ended: no folder on the way of a write can become a link.
    HeldFolders folders;
    const bool allWritable = KeepWritable(fileList, verdicts, folders);
    phase.fileList = std::move(fileList);
    phase.verdicts = std::move(verdicts);
    phase.localMd5s = std::move(localMd5s);
    phase.fileCount = static_cast<int32_t>(phase.fileList.size());
    bool splits = false;
    for (const ManifestEntry& e : phase.fileList) {
        phase.bytesTotal += static_cast<uint64_t>(std::max<int64_t>(0, e.size));
        splits = splits || SplitsEntry(e);
    }
    int workers = DownloadWorkerCount(std::thread::hardware_concurrency(), phase.fileCount);
    // The threads wait on the network, not on the processor, when a file is split.
    if (splits) {
        workers = kMaxConnectionsPerHost;
        SplitFilesFirst(phase.fileList, phase.verdicts, phase.localMd5s);
    }
    // Small files travel in runs of their bundles, many to a request; their threads, too,
    // wait on the network.
    std::vector<uint8_t> bundled(phase.fileList.size(), 0);
    for (size_t i = 0; i < bundled.size(); ++i)
        bundled[i] = !phase.fileList[i].bundle.empty() && phase.verdicts[i] != Verdict::TmpReady;
    BundleWork bundles(phase.fileList, bundled, kMaxConnectionsPerHost);
    if (!bundles.Empty())
        workers = std::max(workers, std::min<int>(kMaxConnectionsPerHost, phase.fileCount));
    // Bundle runs bring many small files to a round trip: a quarter of the pool keeps them going.
    PieceBoard board(workers, bundles.Empty() ? -1 : workers / 4);

    DownloadContext context = {&phase.failed,
                               &phase.nextIndex,
                               &phase.fileCount,
                               &phase.fileList,
                               &phase.doneCount,
                               &phase.bytesDone,
                               &phase.bytesTotal,
                               &phase.errorLock,
                               &phase.errorText,
                               phase.verdicts.data(),
                               &board};
    context.seeds = seeds;
    context.localMd5s = phase.localMd5s.data();
    if (!bundles.Empty()) context.bundles = &bundles;
    if (!RunPool(workers, DownloadWorker, context)) return kNoWorkers;

    if (phase.failed.load() || !allWritable) {
        std::wstring error;
        {
            std::lock_guard<std::mutex> lock(phase.errorLock);
            error = phase.errorText;
        }
        return error.empty() ? kDownloadFailed : error;
    }
    if (State().cancelRequested.load()) return kCancelled;
    return {};
}

} // namespace

int VerifyWorkerCount(unsigned processors, int32_t entryCount) {
    int count =
        processors == 0 ? 8 : std::clamp(2 * static_cast<int>(std::min(processors, 64u)), 4, 32);
    return std::max(1, std::min(count, entryCount));
}

int DownloadWorkerCount(unsigned processors, int32_t fileCount) {
    int count =
        processors == 0 ? 12 : std::clamp(2 * static_cast<int>(std::min(processors, 64u)), 8, 16);
    return std::max(1, std::min(count, fileCount));
}

void RunUpdateWithManifestUrl(const std::wstring& manifestUrl, const wchar_t* mode) {
    LauncherState& s = State();
    if (s.updateRunning.exchange(true)) return;

    s.cancelRequested.store(false);
    s.severalRanges.store(0);
    // A run that starts while the process is ending stops at once; exiting is set before
    // cancelRequested, so one of the two stores is seen here.
    if (s.exiting.load()) s.cancelRequested.store(true);
    s.progressBytesPercent.store(0);
    s.progressFilesPercent.store(0);
    InvalidateMainWindow();
    const bool fullRun = std::wcscmp(mode, L"FULL") == 0;
    BeginRunLog(mode, manifestUrl);
    // Before anything is written in the folder: who else may change it.
    if (const std::wstring refusal = GameFolderRefusal(); !refusal.empty()) return EndRun(refusal);

    SetStatusText(L"Descargando manifiesto (" + std::wstring(mode) + L")...");
    // A full run hashes every file, as a check of the installation must; only a light run
    // trusts the record of remembered files, read with its folders' listing meanwhile.
    std::shared_ptr<RememberedHeadStart> early = fullRun ? nullptr : StartRemembering();
    const std::string name = DocumentName(manifestUrl);
    std::string body;
    std::optional<KeptManifests> kept;
    if (ReleaseHeadEnabled()) {
        // The head is asked for while the kept manifest is read: when the head names it, it
        // is the whole of the fetch.
        std::thread head;
        const bool asking = StartThread(head, [] { CurrentRelease(); });
        kept = LoadKeptManifests(name);
        if (asking) head.join();
        const std::wstring refusal = FetchReleaseManifest(fullRun, kept->sameBody, body);
        if (!refusal.empty()) return EndRun(refusal);
    } else {
        body = HttpGetToString(AddNoCacheParam(manifestUrl));
        if (body.empty()) return EndRun(L"Error: no se pudo descargar el manifiesto");
        // Refused before it is read, so nothing of it reaches the game folder.
        const std::wstring refusal = ManifestRefusal(body, manifestUrl);
        if (!refusal.empty()) return EndRun(refusal);
    }
    ManifestRefusals refusals;
    const bool parsed = ParseManifest(body, &refusals);
    LogRefusals(refusals);
    if (!parsed) return EndRun(kInvalidManifest);

    SetStatusText(L"Verificando archivos (" + std::wstring(mode) + L")...");
    const RememberedFiles remembered = PrepareRemembered(s.manifestEntries, std::move(early));
    std::vector<ManifestEntry> fileList;
    std::vector<Verdict> verdicts, all;
    std::vector<std::string> localMd5s;
    if (!VerifyEntries(remembered, fileList, verdicts, localMd5s, all)) return EndRun(kNoWorkers);
    if (s.cancelRequested.load()) return EndRun(kCancelled);

    // What the last good runs kept: the seeds of this run's files, and for the retired files
    // the previous release of this same document.
    if (!kept) kept = LoadKeptManifests(name);
    std::wstring failure;
    RunLogLine(std::to_wstring(s.manifestEntries.size()) + L" files listed, " +
               std::to_wstring(fileList.size()) + L" to fetch");
    if (!fileList.empty()) {
        const SeedCatalog seeds = BuildSeedCatalog(s.manifestEntries, all, kept->all, kept->others);
        failure =
            DownloadFiles(std::move(fileList), std::move(verdicts), std::move(localMd5s), &seeds);
    }
    // What verification proved is remembered whatever became of the downloads. A placed file
    // is not: nothing holds it between its flush and the look at its identity, so the next
    // run proves it again and remembers it then.
    SaveRemembered(remembered, s.manifestEntries, all);
    // A row the reader refused names a file this run did not write: the game is not whole,
    // and what the release dropped cannot be told from what it named the way it may not.
    if (failure.empty() && refusals.rows > 0) failure = kInvalidManifest;
    if (!failure.empty()) return EndRun(failure);
    RemoveRetiredFiles(*kept, s.manifestEntries, body, fullRun, manifestUrl);
    // Unchanged since the last good run: already kept, and a write spared.
    if (body != kept->sameBody) SaveKeptManifest(name, body);
    EndRunSuccessfully(fullRun);
}
