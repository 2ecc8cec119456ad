// The fixture of the fault tests that run updates in this process: a clean launcher state
// before each test, games that keep apart in the shared launcher folder, and a run that
// records its status texts and watches the game folder throughout.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "faults/fault_support.h"
#include "update/run_log.h"
#include "update/update_run.h"
#include "update/workers.h"

namespace faults {

inline const wchar_t kOk[] = L"Archivos OK!";
inline const wchar_t kFailed[] = L"Error: fallo la descarga";

// A refused move still gets a few hundred milliseconds before its budget is spent, which the
// held-file tests need.
constexpr uint32_t kRetryPauseDivisor = 4;

class InProcessRun : public ::testing::Test {
protected:
    void SetUp() override {
        test::ResetRunState();
        logMark_ = ReadShared(RunLogPath()).size();
        // The lasting faults here spend whole retry budgets: the same attempts, shorter pauses.
        SetRetryPauseDivisorForTests(kRetryPauseDivisor);
    }
    void TearDown() override {
        // What the runs of a failed test wrote for support says why a file failed.
        if (HasFailure()) {
            const std::string log = ReadShared(RunLogPath());
            std::printf("run log:\n%s", log.substr(log.size() >= logMark_ ? logMark_ : 0).c_str());
        }
        test::TestServer::Reset();
        DeleteFileW(InstDonePath().c_str());
    }

    // A sub-folder of the launcher folder of its own for each game of a test.
    std::string NextPrefix() {
        return "faults" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter_++);
    }

    struct Outcome {
        std::vector<std::wstring> texts;
        std::vector<std::string> during, after;
        std::wstring Final() const { return texts.empty() ? L"" : texts.back(); }
        bool Saw(const wchar_t* text) const {
            return std::find(texts.begin(), texts.end(), text) != texts.end();
        }
    };

    // One light run, with the folder watched throughout.
    Outcome Run(const FaultGame& game, const std::string& manifest = "manifest_light.json") {
        Outcome out;
        StatusLog log;
        {
            FolderWatch watch(game);
            RunUpdateWithManifestUrl(game.ManifestUrl(manifest), L"LIGHT");
            watch.Stop();
            out.during = watch.Problems();
        }
        out.texts = log.Texts();
        out.after = game.Problems(false);
        return out;
    }

    // One light run over game, which must end with every file current and no ".tmp" left,
    // the folder sound throughout; the server's requests of the run come back.
    std::vector<test::LoggedRequest> RunToTheEnd(const FaultGame& game) {
        const size_t mark = test::TestServer::LogMark();
        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(game.AllCurrent());
        EXPECT_TRUE(game.TmpFiles().empty());
        EXPECT_TRUE(run.during.empty()) << Join(run.during);
        EXPECT_TRUE(run.after.empty()) << Join(run.after);
        return test::TestServer::RequestsSince(mark);
    }

    int counter_ = 0;
    size_t logMark_ = 0;
};

} // namespace faults
