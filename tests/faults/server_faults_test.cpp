// Update runs in this process against a server that fails in every way it can: error
// answers, connections cut in the middle of a body, wrong bodies, lengths that lie, missing
// files, answers that only trickle in, and all of them mixed. Each run must end with the
// status its outcome calls for, and while it runs and after it the game folder holds for
// every file either its manifest content or what it held before, never anything partial.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "update/update_run.h"

namespace {

using faults::FaultGame;
using faults::kFailed;
using faults::kOk;

std::string Content(uint32_t seed, size_t size) { return test::RandomBytes(size, 7000u + seed); }

class ServerFaults : public faults::InProcessRun {};

std::string Fault(const std::string& key, const std::string& body) {
    return "\"" + key + "\": " + body;
}

TEST_F(ServerFaults, EachLastingFaultEndsInFailureWithTheOldCopyIntact) {
    struct Kind {
        const char* name;
        std::string fault; // for a file of 60000 bytes
    };
    const Kind kinds[] = {
        {"status 500", "{\"status\": 500}"},
        {"cut mid-body", "{\"cut_after\": 30000}"},
        {"announced short", "{\"length\": 20000}"},
        {"wrong body, no length", "{\"no_length\": true, \"body\": \"not the file\"}"},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        game.Add("good.bin", Content(1, 50000));
        game.Add("stale.bin", Content(2, 8000), "an older stale.bin");
        game.Add("broken.bin", Content(3, 60000), "an older broken.bin");
        game.Publish({"manifest_light.json"},
                     "{" + Fault(game.FaultKey("broken.bin"), kind.fault) + "}");

        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kFailed);
        EXPECT_FALSE(run.Saw(kOk));
        EXPECT_EQ(faults::ReadShared(game.Local("broken.bin")), "an older broken.bin");
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    }
}

// Fault kinds of the mixed runs, each for a file of the given size; times is how many
// requests fail before the file is served (0: every request).
std::string MixedFault(uint32_t kind, int times, size_t size, bool* answersNotFound) {
    const std::string t = times > 0 ? ", \"times\": " + std::to_string(times) : "";
    *answersNotFound = false;
    switch (kind) {
    case 0: return "{\"status\": 500" + t + "}";
    case 1: return "{\"status\": 503" + t + "}";
    case 2: return "{\"cut_after\": " + std::to_string(size / 3) + t + "}";
    case 3: return "{\"body\": \"wrong\"" + t + "}";
    case 4: return "{\"length\": " + std::to_string(size / 2) + t + "}";
    case 5: return "{\"length\": " + std::to_string(size * 2) + t + "}";
    case 6: return "{\"trickle_bytes\": 4096, \"trickle_ms\": 15}";
    case 7: return "{\"delay_ms\": 400}";
    case 8: return "{\"no_length\": true}";
    default: *answersNotFound = true; return "{\"status\": 404}";
    }
}

struct MixedGame {
    std::string faults = "{";
    std::vector<std::string> notFound; // answered 404: counted, local copy untouched
    std::string plan;                  // what each file got, for the failure message
    std::vector<std::string> names;
};

// Thirty files with local copies of every kind (missing, stale, current) and a fault of a
// random kind on most of them. With lasting, one file gets a fault that outlasts the five
// attempts of a download.
MixedGame MakeMixed(FaultGame& game, uint32_t seed, bool lasting) {
    std::mt19937 g(seed);
    MixedGame mixed;
    const int lastingIndex = lasting ? static_cast<int>(g() % 30) : -1;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "m/file" + std::to_string(i) + ".bin";
        const size_t size = 2000 + g() % 90000;
        const std::string content = Content(100 + i + seed, size);
        mixed.names.push_back(name);
        // The file whose fault outlasts the attempts must be one the run fetches.
        switch (i == lastingIndex ? 1 : g() % 3) {
        case 0: game.Add(name, content); break;
        case 1: game.Add(name, content, "stale " + name); break;
        default: game.Add(name, content, content); break; // current: never fetched
        }
        if (g() % 5 == 0 && i != lastingIndex) continue;
        bool notFound = false;
        // Up to four failed attempts still end in a placed file; five use every attempt.
        const int times = i == lastingIndex ? 5 : 1 + static_cast<int>(g() % 4);
        const uint32_t kind = i == lastingIndex ? g() % 6 : g() % 10;
        const std::string fault = MixedFault(kind, times, size, &notFound);
        if (notFound) mixed.notFound.push_back(name);
        if (mixed.faults.size() > 1) mixed.faults += ",";
        mixed.faults += Fault(game.FaultKey(name), fault);
        mixed.plan += "\n  " + name + ": " + fault;
    }
    mixed.faults += "}";
    return mixed;
}

