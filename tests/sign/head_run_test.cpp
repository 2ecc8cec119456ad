// A launcher built with release heads, cacheable content and the test keys A and B, running
// whole update runs and the display fetch in-process against the server roots of
// head_samples.py: two releases of a small game, A and B, reached only through
// heads/<channel>.json and the objects it names. A refused head or manifest must leave the
// game's files as they were.
// Argument: the samples folder (a Unix path; seen through drive Z:).
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "net/json.h"
#include "net/release_head.h"
#include "net/signature.h"
#include "support/test_support.h"
#include "update/update_run.h"
#include "webpanel/display_info.h"

namespace {

std::wstring SamplesFolder() {
    const std::vector<std::wstring> args = test::ProgramArguments();
    return args.empty() ? std::wstring() : args.front();
}

const std::wstring& Samples() {
    static const std::wstring folder = SamplesFolder();
    return folder;
}

const wchar_t kOk[] = L"Archivos OK!";

class HeadRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Samples().empty()) << "pass the samples folder as the program's argument";
        ASSERT_TRUE(SigningEnabled());
        ASSERT_TRUE(ReleaseHeadEnabled());
        test::ResetRunState();
        ForgetReleaseForTesting();
        test::RemoveTree(LauncherFolderFull() + L"\\hg");
        test::RemoveTree(ParentFolderOf(InstDonePath()));
        DeleteFileW((LauncherFolderFull() + L"\\Zarvo Vestra.exe").c_str());
    }
    void TearDown() override { test::TestServer::Reset(); }

    // One start against the case: a light run (the head fetched anew), its final status.
    std::wstring Start(const wchar_t* sampleCase, const std::string& faults = "") {
        test::TestServer::Configure(Samples() + L"\\" + sampleCase, faults);
        ForgetReleaseForTesting();
        RunUpdateWithManifestUrl(test::TestServer::HttpsBase() + L"/manifest_light.json", L"LIGHT");
        return CurrentStatusText();
    }
    // Which release the game's files are now: "A", "B", or "" for neither.
    std::string Installed() {
        const std::string text = test::ReadFileBytes(LauncherFolderFull() + L"\\hg\\b.txt");
        for (const char* release : {"A", "B"})
            if (!text.empty() && text == test::ReadFileBytes(Samples() + L"\\release_" +
                                                             test::Widen(release) + L".txt"))
                return release;
        return {};
    }
    // The game's files with their sizes and write times.
    std::map<std::wstring, std::string> GameFiles() {
        std::map<std::wstring, std::string> files;
        for (const wchar_t* name :
             {L"hg\\b.txt", L"hg\\data\\a.bin", L"hg\\b.txt.tmp", L"hg\\data\\a.bin.tmp"})
            files[name] = test::ReadFileBytes(LauncherFolderFull() + L"\\" + name);
        return files;
    }
    std::string Page() {
        bool enabled = false;
        std::wstring url;
        if (!FetchDisplayInfo(enabled, url) || !enabled) return {};
        return test::Narrow(url);
    }
};

TEST_F(HeadRun, ReleasesRollbackRolloutAndChannelsEndWithTheirFiles) {
    ASSERT_EQ(Start(L"rel1"), kOk);
    EXPECT_EQ(Installed(), "A");
    ASSERT_EQ(Start(L"rel2"), kOk);
    EXPECT_EQ(Installed(), "B");
    EXPECT_EQ(Page(), "https://localhost/release-B");

    // Nothing new: the head alone, the manifest it names being the one kept.
    size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(Start(L"rel2"), kOk);
    const std::vector<test::LoggedRequest> requests = test::TestServer::RequestsSince(mark);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/heads/live.json");

    // A rollback is a higher head naming the older manifests, signed long ago.
    ASSERT_EQ(Start(L"rollback"), kOk);
    EXPECT_EQ(Installed(), "A");
    EXPECT_EQ(test::ReadFileBytes(ReleaseMarkerPath("live")), "3");

    // Release 5 handed to no install yet: this one stays on the previous release, A.
    ASSERT_EQ(Start(L"rel2"), L"Error: manifiesto obsoleto");
    ASSERT_EQ(Start(L"held_back"), kOk);
    EXPECT_EQ(Installed(), "A");
    EXPECT_EQ(Page(), "https://localhost/release-A");

    // The channel named on the command line is kept; switching is an update like any other.
    SetUp();
    ASSERT_EQ(Start(L"beta"), kOk);
    EXPECT_EQ(Installed(), "B");
    EXPECT_FALSE(RememberReleaseChannel(L"../live"));
    ASSERT_TRUE(RememberReleaseChannel(L"beta"));
    EXPECT_EQ(ReleaseChannel(), "beta");
    ASSERT_EQ(Start(L"beta"), kOk);
    EXPECT_EQ(Installed(), "A");
    ASSERT_TRUE(RememberReleaseChannel(L"live"));
    ASSERT_EQ(Start(L"beta"), kOk);
    EXPECT_EQ(Installed(), "B");
}

TEST_F(HeadRun, RefusedHeadsAndManifestsPlaceNothing) {
    struct Case {
        const wchar_t* name;
        const wchar_t* status;
    };
    // With release A installed: release 4 naming B with a manifest whose object holds other
    // bytes, or none at all (an upload cut after the head). Then, with release 2 installed,
    // release 1 again, an expired and an unsigned head.
    const std::vector<std::pair<const wchar_t*, std::vector<Case>>> rounds = {
        {L"rel1",
         {{L"mismatch", L"Error: no se pudo descargar el manifiesto"},
          {L"missing", L"Error: no se pudo descargar el manifiesto"}}},
        {L"rel2",
         {{L"rel1", L"Error: manifiesto obsoleto"},
          {L"expired", L"Error: manifiesto caducado"},
          {L"unsigned", L"Error: firma del manifiesto invalida"}}}};
    for (const auto& [installed, cases] : rounds) {
        SetUp();
        ASSERT_EQ(Start(installed), kOk);
        const std::string release = Installed();
        for (const Case& c : cases) {
            SCOPED_TRACE(test::Narrow(c.name));
            const auto before = GameFiles();
            EXPECT_EQ(Start(c.name), c.status);
            EXPECT_TRUE(State().actionButtonVisible.load());
            EXPECT_EQ(GameFiles(), before);
            EXPECT_EQ(Installed(), release);
        }
    }
    EXPECT_EQ(Page(), ""); // the unsigned head shows no page either
}

// The time of a logged request, from its raw line.
double RequestTime(const test::LoggedRequest& request) {
    const size_t at = request.line.find("\"t\": ");
    return at == std::string::npos ? 0 : std::stod(request.line.substr(at + 5));
}

TEST_F(HeadRun, ABusyServerIsAskedAgainOnlyAfterItsRetryAfter) {
    size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(Start(L"rel2", R"({"/heads/live.json": {"status": 503, "times": 1,
                                 "headers": {"Retry-After": "2"}}})"),
              kOk);
    std::vector<test::LoggedRequest> heads;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        if (r.path == "/heads/live.json") heads.push_back(r);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_GE(RequestTime(heads[1]) - RequestTime(heads[0]), 2.0);
    EXPECT_EQ(Installed(), "B");

    // A wait beyond the bound is not waited for: the start gives up at once.
    mark = test::TestServer::LogMark();
    EXPECT_EQ(Start(L"rel1", R"({"/heads/live.json": {"status": 429,
                                 "headers": {"Retry-After": "3600"}}})"),
              L"Error: no se pudo descargar el manifiesto");
    EXPECT_EQ(test::TestServer::RequestsSince(mark).size(), 1u);
}

} // namespace
