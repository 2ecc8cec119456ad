// Rebuilding a changed file from its old copy and a binary delta, against a server that does
// not play along: a delta cut short, with flipped bytes, claiming another size, longer than the
// file, of other content, or missing. Every case ends with the right file by the other sources,
// the folder never holding a wrong one; a copy no delta covers asks for none.
#include <gtest/gtest.h>

#include <algorithm>

#include "faults/bundle_support.h"
#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "patch/make_index.h"
#include "update/net/whole_file.h"

namespace {

using faults::FaultGame;
using faults::kOk;

struct Sample {
    std::string old, fresh, delta;
};

Sample LoadSample(const char* name) {
    const std::wstring base = test::ProgramFolder() + L"\\delta_samples\\" + test::Widen(name);
    return {test::ReadFileBytes(base + L".old"), test::ReadFileBytes(base + L".new"),
            test::ReadFileBytes(base + L".zdelta")};
}

std::string DeltaName(const std::string& old, const std::string& fresh) {
    return "objects/" + test::Md5Hex(old) + "-" + test::Md5Hex(fresh) + ".zdelta";
}

// The requests since mark, by kind: "delta" for any delta, "file" for the file's own address,
// "index" for its block index; the rest (manifest, the probe of ranges) left out.
std::vector<std::string> Requests(const FaultGame& game, size_t mark, const std::string& name) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        const std::string path = r.path.substr(0, r.path.find('?'));
        if (path.ends_with(".zdelta")) out.push_back("delta");
        if (path == game.FaultKey(name)) out.push_back("file");
        if (path == "/blocks/" + game.Path(name) + ".zbi") out.push_back("index");
    }
    return out;
}

class DeltaFaults : public faults::InProcessRun {
protected:
    void SetUp() override {
        InProcessRun::SetUp();
        sample_ = LoadSample("engine");
        ASSERT_FALSE(sample_.delta.empty()) << "no delta samples beside the test program";
    }
    // The sample as a listed file whose row names a delta from the old version, the local copy
    // holding local; served is what the server holds under the delta's name (none: nothing).
    void Offer(FaultGame& game, const std::string& local, const std::string* served) {
        game.Add("engine.dll", sample_.fresh, local);
        game.AddRowKeys("engine.dll", ", \"zdeltas\": \"" + test::Md5Hex(sample_.old) + "\"");
        if (served) game.Serve(DeltaName(sample_.old, sample_.fresh), *served);
        ASSERT_TRUE(
            test::WriteFileBytes(IndexPath(game), test::MakeBlockIndex(sample_.fresh, 4096)));
        game.Publish({"manifest_light.json"});
    }
    static std::wstring IndexPath(const FaultGame& game) {
        std::wstring path =
            game.ServerRoot() + L"\\blocks\\" + test::Widen(game.Path("engine.dll")) + L".zbi";
        for (wchar_t& c : path)
            if (c == L'/') c = L'\\';
        return path;
    }
    Sample sample_;
};

TEST_F(DeltaFaults, TheDeltaFromTheOldCopyAloneRebuildsTheFile) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    Offer(game, sample_.old, &sample_.delta);
    const size_t mark = test::TestServer::LogMark();
    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    EXPECT_TRUE(game.AllCurrent());
    // One delta, and neither the index nor any byte of the file (a second one only when the
    // folder watch held the file as it was moved into place).
    const std::vector<std::string> asked = Requests(game, mark, "engine.dll");
    ASSERT_FALSE(asked.empty());
    for (const std::string& r : asked)
        EXPECT_EQ(r, "delta") << faults::Join(asked);
}

