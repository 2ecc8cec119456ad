// A launcher built with the test keys A and B (keys/test_keys_ab.pub.pem), running whole
// update runs and the display fetch in-process against the publications of
// signed_samples.py on the HTTPS test server. Every refusal must leave the game folder as it
// was: no file, no ".tmp", no remembered serial.
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
#include "support/test_support.h"
#include "update/manifest.h"
#include "net/signature.h"
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

// Every file under the launcher folder with its size and last write time.
void ListTree(const std::wstring& folder, const std::wstring& relative,
              std::map<std::wstring, std::pair<uint64_t, uint64_t>>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[relative + name + L"\\"] = {0, 0};
            ListTree(folder + L"\\" + name, relative + name + L"\\", out);
        } else {
            out[relative + name] = {(uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                                    (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                        data.ftLastWriteTime.dwLowDateTime};
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::map<std::wstring, std::pair<uint64_t, uint64_t>> GameFolder() {
    std::map<std::wstring, std::pair<uint64_t, uint64_t>> tree;
    ListTree(LauncherFolderFull(), L"", tree);
    // The run log tells of every run, a refused one too: it is no file of the game.
    tree.erase(L"Log\\run.log");
    tree.erase(L"Log\\run.log.1");
    // ... nor is the folder made for it, when it holds nothing else.
    const auto next = tree.upper_bound(L"Log\\");
    if (next == tree.end() || next->first.rfind(L"Log\\", 0) != 0) tree.erase(L"Log\\");
    return tree;
}

class SignedRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Samples().empty()) << "pass the samples folder as the program's argument";
        ASSERT_TRUE(SigningEnabled());
        test::ResetRunState();
        test::RemoveTree(LauncherFolderFull() + L"\\sg");
        test::RemoveTree(ParentFolderOf(InstDonePath()));
        DeleteFileW((LauncherFolderFull() + L"\\Zarvo Vestra.exe").c_str());
    }
    void TearDown() override { test::TestServer::Reset(); }

    // A full run over the case's manifest_full.json; the final status.
    std::wstring RunFull(const std::wstring& sampleCase) {
        test::TestServer::Configure(Samples() + L"\\" + sampleCase);
        RunUpdateWithManifestUrl(test::TestServer::HttpsBase() + L"/manifest_full.json", L"FULL");
        return CurrentStatusText();
    }
    bool FetchDisplay(const std::wstring& sampleCase, std::wstring* url) {
        test::TestServer::Configure(Samples() + L"\\" + sampleCase);
        bool enabled = false;
        return FetchDisplayInfo(enabled, *url) && enabled;
    }
    std::string Local(const std::wstring& path) {
        return test::ReadFileBytes(LauncherFolderFull() + L"\\" + path);
    }
    std::string Served(const std::wstring& sampleCase, const std::wstring& path) {
        return test::ReadFileBytes(Samples() + L"\\" + sampleCase + L"\\update\\" + path);
    }
};

TEST_F(SignedRun, PublicationsSignedWithEitherBuiltInKeyInstallWithTheirSha256) {
    for (const wchar_t* sampleCase : {L"good", L"key_b"}) {
        SCOPED_TRACE(test::Narrow(sampleCase));
        SetUp();
        EXPECT_EQ(RunFull(sampleCase), L"Archivos OK!");
        EXPECT_EQ(Local(L"sg\\data\\a.bin"), Served(sampleCase, L"sg\\data\\a.bin"));
        EXPECT_EQ(Local(L"sg\\b.txt"), Served(sampleCase, L"sg\\b.txt"));
        EXPECT_TRUE(FileExists(InstDonePath()));
        ASSERT_EQ(State().manifestEntries.size(), 3u);
        for (const ManifestEntry& e : State().manifestEntries)
            EXPECT_EQ(e.sha256.size(), 64u);
        EXPECT_FALSE(Local(L"Log\\manifest_full.serial").empty());
        std::wstring url;
        EXPECT_TRUE(FetchDisplay(sampleCase, &url));
        EXPECT_EQ(test::Narrow(url), test::ReadFileBytes(Samples() + L"\\page.txt"));
    }
}

