// A server (or a broken CDN) that sends numbers and bodies of its own choosing: a block index
// with a block size of gigabytes or a length other than the entry's, endless documents, a
// resumed answer that runs past its range. Each run is an update in a process of its own that
// reports its peak working set; the right files end in place, memory stays within a bound of
// an honest patch's, and no ".tmp" ever grows past its entry.
#include <gtest/gtest.h>

#include <random>

#include "faults/fault_support.h"
#include "patch/make_index.h"

namespace {

using faults::FaultGame;

constexpr size_t kBig = (1 << 20) + 300000; // above the size that gets indexes
constexpr uint64_t kMiB = 1 << 20;
const wchar_t kOk[] = L"Archivos OK!";

// An index header naming md5 with the given block size and length, and rows of random sums
// as many as that length needs.
std::string ForgedIndex(const std::string& md5Hex, uint32_t block, uint64_t length) {
    std::string out = "ZVBI";
    out += static_cast<char>(1);
    out += static_cast<char>(4);
    test::PutLe(out, 0, 2);
    test::PutLe(out, block, 4);
    test::PutLe(out, length, 8);
    out += test::Unhex(md5Hex);
    const uint64_t rows = length / block + (length % block != 0);
    return out + test::RandomBytes(static_cast<size_t>(rows * 8), 5);
}

class HostileServer : public ::testing::Test {
protected:
    // One game in a folder of its own with the runner as its launcher.
    struct Setup {
        test::TempDir folder{L"hostile"};
        std::wstring exe = folder / L"ZarvoLauncher.exe";
        std::unique_ptr<FaultGame> game;
        Setup() {
            EXPECT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));
            game = std::make_unique<FaultGame>(folder.Path());
            game->AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe)});
        }
        void WriteIndex(const std::string& name, const std::string& document) {
            std::wstring path = game->ServerRoot() + L"\\blocks\\" + test::Widen(name) + L".zbi";
            ASSERT_TRUE(test::WriteFileBytes(path, document));
        }
    };
    struct Watched {
        faults::RunnerResult result;
        uint64_t largestTmp = 0; // the largest the watched ".tmp" was seen
    };
    // A light run, the ".tmp" of name looked at every few milliseconds until the run ends; a
    // ".tmp" above tmpLimit ends the run there.
    static Watched Run(const Setup& s, const std::string& name, uint64_t tmpLimit = UINT64_MAX) {
        Watched out;
        test::TempDir results(L"results");
        const std::wstring tmp = s.game->Local(name) + L".tmp";
        test::ChildProcess runner;
        if (!faults::StartRunner(runner, s.exe, s.game->ManifestUrl("manifest_light.json"),
                                 L"LIGHT", results / L"run.txt")) {
            return out;
        }
        const ULONGLONG end = GetTickCount64() + 90000;
        for (bool over = false; !over;) {
            over = runner.WaitExit(5) || GetTickCount64() > end;
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (GetFileAttributesExW(tmp.c_str(), GetFileExInfoStandard, &data)) {
                const uint64_t size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
                out.largestTmp = std::max(out.largestTmp, size);
            }
            over = over || out.largestTmp > tmpLimit;
        }
        out.result = faults::WaitRunner(runner, results / L"run.txt", 1000);
        return out;
    }
    // The peak of an honest patch of a file like the ones below, measured once.
    static uint64_t HonestPeak() {
        static uint64_t peak = [] {
            Setup s;
            const std::string old = test::RandomBytes(kBig, 1);
            std::string fresh = old;
            fresh.replace(kBig / 2, 3000, test::RandomBytes(3000, 2));
            s.game->Add("data.pak", fresh, old);
            s.WriteIndex("data.pak", test::MakeBlockIndex(fresh, 4096));
            s.game->Publish({"manifest_light.json"});
            const Watched run = Run(s, "data.pak");
            EXPECT_EQ(run.result.Final(), kOk);
            EXPECT_GT(run.result.peakWorkingSet, 0u);
            return run.result.peakWorkingSet;
        }();
        return peak;
    }
};

