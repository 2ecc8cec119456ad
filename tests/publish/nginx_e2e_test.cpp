// The real launcher against a real nginx serving the published sample game through the example
// configuration in tools/nginx/. The launcher is the one the sample game carries as
// "Zarvo Vestra.exe": the same code, built with nginx's address as its update base address, as
// a studio builds its own (see CMakeLists.txt).
// Arguments: the sample folder and nginx's working folder (Unix paths, seen through drive Z:).
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/launcher_state.h"
#include "e2e/launcher_fixture.h"
#include "net/json.h"
#include "update/manifest.h"

namespace {

std::wstring Backslashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

// %XX sequences decoded to bytes; the rest as it stands.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct LogLine {
    std::string uri;
    int status = 0;
    std::string length, encoding, location, bytes;
};

// The launcher's requests in nginx's access log (one JSON object per line, see nginx_ctl.py)
// from byte offset `from` on. Read with the launcher's own key scanner, which is enough for
// these flat lines.
std::vector<LogLine> LauncherRequests(const std::wstring& log, size_t from) {
    std::string text = test::ReadFileBytes(log);
    std::vector<LogLine> lines;
    size_t pos = from;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) break;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (ExtractJsonString(line, "agent") != "ZarvoLauncher/1.0") continue;
        lines.push_back({ExtractJsonString(line, "uri"), ExtractJsonInt(line, "status"),
                         ExtractJsonString(line, "length"), ExtractJsonString(line, "encoding"),
                         ExtractJsonString(line, "location"),
                         std::to_string(ExtractJsonInt(line, "bytes"))});
    }
    return lines;
}

bool Requested(const std::wstring& log, size_t from, const std::string& prefix) {
    for (const LogLine& l : LauncherRequests(log, from))
        if (l.uri.rfind(prefix, 0) == 0) return true;
    return false;
}

// The published full manifest's paths and sizes, read the way the launcher reads it.
std::map<std::wstring, int64_t> PublishedFiles(const std::wstring& published) {
    std::map<std::wstring, int64_t> files;
    ParseManifest(test::ReadFileBytes(published + L"\\manifest_full.json"));
    for (const ManifestEntry& e : State().manifestEntries)
        files[e.path] = e.size;
    return files;
}

// The small files of the published full manifest that also lie in a bundle, and the bundles'
// addresses.
std::set<std::wstring> BundledFiles(const std::wstring& published, std::set<std::string>* bundles) {
    std::set<std::wstring> files;
    ParseManifest(test::ReadFileBytes(published + L"\\manifest_full.json"));
    for (const ManifestEntry& e : State().manifestEntries) {
        if (e.bundle.empty()) continue;
        files.insert(e.path);
        bundles->insert("/objects/" + e.bundle + ".zbd");
    }
    return files;
}

