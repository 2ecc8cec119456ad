// A launcher killed in the middle of patching a big file, or of fetching one in pieces: the
// file under its own name is never a wrong one (only its ".tmp" holds new blocks), and the next
// start finishes from what is on disk, asking only for ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "base/paths.h"
#include "faults/fault_support.h"
#include "patch/make_index.h"

namespace {

using faults::FaultGame;

// The runner copied into a folder of its own, which is the game's folder.
class RunnerFolder {
public:
    explicit RunnerFolder(const wchar_t* name)
        : folder_(name), exe_(folder_ / L"ZarvoLauncher.exe"),
          copied_(test::CopyFileTo(faults::RunnerSourceExe(), exe_)), game_(folder_.Path()) {
        game_.AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe_)});
    }
    bool Ready() const { return copied_; }
    FaultGame& Game() { return game_; }

    // A run killed once killWhen holds for the requests logged since it started, and a moment
    // later; the folder stays sound throughout.
    void RunAndKill(const std::function<bool(size_t mark)>& killWhen, DWORD later) {
        const size_t mark = test::TestServer::LogMark();
        faults::FolderWatch watch(game_);
        test::ChildProcess runner;
        ASSERT_TRUE(faults::StartRunner(runner, exe_, Url(), L"LIGHT", results_ / L"first.txt"));
        ASSERT_TRUE(test::WaitFor([&] { return killWhen(mark); }, 30000));
        Sleep(later);
        runner.Kill(); // waits for the end
        watch.Stop();
        EXPECT_TRUE(watch.Problems().empty()) << faults::Join(watch.Problems());
    }
    // A run to its end: its last status text, "" when it did not end in time.
    std::wstring RunToEnd() {
        test::ChildProcess runner;
        if (!faults::StartRunner(runner, exe_, Url(), L"LIGHT", results_ / L"second.txt"))
            return L"";
        const faults::RunnerResult end =
            faults::WaitRunner(runner, results_ / L"second.txt", 60000);
        return end.ended ? end.Final() : L"";
    }

private:
    std::wstring Url() const { return game_.ManifestUrl("manifest_light.json"); }

    test::TempDir folder_;
    std::wstring exe_;
    bool copied_;
    FaultGame game_;
    test::TempDir results_{L"results"};
};

// The Range header of each request for a game file since mark ("" for a whole download).
std::vector<std::string> UpdateRanges(size_t mark) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        std::string range;
        for (const auto& [key, value] : r.headers)
            if (_stricmp(key.c_str(), "Range") == 0) range = value;
        out.push_back(range);
    }
    return out;
}

// How many ranges and bytes a Range header asks for.
void CountRanges(const std::string& header, size_t* ranges, uint64_t* bytes) {
    for (size_t at = header.find('=') + 1; at != 0 && at < header.size();) {
        unsigned long long first = 0, last = 0;
        if (sscanf(header.c_str() + at, "%llu-%llu", &first, &last) != 2) break;
        ++*ranges;
        *bytes += last + 1 - first;
        at = header.find(',', at) + 1;
    }
}

// The length of the file at path, 0 when there is none.
uint64_t FileLength(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// The next start, without faults: it ends well, leaves no ".tmp" and asks for ranges only;
// ranges and bytes receive how many it asked for. Returns the Range headers it sent.
std::vector<std::string> ExpectFinishedWithRangesOnly(RunnerFolder& run, const std::wstring& tmp,
                                                      size_t* ranges, uint64_t* bytes) {
    run.Game().Publish({"manifest_light.json"});
    const size_t second = test::TestServer::LogMark();
    EXPECT_EQ(run.RunToEnd(), L"Archivos OK!");
    EXPECT_TRUE(run.Game().AllCurrent());
    EXPECT_FALSE(test::PathExists(tmp));
    const std::vector<std::string> asked = UpdateRanges(second);
    EXPECT_GE(asked.size(), 1u);
    for (const std::string& range : asked) {
        EXPECT_FALSE(range.empty()) << "a whole download after the kill";
        CountRanges(range, ranges, bytes);
    }
    return asked;
}

TEST(PatchInterruption, AKilledPatchLeavesTheOldFileAndTheNextStartCompletesIt) {
    RunnerFolder run(L"patchkill");
    ASSERT_TRUE(run.Ready());
    FaultGame& game = run.Game();

    // Every second 8 KiB of the new version is new: a long list of ranges to fetch.
    const std::string old = test::RandomBytes(3 << 20, 71);
    std::string fresh = old;
    for (size_t at = 0; at < fresh.size(); at += 16384)
        fresh.replace(at, 8192, test::RandomBytes(8192, 72u + at));
    game.Add("data/world.pak", fresh, old);
    game.AllowExtra(L"data\\world.pak.tmp");
    ASSERT_TRUE(test::WriteFileBytes(game.ServerRoot() + L"\\blocks\\data\\world.pak.zbi",
                                     test::MakeBlockIndex(fresh, 4096)));
    // The ranges trickle in, so that the kill falls in the middle of them: in the first
    // request, which goes alone (the others go at once when it has ended).
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("data/world.pak") +
                     "\": {\"trickle_bytes\": 16384, \"trickle_ms\": 60}}");
    const std::wstring tmp = game.Local("data/world.pak") + L".tmp";
    // Killed once a few dozen of the new spans are in the ".tmp", however slow the machine.
    const auto spansArrived = [&] {
        const std::string now = faults::ReadShared(tmp);
        size_t arrived = 0;
        for (size_t at = 0; now.size() == fresh.size() && at < fresh.size(); at += 16384)
            arrived += now.compare(at, 8192, fresh, at, 8192) == 0;
        return arrived;
    };
    run.RunAndKill([&](size_t) { return spansArrived() >= 24; }, 0);
    EXPECT_EQ(test::ReadFileBytes(game.Local("data/world.pak")), old);
    EXPECT_TRUE(test::PathExists(tmp));
    EXPECT_TRUE(game.Problems(true).empty()) << faults::Join(game.Problems(true));

    // The next start: the blocks already in the ".tmp" are kept, only the rest is asked for.
    size_t rangesAsked = 0;
    uint64_t bytes = 0;
    ExpectFinishedWithRangesOnly(run, tmp, &rangesAsked, &bytes);
    // 192 ranges were missing at the start; a good part of them came before the kill.
    EXPECT_LT(rangesAsked, 192u);
}

