// Whole update runs in-process against the HTTPS test server: the status texts in order, the
// progress values, retries and their pauses, the 404 rule, and what a run may never claim.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "net/http.h"
#include "update/digest.h"
#include "update/file_at.h"
#include "update/net/whole_file.h"
#include "update/update_run.h"
#include "update/workers.h"
#include "updaterun/update_scenario.h"

using test::ProgressSampler;
using test::StatusRecorder;
using test::UpdateScenario;

namespace {

std::string Content(int i, size_t size = 2000) {
    return test::RandomBytes(size, 1000u + static_cast<uint32_t>(i));
}

std::string Name(int i) {
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "data/file%03d.bin", i);
    return buffer;
}

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        test::ResetRunState();
        DeleteFileW(InstDonePath().c_str());
    }
    void TearDown() override { test::TestServer::Reset(); }
};

constexpr uint64_t kMiB = uint64_t{1} << 20;

// The content of a sparse file: zeros but for random blocks of a MiB at the given offsets.
std::string SparseBlock(uint64_t offset) {
    return test::RandomBytes(kMiB, static_cast<uint32_t>(offset / kMiB) + 7u);
}

// Writes the first length bytes of that content to path; the zeros take no room on disk.
bool WriteSparse(const std::wstring& path, uint64_t length, const std::vector<uint64_t>& blocks) {
    if (!test::WriteFileBytes(path, "")) return false;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    bool ok = file.Valid();
    for (const uint64_t at : blocks) {
        const std::string block = SparseBlock(at);
        if (at < length) ok = ok && WriteAt(file.Get(), at, block.data(), block.size());
    }
    return ok && SetFileLength(file.Get(), length);
}

std::string SparseMd5(uint64_t length, const std::vector<uint64_t>& blocks) {
    StreamDigest digest;
    const std::string zeros(kMiB, '\0');
    for (uint64_t at = 0; at < length; at += kMiB) {
        const bool data = std::find(blocks.begin(), blocks.end(), at) != blocks.end();
        digest.Update(data ? SparseBlock(at).data() : zeros.data(), kMiB);
    }
    return digest.Md5Hex();
}

// Removes repeats so a sampled sequence reads as the values it went through.
std::vector<int> Changes(const std::vector<int>& values) {
    std::vector<int> out;
    for (int v : values)
        if (out.empty() || out.back() != v) out.push_back(v);
    return out;
}

TEST_F(UpdateRun, HundredEntriesThreeDifferent) {
    UpdateScenario game;
    std::string faults = "{";
    for (int i = 0; i < 100; ++i) {
        bool differs = i == 10 || i == 50 || i == 90;
        game.AddFile(Name(i), Content(i), differs ? (i == 50 ? "none" : "old") : "same");
    }
    // Spaced answers make the three completions visible one by one.
    faults += "\"/update/" + game.Path(Name(50)) + "\": {\"delay_ms\": 700},";
    faults += "\"/update/" + game.Path(Name(90)) + "\": {\"delay_ms\": 1400}}";
    game.Publish("manifest_light.json", faults);
    // A listed file marked read-only is still the game's to replace.
    ASSERT_TRUE(SetFileAttributesW(game.LocalPath(Name(10)).c_str(), FILE_ATTRIBUTE_READONLY));

    StatusRecorder statuses;
    ProgressSampler progress;
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    Sleep(20);

    std::vector<std::wstring> expected = {
        L"Descargando manifiesto (LIGHT)...", L"Verificando archivos (LIGHT)...",
        L"Verificando 100%...", L"Descargando 100% (3 / 3)", L"Archivos OK!"};
    EXPECT_EQ(statuses.Texts(), expected);
    EXPECT_EQ(Changes(progress.Files()), (std::vector<int>{0, 100, 33, 66, 100}));
    std::vector<int> bytes = Changes(progress.Bytes());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.front(), 0);
    EXPECT_EQ(bytes.back(), 100);
    for (int i : {10, 50, 90})
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath(Name(i))), Content(i));
    EXPECT_FALSE(test::PathExists(game.LocalPath(Name(50)) + L".tmp"));
    EXPECT_FALSE(test::PathExists(InstDonePath())); // a light run never marks the install
    EXPECT_TRUE(State().actionButtonVisible.load());
    EXPECT_FALSE(State().updateRunning.load());
}

