// A file whose full path is past 300 characters, in a game folder whose own path is near the
// longest a program can be started from: the full download installs it, and the light run
// that follows finds it in line. The run is a process of its own started from that folder,
// since the launcher's folder is where its executable stands.
#include <gtest/gtest.h>

#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

TEST(LongPaths, AFileThreeHundredCharactersDeepInstallsAndVerifies) {
    test::TempDir base(L"long");
    std::wstring folder = base.Path();
    for (wchar_t c = L'a'; folder.size() < 200; ++c) {
        folder += L"\\" + std::wstring(std::min<size_t>(60, 201 - folder.size()), c);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << test::Narrow(folder);
    }
    const std::wstring exe = folder + L"\\ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));
    {
        FaultGame game(folder);
        game.AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe)});
        game.AllowExtra(L"Log\\inst_done", {""});
        const std::string name =
            "data/" + std::string(60, 'm') + "/" + std::string(40, 'n') + ".bin";
        game.Add(name, test::RandomBytes(70000, 71));
        game.Publish({"manifest_full.json", "manifest_light.json"});
        ASSERT_GT(game.Local(name).size(), 300u);

        test::TempDir results(L"results");
        const auto run = [&](const char* manifest, const wchar_t* mode) {
            test::ChildProcess process;
            const std::wstring result = results / (std::wstring(mode) + L".txt");
            EXPECT_TRUE(
                faults::StartRunner(process, exe, game.ManifestUrl(manifest), mode, result));
            return faults::WaitRunner(process, result, 60000).Final();
        };
        EXPECT_EQ(run("manifest_full.json", L"FULL"), L"Archivos OK!");
        EXPECT_TRUE(game.IsCurrent(name));
        const size_t mark = test::TestServer::LogMark();
        EXPECT_EQ(run("manifest_light.json", L"LIGHT"), L"Archivos OK!");
        for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
            EXPECT_EQ(r.path.find("/update/"), std::string::npos) << r.path;
        const std::vector<std::string> problems = game.Problems(false);
        EXPECT_TRUE(problems.empty()) << faults::Join(problems);
    }
}

} // namespace
