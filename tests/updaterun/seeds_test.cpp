// Files whose bytes are already in the game folder: moved files copied from where the previous
// release kept them, duplicates copied from their twin, a repacked file built from the blocks
// of the files it was made of; and what may not be trusted on the way (a damaged kept
// manifest, a seed being written, a seed that is a link).
#include <gtest/gtest.h>

#include <sstream>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "patch/make_index.h"
#include "update/kept_manifest.h"
#include "updaterun/update_scenario.h"

using test::UpdateScenario;

namespace {

std::string Bytes(size_t size, uint32_t seed) {
    return test::RandomBytes(size, seed);
}

std::string Row(const std::string& path, const std::string& content) {
    return "{\"path\": " + test::JsonQuote(path) + ", \"hash\": \"" + test::Md5Hex(content) +
           "\", \"size\": " + std::to_string(content.size()) + ", \"version\": 1}";
}

// Keeps a light manifest listing these rows, as a good run before this one would have.
void KeepPrevious(const std::vector<std::string>& rows) {
    std::string body = "{\"files\": [";
    for (size_t i = 0; i < rows.size(); ++i)
        body += (i ? ", " : "") + rows[i];
    SaveKeptManifest("manifest_light.json", body + "]}");
}

// The requests for game files since mark, and the bytes their Range headers asked for (a
// request without one counts as its whole file, size given by whole).
struct Wire {
    std::vector<std::string> files;
    uint64_t rangedBytes = 0;
    int wholeRequests = 0;
};
Wire WireSince(size_t mark) {
    Wire wire;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        wire.files.push_back(r.path.substr(8, r.path.find('?') - 8));
        std::string range;
        for (const auto& [key, value] : r.headers)
            if (key == "Range") range = value;
        if (range.empty()) {
            ++wire.wholeRequests;
            continue;
        }
        std::stringstream list(range.substr(range.find('=') + 1));
        for (std::string part; std::getline(list, part, ',');) {
            const size_t dash = part.find('-');
            wire.rangedBytes += std::stoull(part.substr(dash + 1)) - std::stoull(part) + 1;
        }
    }
    return wire;
}

// The number of names the file at path has and its index on its volume; {0, 0} when it
// cannot be opened.
std::pair<DWORD, uint64_t> LinksAndIndex(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.Get(), &info)) return {0, 0};
    return {info.nNumberOfLinks, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

class Seeds : public ::testing::Test {
protected:
    void SetUp() override {
        LauncherState& s = State();
        s.updateRunning = false;
        s.cancelRequested = false;
        SetStatusText(L"");
        DeleteFileW(KeptManifestPath("manifest_light.json").c_str());
        DeleteFileW(KeptManifestPath("manifest_full.json").c_str());
    }
    void TearDown() override {
        DeleteFileW(KeptManifestPath("manifest_light.json").c_str());
        DeleteFileW(KeptManifestPath("manifest_full.json").c_str());
    }

    // A file of the previous release, on disk at its old path, no longer listed.
    std::string Old(const std::string& name, const std::string& content) {
        EXPECT_TRUE(test::WriteFileBytes(game.LocalPath(name), content));
        return Row(game.Path(name), content);
    }

    UpdateScenario game;
};

TEST_F(Seeds, AMovedFolderIsCopiedLocallyAndTheOldOneStays) {
    std::vector<std::string> previous;
    for (int i = 0; i < 4; ++i) {
        const std::string content = Bytes(300000 + i, 10 + i);
        previous.push_back(Old("before/f" + std::to_string(i), content));
        game.AddFile("after/f" + std::to_string(i), content);
    }
    KeepPrevious(previous);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_TRUE(WireSince(mark).files.empty());
    for (int i = 0; i < 4; ++i) {
        const std::string content = Bytes(300000 + i, 10 + i);
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath("after/f" + std::to_string(i))), content);
        // Without the retired-files option nothing is removed.
        EXPECT_EQ(test::ReadFileBytes(game.LocalPath("before/f" + std::to_string(i))), content);
    }
    // This run is now the previous release.
    EXPECT_EQ(LoadKeptManifest("manifest_light.json").size(), 4u);
}

TEST_F(Seeds, ADuplicateComesFromItsTwin) {
    const std::string content = Bytes(2u << 20, 3);
    game.AddFile("lib/one.dll", content, "same");
    game.AddFile("bin/two.dll", content);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_TRUE(WireSince(mark).files.empty());
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("bin/two.dll")), content);
}