TEST_F(UpdateRun, VerificationStatusEvery256thAndAtTheLast) {
    UpdateScenario game;
    for (int i = 0; i < 300; ++i)
        game.AddFile(Name(i), Content(i, 64), "same");
    game.Publish();

    StatusRecorder statuses;
    ProgressSampler progress;
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    Sleep(20);
    std::vector<std::wstring> expected = {L"Descargando manifiesto (LIGHT)...",
                                          L"Verificando archivos (LIGHT)...", L"Verificando 85%...",
                                          L"Verificando 100%...", L"Archivos OK!"};
    EXPECT_EQ(statuses.Texts(), expected);
    EXPECT_EQ(Changes(progress.Files()), (std::vector<int>{0, 85, 100}));
    EXPECT_EQ(State().progressBytesPercent.load(), 100); // no download phase at all
}

TEST_F(UpdateRun, DownloadStatusEvery16thAndAtTheLast) {
    UpdateScenario game;
    for (int i = 0; i < 20; ++i)
        game.AddFile(Name(i), Content(i, 500));
    game.Publish();

    StatusRecorder statuses;
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    std::vector<std::wstring> texts = statuses.Texts();
    std::vector<std::wstring> downloads;
    for (const std::wstring& t : texts)
        if (t.rfind(L"Descargando ", 0) == 0 && t.find(L"manifiesto") == std::wstring::npos)
            downloads.push_back(t);
    EXPECT_EQ(downloads, (std::vector<std::wstring>{L"Descargando 80% (16 / 20)",
                                                    L"Descargando 100% (20 / 20)"}));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath(Name(i))), Content(i, 500)) << i;
}

TEST_F(UpdateRun, HashesInCapitalsAndSizesThatDifferStillMatch) {
    UpdateScenario game;
    std::string content = Content(1);
    test::WriteFileBytes(game.LocalPath("upper.bin"), content);
    std::string upper = test::Md5Hex(content);
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    game.AddEntryText("{\"hash\": \"" + upper + "\", \"path\": \"" + game.Path("upper.bin") +
                      "\", \"size\": 1, \"version\": 3}");
    game.Publish();

    size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(State().progressFilesPercent.load(), 100);
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        EXPECT_EQ(r.path.find("/update/"), std::string::npos) << r.path;
}

TEST_F(UpdateRun, NotFoundIsCountedAndTheRunStillSucceeds) {
    UpdateScenario game;
    game.AddFile("present.bin", Content(1));
    game.AddFile("gone.bin", Content(2), "old");
    game.Publish("manifest_light.json",
                 "{\"/update/" + game.Path("gone.bin") + "\": {\"status\": 404}}");

    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("present.bin")), Content(1));
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("gone.bin")), Content(2) + "-old"); // untouched
    EXPECT_EQ(State().progressFilesPercent.load(), 100);
}

TEST_F(UpdateRun, ServerErrorGivesUpAfterFiveAttemptsAndSixSecondsOfPauses) {
    UpdateScenario game;
    game.AddFile("ok.bin", Content(1));
    game.AddFile("broken.bin", Content(2));
    std::string brokenPath = "/update/" + game.Path("broken.bin");
    game.Publish("manifest_light.json", "{\"" + brokenPath + "\": {\"status\": 500}, \"/update/" +
                                            game.Path("ok.bin") + "\": {\"delay_ms\": 0}}");

    size_t mark = test::TestServer::LogMark();
    ULONGLONG start = GetTickCount64();
    StatusRecorder statuses;
    EXPECT_EQ(test::RunLight(game), L"Error: fallo la descarga");
    ULONGLONG elapsed = GetTickCount64() - start;

    int attempts = 0;
    std::string nocache;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.rfind(brokenPath + "?", 0) != 0) continue;
        ++attempts;
        // Every attempt for one entry asks the same address.
        if (nocache.empty()) nocache = r.path;
        EXPECT_EQ(r.path, nocache);
    }
    EXPECT_EQ(attempts, 5);
    EXPECT_GE(elapsed, 6000u);
    EXPECT_FALSE(test::PathExists(game.LocalPath("broken.bin")));
    EXPECT_FALSE(test::PathExists(game.LocalPath("broken.bin") + L".tmp"));
    for (const std::wstring& t : statuses.Texts())
        EXPECT_NE(t, L"Archivos OK!");
    // The progress of the file that did complete stays on the bars.
    EXPECT_EQ(State().progressFilesPercent.load(), 50);
    EXPECT_FALSE(test::PathExists(InstDonePath()));
}