TEST_F(HostileServer, ForgedIndexesLeaveTheRightFileWithinAnHonestPatchsMemory) {
    const uint64_t honest = HonestPeak();
    struct Case {
        const char* name;
        uint32_t block;
        uint64_t length; // 0: the entry's plus a gigabyte
    };
    // 60 bytes that name a block of 4 GiB - 1 in a file of 8 GiB; a sane block size in a file
    // a gigabyte longer than the entry (its first range answer held back, so that a ".tmp"
    // set to that length would be seen).
    for (const Case& c :
         {Case{"huge blocks", 0xFFFFFFFFu, uint64_t{8} << 30}, Case{"another length", 4096, 0}}) {
        SCOPED_TRACE(c.name);
        Setup s;
        const std::string old = test::RandomBytes(kBig, 3);
        std::string fresh = old;
        fresh.replace(1000, 5000, test::RandomBytes(5000, 4));
        s.game->Add("data.pak", fresh, old);
        const uint64_t length = c.length ? c.length : fresh.size() + (uint64_t{1} << 30);
        const std::string index = ForgedIndex(test::Md5Hex(fresh), c.block, length);
        if (c.length) {
            EXPECT_EQ(index.size(), 60u);
        }
        s.WriteIndex("data.pak", index);
        s.game->Publish({"manifest_light.json"}, "{\"" + s.game->FaultKey("data.pak") +
                                                     "\": {\"delay_ms\": 400, \"times\": 1}}");
        const Watched run = Run(s, "data.pak", fresh.size());
        EXPECT_LE(run.largestTmp, fresh.size());
        ASSERT_TRUE(run.result.ended);
        EXPECT_EQ(run.result.Final(), kOk);
        EXPECT_TRUE(s.game->AllCurrent());
        EXPECT_LE(run.result.peakWorkingSet, honest + 8 * kMiB) << honest;
    }
}

TEST_F(HostileServer, EndlessDocumentsAreRefusedWithMemoryBounded) {
    const uint64_t honest = HonestPeak();
    // Manifests without a length and with one of a terabyte: no manifest, memory within the
    // manifest's bound (64 MiB, one reallocation of the growing body on top).
    for (const char* fault : {"{\"endless\": true}", "{\"endless\": true, \"length\": 1e12}"}) {
        SCOPED_TRACE(fault);
        Setup s;
        s.game->Add("a.bin", "content", "old");
        s.game->Publish({"manifest_light.json"},
                        std::string("{\"/manifest_light.json\": ") + fault + "}");
        const Watched run = Run(s, "a.bin");
        ASSERT_TRUE(run.result.ended);
        EXPECT_EQ(run.result.Final(), L"Error: no se pudo descargar el manifiesto");
        EXPECT_LE(run.result.peakWorkingSet, honest + 128 * kMiB) << honest;
    }
    // An endless index (bound 16 MiB): the file comes whole.
    Setup s;
    const std::string old = test::RandomBytes(kBig, 6);
    const std::string fresh = old.substr(100) + "new end";
    s.game->Add("data.pak", fresh, old);
    s.WriteIndex("data.pak", test::MakeBlockIndex(fresh, 4096));
    s.game->Publish({"manifest_light.json"},
                    "{\"/blocks/" + s.game->Path("data.pak") + ".zbi\": {\"endless\": true}}");
    const Watched run = Run(s, "data.pak");
    ASSERT_TRUE(run.result.ended);
    EXPECT_EQ(run.result.Final(), kOk);
    EXPECT_TRUE(s.game->AllCurrent());
    EXPECT_LE(run.result.peakWorkingSet, honest + 40 * kMiB) << honest;
}

TEST_F(HostileServer, AResumedAnswerLongerThanItsRangeLeavesNoTmpPastTheEntry) {
    // A ".tmp" an interrupted transfer left, no old copy: the rest is asked for as a range,
    // and the answer goes on past it for as long as the launcher reads.
    Setup s;
    const std::string content = test::RandomBytes(kBig, 7);
    s.game->Add("cut.pak", content);
    ASSERT_TRUE(
        test::WriteFileBytes(s.game->Local("cut.pak") + L".tmp", content.substr(0, 500000)));
    s.game->Publish({"manifest_light.json"},
                    "{\"" + s.game->FaultKey("cut.pak") + "\": {\"endless\": true, \"times\": 1}}");
    const size_t mark = test::TestServer::LogMark();
    const Watched run = Run(s, "cut.pak", content.size());
    EXPECT_LE(run.largestTmp, content.size());
    ASSERT_TRUE(run.result.ended);
    EXPECT_EQ(run.result.Final(), kOk);
    EXPECT_TRUE(s.game->AllCurrent());
    std::vector<std::string> ranges;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.substr(0, r.path.find('?')) != s.game->FaultKey("cut.pak")) continue;
        std::string range = "whole";
        for (const auto& [key, value] : r.headers)
            if (_stricmp(key.c_str(), "Range") == 0) range = value;
        ranges.push_back(range);
    }
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=500000-", "whole"}));
}

} // namespace