TEST(NginxServer, ALauncherBuiltForItInstallsTheWholeGameRestartsAndFindsEverythingCurrent) {
    const std::vector<std::wstring> args = test::ProgramArguments();
    ASSERT_EQ(args.size(), 2u) << "arguments: the sample folder and nginx's working folder";
    const std::wstring game = args[0] + L"\\game";
    const std::wstring published = args[0] + L"\\published";
    const std::wstring accessLog = args[1] + L"\\access.log";
    const std::map<std::wstring, int64_t> files = PublishedFiles(published);
    ASSERT_GT(files.size(), 10u);
    std::set<std::string> bundles;
    const std::set<std::wstring> bundled = BundledFiles(published, &bundles);
    ASSERT_GT(bundled.size(), 2u);

    // A folder the launcher installed itself into, holding only the launcher: the game is
    // not installed, and the launcher runs in place.
    test::LauncherRun run;
    run.SetExeName(L"Zarvo Vestra.exe");
    ASSERT_TRUE(test::CopyFileTo(game + L"\\Zarvo Vestra.exe", run.ExePath()));
    ASSERT_TRUE(test::WriteFileBytes(run / L".zarvo_install_dir", ""));
    const size_t mark = test::ReadFileBytes(accessLog).size();

    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::WaitFor(
        [&] { return Requested(accessLog, mark, "/displayinfo.json?nocache="); }, 10000));
    test::PostClick(window, 690, 515);

    // The whole game comes from nginx, then the launcher restarts itself into a light run.
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitExit(120000, &exitCode)) << "no restart after the download";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(test::PathExists(run / L"Log\\inst_done"));
    ASSERT_TRUE(test::WaitFor(
        [&] { return Requested(accessLog, mark, "/manifest_light.json?nocache="); }, 30000));
    test::PumpMessages(2000); // the light run finds everything current and fetches nothing

    for (const auto& [path, size] : files) {
        SCOPED_TRACE(test::Narrow(path));
        const std::string local = test::ReadFileBytes(run / Backslashed(path));
        EXPECT_EQ(static_cast<int64_t>(local.size()), size);
        EXPECT_EQ(local, test::ReadFileBytes(game + L"\\" + Backslashed(path)));
    }

    // What nginx saw: GET with the nocache query, 200 only (206 for the ranges of bundles), the
    // file's length, no compression, no redirect; every game file fetched once, through its
    // bundle or its own address, except the running launcher, which is current.
    std::multiset<std::wstring> fetched;
    std::set<std::string> documents, bundlesFetched;
    for (const LogLine& l : LauncherRequests(accessLog, mark)) {
        SCOPED_TRACE(l.uri);
        EXPECT_EQ(l.encoding, "");
        EXPECT_EQ(l.location, "");
        const size_t query = l.uri.find("?nocache=");
        ASSERT_NE(query, std::string::npos);
        const std::string path = PercentDecoded(l.uri.substr(0, query));
        const bool ofBundle = path.rfind("/objects/", 0) == 0;
        EXPECT_EQ(l.status, ofBundle ? 206 : 200);
        if (ofBundle) {
            bundlesFetched.insert(path);
        } else if (path.rfind("/update/", 0) == 0) {
            const std::wstring name = test::Widen(path.substr(8));
            fetched.insert(name);
            auto it = files.find(name);
            ASSERT_NE(it, files.end()) << "not a published file";
            EXPECT_EQ(l.length, std::to_string(it->second));
        } else {
            documents.insert(path);
        }
    }
    std::multiset<std::wstring> expected;
    for (const auto& [path, size] : files)
        if (path != L"Zarvo Vestra.exe" && !bundled.count(path)) expected.insert(path);
    EXPECT_EQ(fetched, expected);
    EXPECT_EQ(bundlesFetched, bundles);
    EXPECT_EQ(documents, (std::set<std::string>{"/displayinfo.json", "/manifest_full.json",
                                                "/manifest_light.json"}));

    // An older copy of the big archive (100 bytes more near its start, a span changed in the
    // middle) and an interrupted installation: the next start patches the archive through its
    // block index with byte ranges from nginx instead of fetching it whole.
    test::KillProcessesUnder(run.Folder());
    const std::wstring pak = run / L"data\\pak0.pak";
    const std::string current = test::ReadFileBytes(pak);
    ASSERT_GT(current.size(), 2u << 20);
    std::string older = current;
    older.insert(5000, std::string(100, 'o'));
    older.replace(older.size() / 2, 20000, test::RandomBytes(20000, 9));
    ASSERT_TRUE(test::WriteFileBytes(pak, older));
    ASSERT_TRUE(DeleteFileW((run / L"Log\\inst_done").c_str()));
    const size_t patchMark = test::ReadFileBytes(accessLog).size();
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitExit(120000, &exitCode)) << "no restart after the resumed download";
    test::KillProcessesUnder(run.Folder());
    EXPECT_EQ(test::ReadFileBytes(pak), current);
    bool indexFetched = false;
    uint64_t archiveBytes = 0;
    for (const LogLine& l : LauncherRequests(accessLog, patchMark)) {
        const std::string path = l.uri.substr(0, l.uri.find('?'));
        if (path == "/blocks/data/pak0.pak.zbi") indexFetched = l.status == 200;
        if (path != "/update/data/pak0.pak") continue;
        EXPECT_EQ(l.status, 206);
        archiveBytes += std::stoull(l.bytes);
    }
    EXPECT_TRUE(indexFetched);
    EXPECT_GT(archiveBytes, 20000u);
    EXPECT_LT(archiveBytes, 200000u) << "of " << current.size();
}

} // namespace