TEST_F(UpdateRun, WrongBodyIsThrownAwayAndFetchedAgain) {
    UpdateScenario game;
    game.AddFile("flaky.bin", Content(7));
    std::string path = "/update/" + game.Path("flaky.bin");
    game.Publish("manifest_light.json",
                 "{\"" + path + "\": {\"body\": \"not the file\", \"times\": 1}}");

    size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("flaky.bin")), Content(7));
    int requests = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        requests += r.path.rfind(path + "?", 0) == 0;
    EXPECT_EQ(requests, 2);
}

TEST_F(UpdateRun, ManifestFailuresEndWithTheirOwnTexts) {
    {
        UpdateScenario game;
        game.Publish("manifest_light.json", "{\"/manifest_light.json\": {\"status\": 404}}");
        EXPECT_EQ(test::RunLight(game), L"Error: no se pudo descargar el manifiesto");
    }
    {
        UpdateScenario game;
        game.AddEntryText("{\"path\": \"x.bin\", \"hash\": \"0123456789abcdef0123456789abcde\"}");
        game.Publish();
        EXPECT_EQ(test::RunLight(game), L"Error: manifiesto invalido");
    }
    {
        // A manifest that only names places outside the game folder is no manifest at all.
        UpdateScenario game;
        for (const char* path : {"../evil.dll", "C:/Windows/evil.dll", "/etc/evil", "a/../../b"})
            game.AddEntryText(std::string("{\"path\": \"") + path +
                              "\", \"hash\": \"0123456789abcdef0123456789abcdef\"}");
        game.Publish();
        EXPECT_EQ(test::RunLight(game), L"Error: manifiesto invalido");
    }
    EXPECT_EQ(State().progressFilesPercent.load(), 0);
    EXPECT_EQ(State().progressBytesPercent.load(), 0);
    EXPECT_TRUE(State().actionButtonVisible.load());
    EXPECT_FALSE(State().updateRunning.load());
}

TEST_F(UpdateRun, OnlyTheExactModeFullMarksTheInstall) {
    UpdateScenario game;
    game.AddFile("a.bin", Content(3), "same");
    game.Publish("manifest_full.json");

    RunUpdateWithManifestUrl(game.ManifestUrl("manifest_full.json"), L"full");
    EXPECT_EQ(CurrentStatusText(), L"Archivos OK!");
    EXPECT_FALSE(test::PathExists(InstDonePath()));

    RunUpdateWithManifestUrl(game.ManifestUrl("manifest_full.json"), L"FULL");
    EXPECT_EQ(CurrentStatusText(), L"Archivos OK!");
    EXPECT_TRUE(FileExists(InstDonePath()));
    DeleteFileW(InstDonePath().c_str());
}

TEST_F(UpdateRun, ASecondRunIsRefusedWithoutAnyChange) {
    UpdateScenario game;
    game.AddFile("a.bin", Content(4));
    game.Publish();
    State().updateRunning = true;
    SetStatusText(L"busy");
    State().progressFilesPercent = 42;
    size_t mark = test::TestServer::LogMark();

    RunUpdateWithManifestUrl(game.ManifestUrl(), L"LIGHT");
    EXPECT_EQ(CurrentStatusText(), L"busy");
    EXPECT_EQ(State().progressFilesPercent.load(), 42);
    EXPECT_TRUE(State().updateRunning.load());
    EXPECT_FALSE(State().actionButtonVisible.load());
    EXPECT_TRUE(test::TestServer::RequestsSince(mark).empty());
    State().updateRunning = false;
}