TEST_F(ServerFaults, MixedFaultsThatPassWithinFiveAttemptsEndWithEveryFileCurrent) {
    for (uint32_t seed : {11u, 12u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        FaultGame game(LauncherFolderFull(), NextPrefix());
        MixedGame mixed = MakeMixed(game, seed, false);
        game.Publish({"manifest_light.json"}, mixed.faults);

        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kOk) << mixed.plan;
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        // Only the files the server does not have may be other than current.
        for (const std::string& name : mixed.names) {
            const bool notFound = std::find(mixed.notFound.begin(), mixed.notFound.end(),
                                            name) != mixed.notFound.end();
            if (!notFound) {
                EXPECT_TRUE(game.IsCurrent(name)) << name << mixed.plan;
            }
        }
    }
}

TEST_F(ServerFaults, MixedFaultsWithOneThatOutlastsTheAttemptsEndInFailureAndNothingPartial) {
    for (uint32_t seed : {21u, 22u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        FaultGame game(LauncherFolderFull(), NextPrefix());
        MixedGame mixed = MakeMixed(game, seed, true);
        game.Publish({"manifest_light.json"}, mixed.faults);

        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kFailed) << mixed.plan;
        EXPECT_FALSE(run.Saw(kOk));
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        EXPECT_LT(game.CountCurrent(), 30);
    }
}

TEST_F(ServerFaults, AVerySlowTrickleArrivesWholeAndIsNeverInPlaceHalfWay) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    game.Add("slow.bin", Content(5, 48 * 1024), "an older slow.bin");
    game.Add("slow2.bin", Content(6, 20 * 1024));
    game.Add("quick.bin", Content(7, 5000));
    // 512 bytes every 40 ms: about four seconds for the larger file.
    const std::string trickle = "{\"trickle_bytes\": 512, \"trickle_ms\": 40}";
    game.Publish({"manifest_light.json"}, "{" + Fault(game.FaultKey("slow.bin"), trickle) + "," +
                                              Fault(game.FaultKey("slow2.bin"), trickle) + "}");

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(game.AllCurrent());
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
}

TEST_F(ServerFaults, ManifestFaultsEndWithTheirOwnTextsAndTouchNoFile) {
    struct Case {
        const char* fault;
        const wchar_t* status;
    };
    const Case cases[] = {
        {"{\"status\": 500}", L"Error: no se pudo descargar el manifiesto"},
        {"{\"cut_after\": 0}", L"Error: no se pudo descargar el manifiesto"},
        {"{\"body\": \"<html>Service Unavailable</html>\"}", L"Error: manifiesto invalido"},
        {"{\"trickle_bytes\": 64, \"trickle_ms\": 10}", kOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        game.Add("a.bin", Content(8, 3000), "an older a.bin");
        game.Add("b.bin", Content(9, 3000));
        game.Publish({"manifest_light.json"},
                     std::string("{\"/manifest_light.json\": ") + c.fault + "}");

        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), c.status);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        if (std::wstring(c.status) != kOk) {
            EXPECT_EQ(faults::ReadShared(game.Local("a.bin")), "an older a.bin");
        }
    }
}

TEST_F(ServerFaults, AManifestCutShortIsAFailedFetchAndTouchesNoFile) {
    // Half a manifest must never be taken for the whole game: the rows that arrived before the
    // cut are not looked at, and the run ends with the manifest error.
    FaultGame game(LauncherFolderFull(), NextPrefix());
    for (int i = 0; i < 6; ++i)
        game.Add("row" + std::to_string(i) + ".bin", Content(20 + i, 2000), "older row");
    game.Publish({"manifest_light.json"});
    const std::string manifest =
        test::ReadFileBytes(game.ServerRoot() + L"\\manifest_light.json");
    const size_t cut = manifest.find("row3.bin"); // inside the fourth row
    ASSERT_NE(cut, std::string::npos);
    game.Publish({"manifest_light.json"}, "{\"/manifest_light.json\": {\"cut_after\": " +
                                              std::to_string(cut) + "}}");

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), L"Error: no se pudo descargar el manifiesto");
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    for (int i = 0; i < 6; ++i) {
        const std::string name = "row" + std::to_string(i) + ".bin";
        EXPECT_EQ(faults::ReadShared(game.Local(name)), "older row") << name;
    }
}

} // namespace