TEST_F(Seeds, ARepackIsBuiltFromTheBlocksOfTheDroppedPacks) {
    const std::string a = Bytes(2u << 20, 21), b = Bytes(1u << 20, 22);
    const std::string pack = Bytes(4096, 23) + a + Bytes(4096, 24) + b;
    KeepPrevious({Old("packs/a.pak", a), Old("packs/b.pak", b)});
    game.AddFile("repacked/all.pak", pack);
    ASSERT_TRUE(test::WriteFileBytes(game.ServerRoot() + L"\\blocks\\" +
                                         test::Widen(game.Path("repacked/all.pak")) + L".zbi",
                                     test::MakeBlockIndex(pack, 4096)));
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("repacked/all.pak")), pack);
    const Wire wire = WireSince(mark);
    EXPECT_EQ(wire.wholeRequests, 0);
    // The two headers, and at most a block beside each: within 3% of the moved bytes.
    EXPECT_LE(wire.rangedBytes, 4u * 4096);
    EXPECT_LE(wire.rangedBytes * 100, (a.size() + b.size()) * 3);
}

TEST_F(Seeds, ADamagedKeptManifestIsIgnoredAndWrittenAnew) {
    const std::string content = Bytes(100000, 31);
    KeepPrevious({Old("was/here.bin", content)});
    std::string kept = test::ReadFileBytes(KeptManifestPath("manifest_light.json"));
    kept[kept.size() / 2] ^= 1;
    ASSERT_TRUE(test::WriteFileBytes(KeptManifestPath("manifest_light.json"), kept));
    EXPECT_TRUE(LoadKeptManifest("manifest_light.json").empty());

    game.AddFile("now/here.bin", content);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(WireSince(mark).files, std::vector<std::string>{game.Path("now/here.bin")});
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("now/here.bin")), content);
    EXPECT_EQ(LoadKeptManifest("manifest_light.json").size(), 1u);
}

TEST_F(Seeds, ASeedBeingWrittenOrChangedIsPassedBy) {
    const std::string first = Bytes(200000, 41), second = Bytes(200000, 42);
    // One seed held open for writing by another program, one changed since it was kept.
    KeepPrevious({Old("old/held.bin", first), Old("old/changed.bin", second)});
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("old/changed.bin"), second + "x"));
    FileHandle writer(CreateFileW(game.LocalPath("old/held.bin").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    game.AddFile("new/held.bin", first);
    game.AddFile("new/changed.bin", second);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(WireSince(mark).files.size(), 2u);
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("new/held.bin")), first);
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("new/changed.bin")), second);
}

TEST_F(Seeds, ASeedThatIsALinkIsNotFollowed) {
    const std::string content = Bytes(150000, 51);
    test::TempDir outside(L"outside");
    ASSERT_TRUE(test::WriteFileBytes(outside / L"target.bin", content));
    const std::wstring link = game.LocalPath("old/link.bin");
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("old/keep"), "x"));
    ASSERT_TRUE(test::MakeLink(link, outside / L"target.bin", false));
    KeepPrevious({Row(game.Path("old/link.bin"), content)});
    game.AddFile("new/file.bin", content);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(WireSince(mark).files, std::vector<std::string>{game.Path("new/file.bin")});
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("new/file.bin")), content);
    DeleteFileW(link.c_str());
}

// A dropped file that no longer holds what its row says, at the same length: the new file
// comes from the server, and the old one keeps its own bytes and stays a file of its own.
TEST_F(Seeds, ASeedWhoseDigestFailsIsNeverLinkedNorWrittenThrough) {
    const std::string listed = Bytes(300000, 61), onDisk = Bytes(300000, 62);
    KeepPrevious({Row(game.Path("old/a.bin"), listed)});
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath("old/a.bin"), onDisk));
    game.AddFile("new/a.bin", listed);
    game.Publish();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("new/a.bin")), listed);
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("old/a.bin")), onDisk);
    EXPECT_EQ(LinksAndIndex(game.LocalPath("old/a.bin")).first, 1u);
    EXPECT_NE(LinksAndIndex(game.LocalPath("old/a.bin")).second,
              LinksAndIndex(game.LocalPath("new/a.bin")).second);
}

// A light run's rows are not the whole game: a file the kept full manifest lists stays a file
// of the game, so a new file with its content is a copy, never a second name of it.
TEST_F(Seeds, AFileTheFullManifestStillListsIsCopiedNotLinked) {
    const std::string content = Bytes(250000, 63);
    const std::string row = Old("live/settings.bin", content);
    SaveKeptManifest("manifest_full.json", "{\"files\": [" + row + "]}");
    game.AddFile("new/settings.bin", content);
    game.Publish();
    const size_t mark = test::TestServer::LogMark();
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_TRUE(WireSince(mark).files.empty());
    EXPECT_EQ(test::ReadFileBytes(game.LocalPath("new/settings.bin")), content);
    EXPECT_EQ(LinksAndIndex(game.LocalPath("live/settings.bin")).first, 1u);
    EXPECT_EQ(LinksAndIndex(game.LocalPath("new/settings.bin")).first, 1u);
}

} // namespace
