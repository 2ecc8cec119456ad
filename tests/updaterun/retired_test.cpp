// Retired files, in a build that removes them: after a good run only the files the previous
// release listed and this one does not go, with the folders that leaves empty; nothing the
// launcher did not list, nothing through a link out of the game folder, and nothing at all
// after a failed run. The default build's side: seeds_test.cpp (a moved folder stays).
#include <gtest/gtest.h>

#include <map>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/kept_manifest.h"
#include "update/retired_files.h"
#include "update/update_run.h"
#include "updaterun/update_scenario.h"

using test::UpdateScenario;

namespace {

std::string Row(const std::string& path, const std::string& content) {
    return "{\"path\": " + test::JsonQuote(path) + ", \"hash\": \"" + test::Md5Hex(content) +
           "\", \"size\": " + std::to_string(content.size()) + ", \"version\": 1}";
}

class Retired : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(RemovesRetiredFiles());
        State().updateRunning = false;
        State().cancelRequested = false;
        DeleteFileW(KeptManifestPath("manifest_light.json").c_str());
        DeleteFileW(KeptManifestPath("manifest_full.json").c_str());
    }
    void TearDown() override {
        DeleteFileW(KeptManifestPath("manifest_light.json").c_str());
        DeleteFileW(KeptManifestPath("manifest_full.json").c_str());
    }
    // On disk, and listed by the kept manifest of that name.
    void Listed(const std::string& name, const char* manifest = "light") {
        ASSERT_TRUE(test::WriteFileBytes(game.LocalPath(name), "old " + name));
        rows[manifest].push_back(Row(game.Path(name), "old " + name));
    }
    void Keep() {
        for (const auto& [manifest, list] : rows) {
            std::string body = "{\"files\": [";
            for (size_t i = 0; i < list.size(); ++i)
                body += (i ? ", " : "") + list[i];
            SaveKeptManifest("manifest_" + manifest + ".json", body + "]}");
        }
    }

    UpdateScenario game;
    std::map<std::string, std::vector<std::string>> rows;
};

TEST_F(Retired, OnlyListedFilesGoAndTheFoldersTheyLeaveEmpty) {
    Listed("gone/deep/a.bin");
    Listed("gone/b.bin");
    // One whose full path is long enough for the "\\?\" form, yet short enough for every
    // look the removal takes under Wine.
    Listed("gone/" + std::string(230 - game.LocalPath("gone/").size(), 'l'));
    Listed("mixed/c.bin");
    Listed("still/in_full.bin");
    Listed("other/in_kept_full.bin", "full");
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("mixed/players_own.cfg"), "mine"));
    // A folder that leads out of the game folder, with a file the old release named in it.
    test::TempDir outside(L"outside");
    ASSERT_TRUE(test::WriteFileBytes(outside / L"x.bin", "outside"));
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("keep.txt"), "x"));
    ASSERT_TRUE(test::MakeLink(game.LocalPath("away"), outside.Path(), true));
    rows["light"].push_back(Row(game.Path("away/x.bin"), "outside"));
    rows["light"].push_back(Row("Log/kept_manifest_full.json", "x"));
    Keep();
    game.AddFile("kept/new.bin", "new", "same");
    game.Publish();
    // The full manifest of the same release lists one more file than the light one.
    game.AddFile("still/in_full.bin", "now in full only", "same");
    game.Publish("manifest_full.json");

    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_FALSE(test::PathExists(game.LocalPath("gone")));
    EXPECT_FALSE(test::PathExists(game.LocalPath("mixed/c.bin")));
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("mixed/players_own.cfg")), "mine");
    // A light run keeps what the full manifest lists: the light one lists only part of the game.
    EXPECT_TRUE(test::PathExists(game.LocalPath("still/in_full.bin")));
    EXPECT_TRUE(test::PathExists(game.LocalPath("other/in_kept_full.bin")));
    EXPECT_EQ(test::ReadFileBytes(outside / L"x.bin"), "outside");
    RemoveDirectoryW(game.LocalPath("away").c_str());
    DeleteFileW(game.LocalPath("away").c_str());
    EXPECT_FALSE(LoadKeptManifest("manifest_full.json").empty());
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("kept/new.bin")), "new");
}

