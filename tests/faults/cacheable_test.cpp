// The launcher's addresses built with LAUNCHER_CACHEABLE_CONTENT: every byte of a file (whole,
// compressed copy, block index, pieces, patch ranges) comes from the publication's objects,
// named by the rows' digests, at addresses without "nocache=", the same for every run; the
// manifests keep theirs. The server holds nothing but the objects and the manifests, as a CDN
// keyed by the whole address would be asked for them.
#include <gtest/gtest.h>

#include <cctype>
#include <random>

#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "patch/make_index.h"
#include "support/gzip_copy.h"

namespace {

using faults::FaultGame;
using faults::kOk;

constexpr uint32_t kBlock = 4096;

class CacheableContent : public faults::InProcessRun {
protected:
    // Serves the game from its objects only: each file as objects/<md5>, its copy as
    // objects/<md5>-<zsize>.gz, its index as objects/<md5>.zbi; the classic folders go.
    static void ObjectsOnly(const FaultGame& game, const std::vector<std::string>& contents,
                            const std::vector<std::pair<std::string, std::string>>& copies,
                            const std::vector<std::string>& indexed) {
        const std::wstring objects = game.ServerRoot() + L"\\objects\\";
        for (const std::string& content : contents)
            ASSERT_TRUE(
                test::WriteFileBytes(objects + test::Widen(test::Md5Hex(content)), content));
        for (const auto& [content, copy] : copies) {
            const std::string name = test::Md5Hex(content) + "-" + std::to_string(copy.size());
            ASSERT_TRUE(test::WriteFileBytes(objects + test::Widen(name) + L".gz", copy));
        }
        for (const std::string& content : indexed) {
            ASSERT_TRUE(test::WriteFileBytes(objects + test::Widen(test::Md5Hex(content)) + L".zbi",
                                             test::MakeBlockIndex(content, kBlock)));
        }
        for (const wchar_t* classic : {L"update", L"packed", L"blocks"})
            test::RemoveTree(game.ServerRoot() + L"\\" + classic);
    }

    // Every request since mark: the manifest with a "nocache=" value, the rest objects named by
    // an MD5 and nothing else. The objects asked for come back.
    static std::vector<std::string> ExpectOnlyObjects(size_t mark) {
        std::vector<std::string> objects;
        bool manifest = false;
        for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
            if (r.path.rfind("/manifest_light.json?nocache=", 0) == 0) {
                manifest = true;
                continue;
            }
            const std::string prefix = "/objects/";
            EXPECT_EQ(r.path.rfind(prefix, 0), 0u) << r.path;
            EXPECT_EQ(r.path.find('?'), std::string::npos) << r.path;
            const std::string name = r.path.substr(std::min(r.path.size(), prefix.size()));
            EXPECT_GE(name.size(), 32u) << r.path;
            for (size_t i = 0; i < std::min<size_t>(32, name.size()); ++i)
                EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(name[i]))) << r.path;
            objects.push_back(name);
        }
        EXPECT_TRUE(manifest);
        return objects;
    }
    static bool Asked(const std::vector<std::string>& objects, const std::string& name) {
        return std::find(objects.begin(), objects.end(), name) != objects.end();
    }
};

TEST_F(CacheableContent, AnInstallAndAnUpdateFetchEveryByteFromTheObjects) {
    std::mt19937 rng(2811);
    const std::string small = "a small file comes whole";
    const std::string packed = test::CompressibleBytes(300000, rng());
    const std::string packedCopy = test::GzipMembers(packed);
    const std::string split = test::RandomBytes((10 << 20) + 4321, rng()); // in pieces
    std::string patched = test::RandomBytes((2 << 20) + 99, rng());
    {
        FaultGame install(LauncherFolderFull(), NextPrefix());
        install.Add("small.bin", small);
        install.Add("packed.bin", packed);
        install.OfferPacked("packed.bin", packedCopy);
        install.Add("data/split.pak", split);
        install.Add("data/patched.pak", patched);
        install.Publish({"manifest_light.json"});
        ObjectsOnly(install, {small, packed, split, patched}, {{packed, packedCopy}},
                    {split, patched});
        const size_t mark = test::TestServer::LogMark();
        Outcome run = Run(install);
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        EXPECT_TRUE(install.AllCurrent());
        const std::vector<std::string> objects = ExpectOnlyObjects(mark);
        EXPECT_TRUE(
            Asked(objects, test::Md5Hex(packed) + "-" + std::to_string(packedCopy.size()) + ".gz"));
        EXPECT_FALSE(Asked(objects, test::Md5Hex(packed)));
    }
    // The next release changes the patched file in a few places; the player has the last one.
    std::string fresh = patched;
    for (int i = 0; i < 4; ++i)
        fresh.replace(rng() % (patched.size() - 3000), 3000, test::RandomBytes(3000, rng()));
    FaultGame update(LauncherFolderFull(), NextPrefix());
    update.Add("small.bin", small, small);
    update.Add("data/patched.pak", fresh, patched);
    update.Publish({"manifest_light.json"});
    ObjectsOnly(update, {small, fresh}, {}, {fresh});
    const size_t mark = test::TestServer::LogMark();
    Outcome run = Run(update);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    EXPECT_TRUE(update.AllCurrent());
    const std::vector<std::string> objects = ExpectOnlyObjects(mark);
    // The index, then ranges of the file's object: a patch, not a whole download.
    const std::string md5 = test::Md5Hex(fresh);
    EXPECT_TRUE(Asked(objects, md5 + ".zbi"));
    size_t ranged = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path != "/objects/" + md5) continue;
        bool range = false;
        for (const auto& [key, value] : r.headers)
            range = range || _stricmp(key.c_str(), "Range") == 0;
        EXPECT_TRUE(range) << r.line;
        ++ranged;
    }
    EXPECT_GE(ranged, 1u);
}

} // namespace