TEST_F(DeltaFaults, AnyBadDeltaLeavesTheFileToTheBlockPatchAndTheWholeFile) {
    std::string cut = sample_.delta.substr(0, sample_.delta.size() / 2);
    std::string flipped = sample_.delta;
    for (size_t at = 40; at < flipped.size(); at += flipped.size() / 7)
        flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
    // The header's new size, one more than the row's: the decoder must not write past it.
    std::string longer = sample_.delta;
    longer[16] = static_cast<char>(longer[16] + 1);
    const std::string bloated = sample_.delta + std::string(sample_.fresh.size(), 'x');
    // A sound delta from the old copy to other bytes of the file's length, under this name.
    const std::string other =
        test::ReadFileBytes(test::ProgramFolder() + L"\\delta_samples\\engine.other.zdelta");
    struct Case {
        const char* name;
        const std::string* served;
    };
    const Case cases[] = {{"cut short", &cut},          {"flipped bytes", &flipped},
                          {"claims more", &longer},     {"longer than the file", &bloated},
                          {"of other content", &other}, {"missing", nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        Offer(game, sample_.old, c.served);
        const size_t mark = test::TestServer::LogMark();
        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        EXPECT_TRUE(game.AllCurrent());
        // The delta once, then the patch's index and ranges within the same attempt.
        const std::vector<std::string> asked = Requests(game, mark, "engine.dll");
        ASSERT_GE(asked.size(), 2u) << faults::Join(asked);
        EXPECT_EQ(asked[0], "delta");
        EXPECT_EQ(asked[1], "index");
    }
}

TEST_F(DeltaFaults, ACopyNoDeltaCoversAsksForNoneAndIsPatchedAsBefore) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    std::string third = sample_.old;
    third.replace(5000, 2000, test::RandomBytes(2000, 99));
    Offer(game, third, &sample_.delta);
    const size_t mark = test::TestServer::LogMark();
    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    const std::vector<std::string> asked = Requests(game, mark, "engine.dll");
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0], "index");
    for (const std::string& r : asked)
        EXPECT_NE(r, "delta") << faults::Join(asked);
}

} // namespace

// A drive down to its reserve but for a little (the free space the launcher sees is set): each
// way that rebuilds a file or writes part of one asks for room for the bytes it will write
// before it writes them, so none of them puts the file in place. The file's own address is
// refused the same way, so the run fails with the old copy where it was. Here for the delta
// samples; the whole, split and copied ways are the run suite's.
class DiskReserve : public DeltaFaults {};

TEST_F(DiskReserve, NoRebuiltContinuedOrBundledFileEatsIntoIt) {
    for (const char* way : {"delta", "block patch", "tail", "bundle"}) {
        SCOPED_TRACE(way);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        const std::string kind = way;
        if (kind == "delta" || kind == "block patch") {
            Offer(game, sample_.old, kind == "delta" ? &sample_.delta : nullptr);
        } else if (kind == "tail") {
            // An interrupted download's first half, continued from its end.
            const std::string content = test::RandomBytes(2 << 20, 81);
            game.Add("tail.bin", content);
            ASSERT_TRUE(test::WriteFileBytes(game.Local("tail.bin") + L".tmp",
                                             content.substr(0, 512 << 10)));
            game.Publish({"manifest_light.json"});
        } else {
            const std::vector<faults::Member> members = {
                {"small/a.bin", test::RandomBytes(300 << 10, 82)}};
            game.Add(members[0].name, members[0].content, "an older a.bin");
            faults::Offer(game, members, faults::MakeBundle(members));
            game.Publish({"manifest_light.json"});
        }
        ULARGE_INTEGER free = {}, total = {};
        ASSERT_TRUE(GetDiskFreeSpaceExW(LauncherFolderFull().c_str(), &free, &total, nullptr));
        SetFreeSpaceForTests(std::min<uint64_t>(uint64_t{256} << 20, total.QuadPart / 16) +
                             (100 << 10));
        Outcome run = Run(game);
        SetFreeSpaceForTests(0);
        EXPECT_EQ(run.Final(), faults::kFailed);
        EXPECT_EQ(game.CountCurrent(), 0);
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    }
}