TEST_F(Retired, ALightRunDeletesNothingWhenTheFullManifestCannotConfirm) {
    Listed("gone/a.bin");
    Keep();
    game.AddFile("new/b.bin", "new", "same");
    game.Publish(); // and no full manifest on the server
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_TRUE(test::PathExists(game.LocalPath("gone/a.bin")));
}

TEST_F(Retired, AFailedRunDeletesNothing) {
    Listed("gone/a.bin");
    Keep();
    const std::string before = test::ReadFileBytes(KeptManifestPath("manifest_light.json"));
    game.AddFile("new/b.bin", "new");
    game.Publish("manifest_light.json",
                 "{\"/update/" + game.Path("new/b.bin") + "\": {\"status\": 500}}");
    EXPECT_EQ(test::RunLight(game), L"Error: fallo la descarga");
    EXPECT_TRUE(test::PathExists(game.LocalPath("gone/a.bin")));
    EXPECT_EQ(test::ReadFileBytes(KeptManifestPath("manifest_light.json")), before);
}

// A release that named a file under another spelling than this one names it (a "." part, a
// trailing dot, an empty part, another letter case, its short name) named the same file: it
// is no retired file, on the light path as on the full one. And a release that names a
// listed file under such a spelling retires nothing.
TEST_F(Retired, AListedFileIsNeverRetiredUnderAnotherSpelling) {
    for (const char* manifest : {"light", "full"}) {
        UpdateScenario release;
        rows.clear();
        const std::string names[] = {"data/x.dll", "data/y.dll", "data/z.dll", "datafile_long.pak",
                                     "w.bin"};
        for (const std::string& name : names)
            release.AddFile(name, "now " + name, "same");
        wchar_t shortPath[MAX_PATH] = {};
        ASSERT_GT(
            GetShortPathNameW(release.LocalPath("datafile_long.pak").c_str(), shortPath, MAX_PATH),
            0u);
        const std::wstring alias = shortPath;
        ASSERT_NE(alias.find(L'~'), std::wstring::npos) << test::Narrow(alias);
        for (const std::string& spelling :
             {release.Path("data/./x.dll"), release.Path("data/y.dll."),
              release.Path("data//z.dll"), release.Path("DATA/Z.DLL"),
              release.Path(test::Narrow(alias.substr(alias.rfind(L'\\') + 1))),
              "./" + release.Path("w.bin"), release.Path("w.bin ")})
            rows[manifest].push_back(Row(spelling, "old"));
        Keep();
        release.Publish("manifest_" + std::string(manifest) + ".json");
        if (std::string(manifest) == "light") release.Publish("manifest_full.json");
        const std::wstring status =
            std::string(manifest) == "light"
                ? test::RunLight(release)
                : (RunUpdateWithManifestUrl(release.ManifestUrl("manifest_full.json"), L"FULL"),
                   CurrentStatusText());
        EXPECT_EQ(status, L"Archivos OK!") << manifest;
        for (const std::string& name : names)
            EXPECT_EQ(test::ReadFileBytes(release.LocalPath(name)), "now " + name)
                << manifest << name;
    }

    // The fixture's own game this time, which Listed fills.
    rows.clear();
    Listed("data/x.dll");
    Listed("data/gone.dll");
    Keep();
    game.AddFile("data/new.bin", "new");
    game.AddEntryText(Row(game.Path("data/./x.dll"), "old data/x.dll"));
    game.Publish();
    game.Publish("manifest_full.json");
    EXPECT_EQ(test::RunLight(game), L"Error: manifiesto invalido");
    EXPECT_TRUE(test::PathExists(game.LocalPath("data/x.dll")));
    EXPECT_TRUE(test::PathExists(game.LocalPath("data/gone.dll")));
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("data/new.bin")), "new");
}

} // namespace