// Killed while pieces of a big file are in flight: no wrong file in place, and the next start
// keeps the pieces the block index confirms, asking only for the rest.
TEST(PatchInterruption, AKilledSplitDownloadLeavesNoWrongFileAndTheNextStartCompletesIt) {
    RunnerFolder run(L"splitkill");
    ASSERT_TRUE(run.Ready());
    FaultGame& game = run.Game();
    const size_t size = (24 << 20) + 777;
    const std::string content = test::RandomBytes(size, 81);
    game.Add("data/archive.pak", content);
    game.AllowExtra(L"data\\archive.pak.tmp");
    ASSERT_TRUE(test::WriteFileBytes(game.ServerRoot() + L"\\blocks\\data\\archive.pak.zbi",
                                     test::MakeBlockIndex(content, 65536)));
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("data/archive.pak") +
                     "\": {\"trickle_bytes\": 32768, \"trickle_ms\": 50}}");
    const std::wstring tmp = game.Local("data/archive.pak") + L".tmp";
    // Killed once several pieces are under way.
    run.RunAndKill([](size_t mark) { return UpdateRanges(mark).size() >= 4; }, 800);
    EXPECT_FALSE(test::PathExists(game.Local("data/archive.pak")));
    ASSERT_TRUE(test::PathExists(tmp));
    EXPECT_TRUE(game.Problems(true).empty()) << faults::Join(game.Problems(true));

    // Only ranges, and less than the file: the confirmed pieces were kept.
    size_t ranges = 0;
    uint64_t asked = 0;
    const std::vector<std::string> headers =
        ExpectFinishedWithRangesOnly(run, tmp, &ranges, &asked);
    EXPECT_GT(asked, 0u);
    EXPECT_LT(asked, size);
    // The missing part came as pieces over the pool's connections, not in one request: single
    // ranges, none longer than a piece.
    EXPECT_GE(headers.size(), 4u);
    for (const std::string& header : headers) {
        size_t count = 0;
        uint64_t bytes = 0;
        CountRanges(header, &count, &bytes);
        EXPECT_EQ(count, 1u) << header;
        EXPECT_LE(bytes, 2u << 20) << header;
    }
}

TEST(PatchInterruption, AKilledDeltaLeavesTheOldFileAndTheNextStartAppliesItAgain) {
    RunnerFolder run(L"deltakill");
    ASSERT_TRUE(run.Ready());
    FaultGame& game = run.Game();
    const std::wstring samples = test::ProgramFolder() + L"\\delta_samples\\large";
    const std::string old = test::ReadFileBytes(samples + L".old");
    const std::string fresh = test::ReadFileBytes(samples + L".new");
    const std::string delta = test::ReadFileBytes(samples + L".zdelta");
    ASSERT_FALSE(delta.empty()) << "no delta samples beside the test program";
    game.Add("engine.dll", fresh, old);
    game.AddRowKeys("engine.dll", ", \"zdeltas\": \"" + test::Md5Hex(old) + "\"");
    game.Serve("objects/" + test::Md5Hex(old) + "-" + test::Md5Hex(fresh) + ".zdelta", delta);
    game.AllowExtra(L"engine.dll.tmp");
    game.Publish({"manifest_light.json"});
    const std::wstring tmp = game.Local("engine.dll") + L".tmp";

    // Killed as soon as the rebuilt bytes start to reach the ".tmp".
    run.RunAndKill([&](size_t) { return FileLength(tmp) > 0; }, 0);
    EXPECT_EQ(test::ReadFileBytes(game.Local("engine.dll")), old);
    EXPECT_LT(FileLength(tmp), fresh.size()) << "the kill came after the delta was applied";
    EXPECT_TRUE(game.Problems(true).empty()) << faults::Join(game.Problems(true));

    // The next start applies the delta anew: nothing of the file is asked for.
    const size_t second = test::TestServer::LogMark();
    EXPECT_EQ(run.RunToEnd(), L"Archivos OK!");
    EXPECT_TRUE(game.AllCurrent());
    EXPECT_FALSE(test::PathExists(tmp));
    EXPECT_TRUE(UpdateRanges(second).empty()) << faults::Join(UpdateRanges(second));
}

} // namespace
