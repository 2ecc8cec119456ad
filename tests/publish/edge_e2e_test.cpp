// Players installing and updating a small published game through the edge cache example in
// front of an S3 server that holds its upload (edge_ctl.py), with the launcher's code built with
// LAUNCHER_CACHEABLE_CONTENT and the edge's address (see CMakeLists.txt). The second player's
// install is all cache hits; a patch goes through the edge in ranges of the file's object.
// Argument: the stack's working folder (a Unix path, through drive Z:).
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>

#include <vector>

#include "base/build_config.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "support/test_support.h"
#include "net/json.h"
#include "update/manifest.h"
#include "update/update_run.h"

namespace {

struct EdgeLine {
    std::string uri, range, cache;
    int status = 0;
};

// The edge's access log (one JSON object per request) from byte from on.
std::vector<EdgeLine> EdgeLog(const std::wstring& log, size_t from) {
    std::vector<EdgeLine> out;
    const std::string text = test::ReadFileBytes(log);
    for (size_t at = from; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (line.empty()) continue;
        out.push_back({ExtractJsonString(line, "uri"), ExtractJsonString(line, "range"),
                       ExtractJsonString(line, "cache"), ExtractJsonInt(line, "status")});
    }
    return out;
}

std::wstring FullRun() {
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_full.json",
                             L"FULL");
    return CurrentStatusText();
}

TEST(EdgeCache, PlayersInstallAndUpdateThroughTheEdgeFromTheS3Server) {
    const std::vector<std::wstring> args = test::ProgramArguments();
    ASSERT_EQ(args.size(), 1u) << "argument: the stack's folder";
    const std::wstring edgeLog = args[0] + L"\\edge\\access.log";
    ASSERT_TRUE(ParseManifest(test::ReadFileBytes(args[0] + L"\\published\\manifest_full.json")));
    const std::vector<ManifestEntry> files = State().manifestEntries;
    const auto allRight = [&] {
        for (const ManifestEntry& e : files)
            if (test::Md5Hex(test::ReadFileBytes(LocalPathForEntry(e))) != e.hash) return false;
        return true;
    };

    // The first player fills the edge; the second, on an empty folder again, costs the origin
    // nothing: every object is a hit.
    EXPECT_EQ(FullRun(), L"Archivos OK!");
    EXPECT_TRUE(allRight());
    for (const ManifestEntry& e : files)
        DeleteFileW(LocalPathForEntry(e).c_str());
    size_t mark = test::ReadFileBytes(edgeLog).size();
    EXPECT_EQ(FullRun(), L"Archivos OK!");
    EXPECT_TRUE(allRight());
    size_t objects = 0;
    for (const EdgeLine& l : EdgeLog(edgeLog, mark)) {
        if (l.uri.rfind("/objects/", 0) != 0) continue;
        ++objects;
        EXPECT_EQ(l.cache, "HIT") << l.uri << " " << l.range;
    }
    EXPECT_GE(objects, files.size());

    // A changed copy of the big file is patched through the edge: ranges of its object only.
    const ManifestEntry* big = nullptr;
    for (const ManifestEntry& e : files)
        if (!big || e.size > big->size) big = &e;
    ASSERT_GE(big->size, 1 << 20);
    std::string bytes = test::ReadFileBytes(LocalPathForEntry(*big));
    for (size_t at : {size_t{1} << 19, size_t{2} << 20})
        bytes.replace(at, 3000, test::RandomBytes(3000, static_cast<uint32_t>(at)));
    ASSERT_TRUE(test::WriteFileBytes(LocalPathForEntry(*big), bytes));
    mark = test::ReadFileBytes(edgeLog).size();
    EXPECT_EQ(FullRun(), L"Archivos OK!");
    EXPECT_TRUE(allRight());
    size_t ranged = 0;
    for (const EdgeLine& l : EdgeLog(edgeLog, mark)) {
        if (l.uri != "/objects/" + big->hash) continue;
        EXPECT_FALSE(l.range.empty()) << "a whole download of " << l.uri;
        EXPECT_EQ(l.status, 206) << l.range;
        ++ranged;
    }
    EXPECT_GE(ranged, 1u);
}

} // namespace