TEST_F(UpdateRun, AFileThatCannotBePutInPlaceIsNeverReportedDone) {
    UpdateScenario game;
    game.AddFile("locked.bin", Content(5), "old");
    game.Publish();
    // Another program holds the old copy open without sharing: it cannot be replaced.
    HANDLE holder = CreateFileW(game.LocalPath("locked.bin").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    StatusRecorder statuses;
    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Error: fallo la descarga");
    CloseHandle(holder);
    for (const std::wstring& t : statuses.Texts())
        EXPECT_NE(t, L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("locked.bin")), Content(5) + "-old");
    EXPECT_FALSE(test::PathExists(game.LocalPath("locked.bin") + L".tmp"));
    // Fetched once: the checked ".tmp" waits through the attempts for the holder to let go.
    int fetched = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        fetched += r.path.find("locked.bin") != std::string::npos;
    EXPECT_EQ(fetched, 1);
}

// A row the launcher refuses names a file it will not write: the others are still brought in
// line, but the run never says the game is whole. Among them the launcher's own executable
// under other spellings, which would otherwise be "checked" and its ".old" never cleaned.
TEST_F(UpdateRun, ARowTheLauncherRefusesIsNeverReportedDone) {
    const std::wstring exe = LauncherExePath();
    const std::string exeName = test::Narrow(exe.substr(exe.find_last_of(L'\\') + 1));
    const std::string exeBytes = test::ReadFileBytes(exe);
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(exe.c_str(), shortPath, MAX_PATH), 0u);
    const std::wstring shortName = shortPath;
    std::vector<std::string> refused = {exeName + ".", exeName + " ", "./" + exeName,
                                        test::Narrow(shortName.substr(shortName.rfind(L'\\') + 1)),
                                        "Log/inst_done"};
    for (const char* spelling : {"data/x.bin.", "data/x.bin ", "data/./x.bin", "data//x.bin",
                                 "data/x.bin/.", "./data/x.bin", "data/x.bin/"})
        refused.push_back(spelling);
    for (const std::string& path : refused) {
        DeleteFileW(InstDonePath().c_str());
        UpdateScenario game;
        game.AddFile("data/ok.bin", Content(20));
        // Placed beside the game folder's own files, with bytes that match what is there.
        std::string row = path;
        if (row.rfind("data/", 0) == 0 || row.rfind("./data/", 0) == 0)
            row.replace(row.find("data/"), 5, game.Path("data/"));
        const std::string bytes = row.rfind("run", 0) == 0 || row.rfind("./run", 0) == 0
                                      ? Content(21)
                                      : (row == "Log/inst_done" ? "" : exeBytes);
        game.AddEntryText("{\"path\": " + test::JsonQuote(row) + ", \"hash\": \"" +
                          test::Md5Hex(bytes) + "\", \"size\": " + std::to_string(bytes.size()) +
                          ", \"version\": 1}");
        ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("data/x.bin"), Content(21)));
        game.Publish("manifest_full.json");
        StatusRecorder statuses;
        RunUpdateWithManifestUrl(game.ManifestUrl("manifest_full.json"), L"FULL");
        EXPECT_EQ(CurrentStatusText(), L"Error: manifiesto invalido") << row;
        for (const std::wstring& t : statuses.Texts())
            EXPECT_NE(t, L"Archivos OK!") << row;
        EXPECT_FALSE(test::PathExists(InstDonePath())) << row;
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath("data/ok.bin")), Content(20)) << row;
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath("data/x.bin")), Content(21)) << row;
        EXPECT_FALSE(State().launcherReplaced.load()) << row;
        EXPECT_FALSE(test::PathExists(exe + L".old")) << row;
        EXPECT_EQ(test::ReadFileBytes(exe), exeBytes);
    }
}

// Two rows for one file would both be "checked" and one overwrite the other, and the file
// never match its row: such a document is refused whole, before anything is written.
TEST_F(UpdateRun, AManifestNamingOneFileTwiceChangesNothing) {
    for (const auto& [a, b] : std::vector<std::pair<std::string, std::string>>{
             {"data/a.bin", "data/A.bin"}, {"data/a.bin", "data/a.bin"}}) {
        UpdateScenario game;
        game.AddFile(a, Content(22), "old");
        game.AddFile(b, Content(23));
        game.AddFile("data/new.bin", Content(24));
        game.Publish();
        StatusRecorder statuses;
        EXPECT_EQ(test::RunLight(game), L"Error: manifiesto invalido") << b;
        EXPECT_EQ(statuses.Texts().size(), 2u) << b; // the manifest's, then the error
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath(a)), Content(22) + "-old") << b;
        EXPECT_FALSE(test::PathExists(game.LocalPath("data/new.bin"))) << b;
    }
}

