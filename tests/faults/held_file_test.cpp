// A game file that another program holds open without sharing (a scanner, a client still
// running): the launcher can neither read it, replace it nor write its temporary copy, and
// must never say that the files are fine while that lasts. Once the file is free, the next
// run puts it right.
#include <gtest/gtest.h>

#include <thread>

#include "faults/fault_support.h"
#include "faults/inprocess_run.h"

namespace {

using faults::FaultGame;
using faults::kFailed;
using faults::kOk;

class HeldFiles : public faults::InProcessRun {};

TEST_F(HeldFiles, AFileHeldByAnotherProcessIsNeverReportedFine) {
    struct Case {
        const char* name;
        bool copyIsCurrent; // the local copy already holds the manifest content
        bool holdTmp;       // the download's temporary name is held instead of the file
    };
    const Case cases[] = {
        {"current copy held", true, false},
        {"outdated copy held", false, false},
        {"temporary name held", false, true},
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
            ASSERT_TRUE(holder.Hold(game.Local("held.bin") + (c.holdTmp ? L".tmp" : L"")));
            Outcome run = Run(game);
            EXPECT_EQ(run.Final(), kFailed);
            EXPECT_FALSE(run.Saw(kOk));
            EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
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
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::RandomBytes(30000, 33);
    game.Add("scanned.exe", content, "an older scanned.exe");
    game.Publish({"manifest_light.json"});
    const size_t mark = test::TestServer::LogMark();

    // A scanner holds the file from before the run until a few hundred milliseconds after the
    // checked copy is ready beside it.
    faults::FileHolder holder;
    ASSERT_TRUE(holder.Hold(game.Local("scanned.exe")));
    std::thread release([&] {
        test::WaitFor([&] { return !game.TmpFiles().empty(); }, 20000);
        Sleep(400);
        holder.Release();
    });
    Outcome run = Run(game);
    release.join();
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(game.AllCurrent());
    int downloads = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        if (r.path.rfind(game.FaultKey("scanned.exe"), 0) == 0) ++downloads;
    EXPECT_EQ(downloads, 1);
}

} // namespace
