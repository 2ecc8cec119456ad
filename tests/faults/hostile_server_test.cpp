// A server (or a broken CDN) that sends numbers and bodies of its own choosing: a block index
// with a block size of gigabytes or a length other than the entry's, endless documents, a
// resumed answer that runs past its range. Each run is an update in a process of its own that
// reports its peak working set; the right files end in place, memory stays within a bound of
// an honest patch's, and no ".tmp" ever grows past its entry.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "faults/fault_support.h"
#include "patch/make_index.h"
#include "support/gzip_copy.h"

namespace {

using faults::FaultGame;

constexpr size_t kBig = (1 << 20) + 300000; // above the size that gets indexes
constexpr uint64_t kMiB = 1 << 20;
const wchar_t kOk[] = L"Archivos OK!";
const wchar_t kFailed[] = L"Error: fallo la descarga";
// What the default build takes of a whole body at most for a small row (whole_file.cpp).
constexpr uint64_t kWholeFloor = 64 * kMiB;

// The faults of a signed publication: the manifest signed on the fly with test key A (the
// signed runner carries A and B), every row with its file's SHA-256, then extra ones.
std::string Signed(const std::string& extra = "") {
    return "{\"/manifest_light.json\": {\"sign\": \"a\"}" + (extra.empty() ? "" : ", " + extra) +
           "}";
}

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
        // signedBuild: the runner built with signing keys.
        explicit Setup(bool signedBuild = false) {
            std::wstring runner = faults::RunnerSourceExe();
            if (signedBuild) runner.insert(runner.size() - 4, L"_signed");
            EXPECT_TRUE(test::CopyFileTo(runner, exe));
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
    // ".tmp" above tmpLimit ends the run there. during (may be empty) runs between two looks.
    static Watched Run(const Setup& s, const std::string& name, uint64_t tmpLimit = UINT64_MAX,
                       const std::function<void()>& during = {}) {
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
            if (during && !over) during();
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

namespace {

TEST_F(HostileServer, EndlessWholeBodiesStopAtTheSignedSizeAndAtTheBoundOtherwise) {
    // A 200 with no length or with a terabyte, at full speed: a signed build takes no byte past
    // the row's size, the default build none past its bound; five failed attempts either way.
    struct Case {
        const char* fault;
        bool signedBuild;
        uint64_t most; // the largest the ".tmp" may be
    };
    for (const Case& c : {Case{"{\"endless\": true}", true, kBig},
                          Case{"{\"endless\": true, \"length\": 1e12}", true, kBig},
                          Case{"{\"endless\": true}", false, kWholeFloor}}) {
        SCOPED_TRACE(std::string(c.fault) + (c.signedBuild ? " signed" : " default"));
        Setup s(c.signedBuild);
        const std::string old = test::RandomBytes(kBig, 11);
        s.game->Add("data.pak", test::RandomBytes(kBig, 12), old);
        const std::string fault = "\"" + s.game->FaultKey("data.pak") + "\": " + c.fault;
        s.game->Publish({"manifest_light.json"}, c.signedBuild ? Signed(fault) : "{" + fault + "}");
        const Watched run = Run(s, "data.pak", c.most + 4 * kMiB);
        EXPECT_LE(run.largestTmp, c.most);
        ASSERT_TRUE(run.result.ended);
        EXPECT_EQ(run.result.Final(), kFailed);
        EXPECT_EQ(test::ReadFileBytes(s.game->Local("data.pak")), old);
        EXPECT_TRUE(s.game->TmpFiles().empty());
    }
}

TEST_F(HostileServer, EndlessCopiesAndPiecesAreHeldToTheirEntryAndTheRawFileComes) {
    // The compressed copy whole (a small file), a big file's raw pieces, a big file's pieces of
    // its compressed copy after an honest head: each endless, each ".tmp" within its entry
    // (pieces keep one byte more while they are written).
    struct Case {
        const char* name;
        size_t size;
        bool packed;
        const char* fault;
    };
    for (const Case& c :
         {Case{"copy whole", 300000, true, "{\"endless\": true}"},
          Case{"raw pieces", 9u << 20, false, "{\"endless\": true, \"times\": 2}"},
          Case{"packed pieces", 9u << 20, true, "{\"endless\": true, \"after\": 1}"}}) {
        SCOPED_TRACE(c.name);
        Setup s;
        const std::string content = test::CompressibleBytes(c.size, 13);
        s.game->Add("big.pak", content);
        std::string key = s.game->FaultKey("big.pak");
        if (c.packed) {
            s.game->OfferPacked("big.pak", test::GzipCopyWithTable(content, test::Md5Hex(content)));
            key = s.game->PackedKey("big.pak");
        }
        s.game->Publish({"manifest_light.json"}, "{\"" + key + "\": " + c.fault + "}");
        const Watched run = Run(s, "big.pak", c.size + 4 * kMiB);
        EXPECT_LE(run.largestTmp, c.size + 1);
        ASSERT_TRUE(run.result.ended);
        EXPECT_EQ(run.result.Final(), kOk);
        EXPECT_TRUE(s.game->AllCurrent());
    }
}

TEST_F(HostileServer, A404ForASignedRowFailsTheRunAndKeepsTheOldLibrary) {
    // A CDN that answers 404 for a changed library: in a signed build the row promises the
    // file, so the run fails; the default build keeps counting a 404 as done.
    for (const bool signedBuild : {true, false}) {
        SCOPED_TRACE(signedBuild ? "signed" : "default");
        Setup s(signedBuild);
        s.game->Add("game.dll", "the new library", "the old library");
        s.game->Add("other.txt", "a file that comes", "an older one");
        const std::string fault = "\"" + s.game->FaultKey("game.dll") + "\": {\"status\": 404}";
        s.game->Publish({"manifest_light.json"}, signedBuild ? Signed(fault) : "{" + fault + "}");
        const Watched run = Run(s, "game.dll");
        ASSERT_TRUE(run.result.ended);
        EXPECT_EQ(run.result.Final(), signedBuild ? kFailed : kOk);
        EXPECT_EQ(test::ReadFileBytes(s.game->Local("game.dll")), "the old library");
        EXPECT_TRUE(s.game->TmpFiles().empty());
    }
}

TEST_F(HostileServer, A404OnAPieceOfACompressedCopyAfterItsHeadSendsTheFileToTheRawPath) {
    Setup s;
    const std::string content = test::CompressibleBytes((12u << 20) + 777, 14);
    s.game->Add("big.pak", content, "an old copy");
    s.game->OfferPacked("big.pak", test::GzipCopyWithTable(content, test::Md5Hex(content)));
    s.game->Publish({"manifest_light.json"},
                    "{\"" + s.game->PackedKey("big.pak") + "\": {\"status\": 404, \"after\": 1}}");
    const Watched run = Run(s, "big.pak");
    ASSERT_TRUE(run.result.ended);
    EXPECT_EQ(run.result.Final(), kOk);
    EXPECT_TRUE(s.game->AllCurrent());
}

TEST_F(HostileServer, ASecondWriterOfTheCheckedTmpDuringTheMovesRetriesPlacesNothingForeign) {
    // The file's old copy is held without sharing, so its move is refused and retried; a
    // second launcher in the folder rewrites the ".tmp" meanwhile. Whatever lands under the
    // name must be what was checked.
    Setup s;
    const std::string content = test::RandomBytes(300000, 15);
    s.game->Add("held.bin", content, "the old copy");
    s.game->Publish({"manifest_light.json"});
    faults::FileHolder holder;
    ASSERT_TRUE(holder.Hold(s.game->Local("held.bin")));
    const std::wstring tmp = s.game->Local("held.bin") + L".tmp";
    const std::string foreign = test::RandomBytes(300000, 16);
    bool rewritten = false, refused = false;
    ULONGLONG seenAt = 0;
    // The ".tmp" seen whole by its length (an open could disturb what is looked at), then
    // rewritten a second later, while the move is being retried.
    const Watched run = Run(s, "held.bin", UINT64_MAX, [&] {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (seenAt == 0 && GetFileAttributesExW(tmp.c_str(), GetFileExInfoStandard, &data) &&
            data.nFileSizeLow == content.size())
            seenAt = GetTickCount64();
        if (seenAt == 0 || rewritten || refused || GetTickCount64() < seenAt + 1000) return;
        HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            refused = true;
        } else {
            DWORD written = 0;
            rewritten = WriteFile(file, foreign.data(), static_cast<DWORD>(foreign.size()),
                                  &written, nullptr) &&
                        written == foreign.size();
            CloseHandle(file);
        }
        holder.Release();
    });
    EXPECT_TRUE(rewritten || refused) << "the .tmp was never seen whole";
    ASSERT_TRUE(run.result.ended);
    const std::string placed = test::ReadFileBytes(s.game->Local("held.bin"));
    EXPECT_TRUE(placed != foreign) << "bytes nobody checked were placed";
    EXPECT_TRUE(placed == content);
    EXPECT_EQ(run.result.Final(), kOk);
}

TEST_F(HostileServer, AForgedIndexForALargeRowDoesNotSetTheTmpsLength) {
    // A row of 2 GiB or more carries INT32_MAX: only the server tells its length, and an
    // index naming 8 GiB must not make an 8 GiB ".tmp" of an old copy of a megabyte.
    Setup s;
    const std::string old = test::RandomBytes(kBig, 17);
    std::string fresh = old;
    fresh.replace(1000, 5000, test::RandomBytes(5000, 18));
    s.game->Add("large.pak", fresh, old);
    s.game->ListSize("large.pak", INT32_MAX);
    s.WriteIndex("large.pak", ForgedIndex(test::Md5Hex(fresh), 4u << 20, uint64_t{8} << 30));
    s.game->Publish({"manifest_light.json"});
    const Watched run = Run(s, "large.pak", uint64_t{1} << 30);
    EXPECT_LE(run.largestTmp, 2 * old.size());
    ASSERT_TRUE(run.result.ended);
    EXPECT_EQ(run.result.Final(), kOk);
    EXPECT_TRUE(s.game->AllCurrent());
}

TEST_F(HostileServer, ASignedBuildChecksTheSha256OfFilesOnDisk) {
    // A local copy with the row's MD5 but not its SHA-256 (the served file differs from what
    // the MD5 names, so the signed row's SHA-256 is another file's): a signed build does not
    // take it as current.
    Setup s(true);
    s.game->Add("a.bin", "the content the MD5 names", "the content the MD5 names");
    ASSERT_TRUE(test::WriteFileBytes(s.game->ServerRoot() + L"\\update\\a.bin", "other bytes"));
    s.game->Publish({"manifest_light.json"}, Signed());
    const Watched run = Run(s, "a.bin");
    ASSERT_TRUE(run.result.ended);
    EXPECT_EQ(run.result.Final(), kFailed);
}

} // namespace
