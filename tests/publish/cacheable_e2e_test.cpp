// A launcher of the default build updating itself to one built with LAUNCHER_CACHEABLE_CONTENT
// from a publication that holds both layouts: the old one takes its files from the classic
// folders, the new one, once restarted, takes the file only the objects hold from there.
#include <gtest/gtest.h>

#include "base/paths.h"
#include "e2e/launcher_fixture.h"

namespace {

TEST(CacheableLauncher, ADefaultBuildUpdatesItselfToItAndTheNewOneFetchesObjects) {
    const std::string newBuild =
        test::ReadFileBytes(LauncherFolderFull() + L"\\ZarvoLauncherCacheable.exe");
    ASSERT_FALSE(newBuild.empty());
    const std::string data = test::RandomBytes(200000, 28);
    const std::string objectOnly = test::RandomBytes(150000, 29);
    test::ServedGame game;
    game.AddFile("ZarvoLauncher.exe", newBuild);
    game.AddFile("data.bin", data);
    game.AddFile("only_object.bin", objectOnly);
    game.Publish("manifest_light.json");
    // Both layouts for the first two; the third only as an object, which the old launcher
    // cannot find (a 404 leaves a file out of its run) and the new one must.
    for (const std::string* content : {&newBuild, &data, &objectOnly}) {
        ASSERT_TRUE(test::WriteFileBytes(
            game.Root() + L"\\objects\\" + test::Widen(test::Md5Hex(*content)), *content));
    }
    DeleteFileW((game.Root() + L"\\update\\only_object.bin").c_str());
    const size_t mark = test::TestServer::LogMark();

    test::LauncherRun run;
    run.PlaceClientFile();
    ASSERT_TRUE(test::WriteFileBytes(run / L"Log\\inst_done", ""));
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitExit(60000)) << "the old launcher did not restart";
    EXPECT_EQ(test::ReadFileBytes(run.ExePath()), newBuild);
    EXPECT_EQ(test::ReadFileBytes(run / L"data.bin"), data);
    const bool fetched = test::WaitFor(
        [&] { return test::ReadFileBytes(run / L"only_object.bin") == objectOnly; }, 60000);
    test::PumpMessages(1000);
    test::KillProcessesUnder(run.Folder());
    EXPECT_TRUE(fetched) << "the new launcher did not fetch the object";

    std::vector<std::string> files, manifests;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.rfind("/manifest_light.json?nocache=", 0) == 0)
            manifests.push_back(r.path);
        else if (r.path.rfind("/displayinfo.json?nocache=", 0) != 0)
            files.push_back(r.path);
    }
    EXPECT_EQ(manifests.size(), 2u);
    // The old build: the classic folders, each address its own; the new one: the object.
    const std::string object = "/objects/" + test::Md5Hex(objectOnly);
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.back(), object);
    for (size_t i = 0; i + 1 < files.size(); ++i) {
        EXPECT_NE(files[i].rfind("/objects/", 0), 0u) << files[i];
        EXPECT_NE(files[i].find("?nocache="), std::string::npos) << files[i];
    }
}

} // namespace
