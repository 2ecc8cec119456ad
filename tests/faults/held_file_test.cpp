// A game file that another program holds open without sharing (a scanner, a client still
// running): the launcher can neither read it, replace it nor write its temporary copy, and
// must never say that the files are fine while that lasts. Once the file is free, the next
// run puts it right.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/handles.h"
#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "patch/make_index.h"

namespace {

using faults::FaultGame;
using faults::kFailed;
using faults::kOk;

class HeldFiles : public faults::InProcessRun {};

// Requests for the server path since mark.
int Fetches(size_t mark, const std::string& key) {
    int count = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        count += r.path.rfind(key, 0) == 0;
    return count;
}

TEST_F(HeldFiles, AFileHeldByAnotherProcessIsNeverReportedFine) {
    struct Case {
        const char* name;
        bool copyIsCurrent; // the local copy already holds the manifest content
        bool holdTmp;       // the download's temporary name is held instead of the file
        bool shared;        // held with every kind of sharing: nobody can tell it is held
    };
    const Case cases[] = {
        {"current copy held", true, false, false},
        {"outdated copy held", false, false, false},
        {"temporary name held", false, true, false},
        {"outdated copy held shared for the whole run", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        const std::string content = test::RandomBytes(30000, 31);
        game.Add("other.bin", test::RandomBytes(4000, 32), "an older other.bin");
        if (c.holdTmp)
            game.Add("held.bin", content);
        else
            game.Add("held.bin", content, c.copyIsCurrent ? content : "an older held.bin");
        game.Publish({"manifest_light.json"});

        {
            faults::FileHolder holder;
            ASSERT_TRUE(
                holder.Hold(game.Local("held.bin") + (c.holdTmp ? L".tmp" : L""), c.shared));
            const size_t mark = test::TestServer::LogMark();
            const size_t logAt = faults::ReadShared(RunLogPath()).size();
            Outcome run = Run(game);
            EXPECT_EQ(run.Final(), kFailed);
            EXPECT_FALSE(run.Saw(kOk));
            EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
            // A copy that cannot be put in place is fetched once, and support can see which.
            if (!c.holdTmp) {
                EXPECT_EQ(Fetches(mark, game.FaultKey("held.bin")), 1);
                EXPECT_NE(faults::ReadShared(RunLogPath()).find(game.Path("held.bin"), logAt),
                          std::string::npos);
            }
        }
        // The holder has let go: the file is as it was, and the next run mends it.
        if (!c.holdTmp) {
            EXPECT_EQ(faults::ReadShared(game.Local("held.bin")),
                      c.copyIsCurrent ? content : "an older held.bin");
        }
        Outcome again = Run(game);
        EXPECT_EQ(again.Final(), kOk);
        EXPECT_TRUE(game.AllCurrent());
        EXPECT_TRUE(again.after.empty()) << faults::Join(again.after);
    }
}

TEST_F(HeldFiles, AMoveRefusedForAMomentSucceedsWithoutASecondDownload) {
    // A scanner holds the file from before the run until a while after the checked copy is
    // ready beside it: one that shares nothing, and one that shares everything, which lets
    // nobody see it is there and still refuses the rename, past the move's first pauses.
    const struct {
        const char* name;
        bool shared;
        DWORD releaseMs;
    } cases[] = {{"held alone", false, 400}, {"held shared", true, 3500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        const std::string content = test::RandomBytes(30000, 33);
        game.Add("scanned.exe", content, "an older scanned.exe");
        game.Publish({"manifest_light.json"});
        const size_t mark = test::TestServer::LogMark();

        faults::FileHolder holder;
        ASSERT_TRUE(holder.Hold(game.Local("scanned.exe"), c.shared));
        std::thread release([&] {
            test::WaitFor([&] { return !game.TmpFiles().empty(); }, 20000);
            Sleep(c.releaseMs);
            holder.Release();
        });
        Outcome run = Run(game);
        release.join();
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(game.AllCurrent());
        EXPECT_EQ(Fetches(mark, game.FaultKey("scanned.exe")), 1);
    }
}

// A second launcher in the folder has the ".tmp" open, for reading while this run builds it,
// so the hold for the move is refused at first; once the build has let go, the other one
// rewrites a block of it in place and closes. What the move would then take is not what was
// checked: it is hashed again under the hold, and the attempt that follows puts it right.
TEST_F(HeldFiles, ATmpAnotherLauncherWroteBeforeItsHoldIsHashedAgain) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::RandomBytes(3u << 20, 35);
    std::string before = content;
    before[5000] ^= 1;
    game.Add("shared.pak", content, before);
    game.Serve("blocks/" + game.Path("shared.pak") + ".zbi", test::MakeBlockIndex(content, 4096));
    game.Publish({"manifest_light.json"});

    const std::wstring tmp = game.Local("shared.pak") + L".tmp";
    ASSERT_TRUE(test::WriteFileBytes(tmp, ""));
    FileHandle reader(CreateFileW(tmp.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    std::atomic<bool> rewrote{false};
    std::thread other([&] {
        // The build sets the length first; a writer gets in only once it has closed.
        test::WaitFor(
            [&] {
                LARGE_INTEGER size = {};
                return GetFileSizeEx(reader.Get(), &size) && size.QuadPart > 0;
            },
            60000, 1);
        FileHandle writer;
        test::WaitFor(
            [&] {
                writer.Reset(CreateFileW(tmp.c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
                return writer.Valid();
            },
            60000, 1);
        const std::string junk(4096, 'x');
        DWORD put = 0;
        rewrote = writer && WriteFile(writer.Get(), junk.data(), 4096, &put, nullptr) &&
                  put == 4096 && FlushFileBuffers(writer.Get());
        writer.Reset();
        reader.Reset();
    });
    Outcome run = Run(game);
    other.join();
    EXPECT_TRUE(rewrote);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(game.IsCurrent("shared.pak"));
}

// A short ".tmp" is not noted but hashed again under its hold, even one taken at the first
// try: rewritten after its source closed (here a copy of a listed file with its content; a
// second launcher may do it), it is never placed, and the next attempt puts it right.
TEST_F(HeldFiles, AShortTmpChangedAfterItsSourceClosedIsHashedAgain) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::RandomBytes(20000, 36);
    game.Add("same.bin", content, content);
    game.Add("short.bin", content, "an older short.bin");
    game.Publish({"manifest_light.json"});
    static std::atomic<int> holds{0};
    holds = 0;
    SetBeforeHoldForTests([](const std::wstring& tmp) {
        if (tmp.find(L"short.bin") == std::wstring::npos || holds++ > 0) return;
        FileHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        const std::string junk(4096, 'x');
        DWORD put = 0;
        if (file) WriteFile(file.Get(), junk.data(), 4096, &put, nullptr);
    });
    Outcome run = Run(game);
    SetBeforeHoldForTests(nullptr);
    EXPECT_EQ(holds.load(), 2);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(game.IsCurrent("short.bin"));
}

} // namespace