// A link planted where a folder on the way or a ".tmp" lies (a user can, in a game folder that
// kept its own permissions) must not carry the elevated launcher's writes out of the folder:
// the file fails, the others go, and nothing outside is written.
TEST_F(UpdateRun, WritesNeverFollowALinkOutOfTheGameFolder) {
    for (const char* planted : {"linked", "deep/linked", "tmp"}) {
        UpdateScenario game;
        test::TempDir outside(L"outside");
        ASSERT_TRUE(test::WriteFileBytes(outside / L"victim.bin.tmp", "victim"));
        const std::string at = planted;
        std::string name = at + "/victim.bin";
        ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("keep.txt"), "x"));
        if (at == "tmp") {
            name = "t/victim.bin";
            ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("t/keep.txt"), "x"));
            ASSERT_TRUE(
                test::MakeLink(game.LocalPath(name) + L".tmp", outside / L"victim.bin.tmp", false));
        } else {
            if (at == "deep/linked") {
                ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("deep/keep.txt"), "x"));
            }
            ASSERT_TRUE(test::MakeLink(game.LocalPath(at), outside.Path(), true));
        }
        game.AddFile(name, Content(26));
        game.AddFile("fine/other.bin", Content(27));
        game.Publish();
        StatusRecorder statuses;
        EXPECT_EQ(test::RunLight(game), L"Error: fallo la descarga") << at;
        for (const std::wstring& t : statuses.Texts())
            EXPECT_NE(t, L"Archivos OK!") << at;
        EXPECT_EQ(test::ReadFileBytes(outside / L"victim.bin.tmp"), "victim") << at;
        EXPECT_FALSE(test::PathExists(outside / L"victim.bin")) << at;
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath("fine/other.bin")), Content(27)) << at;
        const std::wstring link = at == "tmp" ? game.LocalPath(name) + L".tmp" : game.LocalPath(at);
        RemoveDirectoryW(link.c_str());
        DeleteFileW(link.c_str());
    }
}

// Past the old 260-character limit: the file installs, and the next run finds it in line.
TEST_F(UpdateRun, APathOfThreeHundredCharactersInstallsAndVerifies) {
    UpdateScenario game;
    std::string name;
    for (char c = 'a'; c < 'g'; ++c)
        name += std::string(50, c) + "/";
    name += "file.bin";
    game.AddFile(name, Content(28));
    game.AddFile("short.bin", Content(29));
    game.Publish();
    ASSERT_GT(game.LocalPath(name).size(), 300u);
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(L"\\\\?\\" + game.LocalPath(name)), Content(28));
    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        EXPECT_EQ(r.path.find("/update/"), std::string::npos) << r.path;
}

// A drive down to its reserve but for a little: every way a file is written asks for room
// for the bytes it will write before it writes them (a file downloaded whole, one copied from
// a listed file with its content, one in pieces, the tail of one cut off), so none of them eats
// into the reserve; a file that fits still goes.
TEST_F(UpdateRun, NoWayOfWritingEatsIntoTheDiskReserve) {
    UpdateScenario game;
    const std::string copied = Content(30, 300 << 10), big = Content(31, 9 << 20);
    game.AddFile("disk/whole.bin", Content(32, 300 << 10));
    game.AddFile("disk/seed.bin", copied, "same");
    game.AddFile("disk/copy.bin", copied);
    game.AddFile("disk/big.bin", big);
    game.AddFile("disk/small.bin", Content(33, 1000));
    const std::string resumed = Content(34, 2 << 20);
    game.AddFile("disk/resumed.bin", resumed);
    game.Publish();
    // A transfer that broke half-way: its tail, too, asks for room before it is written.
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("disk/resumed.bin") + L".tmp",
                                     resumed.substr(0, 1 << 20)));
    ULARGE_INTEGER free = {}, total = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(game.LocalPath("").c_str(), &free, &total, nullptr));
    // 100 KiB beyond the reserve the launcher keeps on a drive of this size.
    SetFreeSpaceForTests(std::min<uint64_t>(uint64_t{256} << 20, total.QuadPart / 16) +
                         (100 << 10));
    const std::wstring status = test::RunLight(game);
    SetFreeSpaceForTests(0);
    EXPECT_EQ(status, L"Error: fallo la descarga");
    for (const char* name :
         {"disk/whole.bin", "disk/copy.bin", "disk/big.bin", "disk/resumed.bin"}) {
        EXPECT_FALSE(test::PathExists(game.LocalPath(name))) << name;
        EXPECT_FALSE(test::PathExists(game.LocalPath(name) + L".tmp")) << name;
    }
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("disk/small.bin")), Content(33, 1000));

    // A length of 2 GiB or more that a block index or a range answer gives is asked for as it
    // is; only a row's INT32_MAX says no length.
    const uint64_t reserve = std::min<uint64_t>(uint64_t{256} << 20, total.QuadPart / 16);
    const std::wstring tmp = game.LocalPath("disk/big.bin") + L".tmp";
    SetFreeSpaceForTests(reserve + (uint64_t{1} << 30));
    EXPECT_FALSE(RoomFor(tmp, int64_t{3} << 30));
    EXPECT_TRUE(RoomFor(tmp, INT32_MAX));
    SetFreeSpaceForTests(reserve + (uint64_t{4} << 30));
    EXPECT_TRUE(RoomFor(tmp, int64_t{3} << 30));
    SetFreeSpaceForTests(0);
}