TEST_F(SignedRun, BadSignaturesAndExpiredDocumentsAreRefusedWithNothingChanged) {
    struct Case {
        const wchar_t* name;
        const wchar_t* status;
    };
    for (const Case& c : {Case{L"flipped", L"Error: firma del manifiesto invalida"},
                          Case{L"wrong_key", L"Error: firma del manifiesto invalida"},
                          Case{L"unsigned", L"Error: firma del manifiesto invalida"},
                          Case{L"expired", L"Error: manifiesto caducado"}}) {
        SCOPED_TRACE(test::Narrow(c.name));
        SetUp();
        const auto before = GameFolder();
        EXPECT_EQ(RunFull(c.name), c.status);
        EXPECT_TRUE(State().actionButtonVisible.load()); // the button is offered again
        EXPECT_FALSE(State().updateRunning.load());
        // The light manifest is refused the same way.
        RunUpdateWithManifestUrl(test::TestServer::HttpsBase() + L"/manifest_light.json", L"LIGHT");
        EXPECT_EQ(CurrentStatusText(), c.status);
        std::wstring url;
        EXPECT_FALSE(FetchDisplay(c.name, &url)); // the panel stays hidden
        EXPECT_EQ(GameFolder(), before);
    }
}

TEST_F(SignedRun, AnOlderSerialThanOneAcceptedBeforeIsRefused) {
    ASSERT_EQ(RunFull(L"old"), L"Archivos OK!"); // never anything newer seen: accepted
    ASSERT_EQ(RunFull(L"good"), L"Archivos OK!");
    std::wstring url;
    ASSERT_TRUE(FetchDisplay(L"good", &url));
    const auto before = GameFolder();
    EXPECT_EQ(RunFull(L"old"), L"Error: manifiesto obsoleto");
    EXPECT_FALSE(FetchDisplay(L"old", &url));
    EXPECT_EQ(GameFolder(), before);
    // The same serial again is fine: a launcher fetches the current manifest at every start.
    EXPECT_EQ(RunFull(L"good"), L"Archivos OK!");
}

TEST_F(SignedRun, AFileWhoseMd5MatchesButSha256DoesNotIsNeverPlaced) {
    EXPECT_EQ(RunFull(L"sha_wrong"), L"Error: fallo la descarga");
    EXPECT_FALSE(test::PathExists(LauncherFolderFull() + L"\\sg\\data\\a.bin"));
    EXPECT_FALSE(test::PathExists(LauncherFolderFull() + L"\\sg\\data\\a.bin.tmp"));
    for (const ManifestEntry& e : State().manifestEntries)
        if (e.path == L"sg/data/a.bin") {
            EXPECT_EQ(e.hash, test::Md5Hex(Served(L"sha_wrong", L"sg\\data\\a.bin")));
        }
    // The other files were right and are in place; no installation marker.
    EXPECT_EQ(Local(L"sg\\b.txt"), Served(L"sha_wrong", L"sg\\b.txt"));
    EXPECT_FALSE(FileExists(InstDonePath()));
}

TEST(SignedManifest, RowsWithoutAWellFormedSha256AreDropped) {
    const std::string sha(64, 'a');
    const std::string body =
        "{\"files\": [\n"
        "{\"path\": \"ok.bin\", \"hash\": \"" +
        std::string(32, '0') + "\", \"size\": 1, \"sha256\": \"" + std::string(64, 'A') +
        "\"},\n"
        "{\"path\": \"none.bin\", \"hash\": \"" +
        std::string(32, '0') +
        "\", \"size\": 1},\n"
        "{\"path\": \"short.bin\", \"hash\": \"" +
        std::string(32, '0') + "\", \"sha256\": \"" + sha.substr(1) +
        "\"},\n"
        "{\"path\": \"nothex.bin\", \"hash\": \"" +
        std::string(32, '0') + "\", \"sha256\": \"" + std::string(63, 'a') + "g\"}\n]}\n";
    ASSERT_TRUE(ParseManifest(body));
    ASSERT_EQ(State().manifestEntries.size(), 1u);
    EXPECT_EQ(State().manifestEntries[0].path, L"ok.bin");
    EXPECT_EQ(State().manifestEntries[0].sha256, sha); // lowered like the MD5
}

} // namespace