TEST_F(UpdateRun, CancelDuringTheDownloadEndsWithItsOwnText) {
    UpdateScenario game;
    game.AddFile("slow.bin", Content(6, 64 * 1024));
    game.Publish("manifest_light.json", "{\"/update/" + game.Path("slow.bin") +
                                            "\": {\"trickle_bytes\": 1024, \"trickle_ms\": 50}}");
    std::thread canceller([] {
        test::WaitFor([] { return CurrentStatusText() == L"Verificando 100%..."; }, 10000, 5);
        Sleep(500);
        State().cancelRequested = true;
    });
    EXPECT_EQ(test::RunLight(game), L"Actualizacion cancelada.");
    canceller.join();
    EXPECT_FALSE(test::PathExists(game.LocalPath("slow.bin")));
    EXPECT_FALSE(test::PathExists(game.LocalPath("slow.bin") + L".tmp"));
    EXPECT_FALSE(State().updateRunning.load());
}

TEST_F(UpdateRun, ADownloadIsPlacedOnlyWhenEveryDigestMatches) {
    // Straight through the download worker: signed entries carry a SHA-256 that this build's
    // manifest reader does not fill. A body with the right MD5 but another SHA-256 never
    // reaches the folder; a body cut short is fetched again and placed whole.
    UpdateScenario game;
    const std::string good(5000, 'g'), forged(5000, 'f'), cut = Content(13, 300000);
    game.AddFile("good.bin", good);
    game.AddFile("forged.bin", forged, "old");
    game.AddFile("cut.bin", cut);
    const std::string cutPath = "/update/" + game.Path("cut.bin");
    game.Publish("manifest_light.json",
                 "{\"" + cutPath + "\": {\"cut_after\": 100000, \"times\": 1}}");
    const std::string goodSha = "ae82461b64fd238f5a59ecfac74f689d7cf84e03db0c4c32f00352e1886dfcae";
    const auto entry = [&](const std::string& name, const std::string& content,
                           const std::string& sha256) {
        ManifestEntry e;
        e.path = test::Widen(game.Path(name));
        e.hash = test::Md5Hex(content);
        e.size = static_cast<int64_t>(content.size());
        e.sha256 = sha256;
        return e;
    };
    // forged.bin is announced with good.bin's SHA-256: its MD5 is right, its SHA-256 is not.
    std::vector<ManifestEntry> list = {entry("good.bin", good, goodSha),
                                       entry("forged.bin", forged, goodSha),
                                       entry("cut.bin", cut, "")};

    std::atomic<bool> failed{false};
    std::atomic<int32_t> next{0}, done{0};
    std::atomic<uint64_t> bytesDone{0};
    const int32_t count = 3;
    const uint64_t bytesTotal = 310000;
    std::mutex errorLock;
    std::wstring errorText;
    DownloadContext context = {&failed,    &next,       &count,     &list,     &done,
                               &bytesDone, &bytesTotal, &errorLock, &errorText};
    size_t mark = test::TestServer::LogMark();
    std::vector<std::thread> workers;
    for (int i = 0; i < count; ++i)
        workers.emplace_back(DownloadWorker, context);
    for (std::thread& t : workers)
        t.join();

    EXPECT_TRUE(failed.load());
    EXPECT_EQ(errorText, L"Error: fallo la descarga");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("good.bin")), good);
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("forged.bin")), forged + "-old");
    EXPECT_TRUE(test::ReadFileBytes(game.LocalPath("cut.bin")) == cut);
    for (const char* name : {"good.bin", "forged.bin", "cut.bin"})
        EXPECT_FALSE(test::PathExists(game.LocalPath(name) + L".tmp")) << name;
    int cutRequests = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        cutRequests += r.path.rfind(cutPath + "?", 0) == 0;
    EXPECT_EQ(cutRequests, 2);
}

TEST_F(UpdateRun, AStalledManifestEndsWithTheManifestError) {
    // A server that keeps the connection alive with a few bytes now and then must not hold
    // the run (and the action button) for ever. The stall window is shortened for the test.
    UpdateScenario game;
    game.AddFile("a.bin", Content(14), "old");
    game.Publish("manifest_light.json",
                 "{\"/manifest_light.json\": {\"trickle_bytes\": 8, \"trickle_ms\": 300}}");
    SetStallWindowForTesting(1500);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(test::RunLight(game), L"Error: no se pudo descargar el manifiesto");
    const ULONGLONG elapsed = GetTickCount64() - start;
    SetStallWindowForTesting(0);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_TRUE(test::ReadFileBytes(game.LocalPath("a.bin")) == Content(14) + "-old");
}

TEST(WorkerCounts, FollowTheProcessorCountWithinTheirBounds) {
    struct Row {
        unsigned processors;
        int verify, download;
    };
    for (Row r : {Row{0, 8, 12}, Row{1, 4, 8}, Row{3, 6, 8}, Row{6, 12, 12}, Row{8, 16, 16},
                  Row{20, 32, 16}}) {
        EXPECT_EQ(VerifyWorkerCount(r.processors, 1000), r.verify) << r.processors;
        EXPECT_EQ(DownloadWorkerCount(r.processors, 1000), r.download) << r.processors;
    }
    EXPECT_EQ(VerifyWorkerCount(8, 5), 5);
    EXPECT_EQ(VerifyWorkerCount(8, 0), 1);
    EXPECT_EQ(DownloadWorkerCount(8, 3), 3);
}

// A file of 3 GiB (its row carries INT32_MAX) whose transfer broke at 2.5 GiB: the next run
// continues it with one range from the cut, never from byte 0.
TEST_F(UpdateRun, AFileOfThreeGibibytesCutAtTwoAndAHalfResumesFromTheCut) {
    constexpr uint64_t kLength = 3072 * kMiB, kCut = 2560 * kMiB;
    const std::vector<uint64_t> blocks = {0, 1024 * kMiB, 2559 * kMiB, 2560 * kMiB, 3071 * kMiB};
    UpdateScenario game;
    const std::string name = "big/world.pak";
    ASSERT_TRUE(WriteSparse(game.ServerRoot() + L"\\update\\" +
                                game.LocalPath(name).substr(LauncherFolderFull().size() + 1),
                            kLength, blocks));
    const std::wstring local = game.LocalPath(name);
    ASSERT_TRUE(WriteSparse(local + L".tmp", kCut, blocks));
    game.AddEntryText("{\"path\": " + test::JsonQuote(game.Path(name)) + ", \"hash\": \"" +
                      SparseMd5(kLength, blocks) + "\", \"size\": 2147483647, \"version\": 1}");
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    std::vector<std::string> ranges;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        std::string range = "whole";
        for (const auto& [key, value] : r.headers)
            if (key == "Range") range = value;
        ranges.push_back(range);
    }
    EXPECT_EQ(ranges, std::vector<std::string>{"bytes=" + std::to_string(kCut) + "-"});
    FileHandle placed = OpenForReading(local);
    EXPECT_EQ(placed ? FileSizeOf(placed.Get()) : 0, kLength);
    placed.Reset();
    DeleteFileW(local.c_str());
    DeleteFileW((local + L".tmp").c_str());
}

} // namespace
