// Whole downloads through compressed copies: random mixes of compressible and incompressible
// files arrive byte for byte through their copies; every way a copy can be unusable (missing,
// another length than announced, damaged, cut short, followed by foreign bytes, inflating past
// the file's size, another file's content, an error answer) ends with the raw file within the
// same five attempts; a copy cut mid-transfer is continued from the bytes already inflated. The
// folder never holds partial or foreign bytes meanwhile.
#include <gtest/gtest.h>

#include <random>

#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "support/gzip_copy.h"
#include "update/net/packed_layout.h"

namespace {

using faults::FaultGame;

struct Requests {
    std::vector<test::LoggedRequest> all;
    int To(const std::string& key) const {
        int count = 0;
        for (const test::LoggedRequest& r : all)
            count += r.path.compare(0, key.size() + 1, key + "?") == 0;
        return count;
    }
    std::string RangeTo(const std::string& key) const {
        for (const test::LoggedRequest& r : all) {
            if (r.path.compare(0, key.size() + 1, key + "?") != 0) continue;
            for (const auto& [name, value] : r.headers)
                if (name == "Range") return value;
        }
        return "";
    }
};

class PackedFaults : public faults::InProcessRun {
protected:
    Requests RunToTheEnd(const FaultGame& game) { return {InProcessRun::RunToTheEnd(game)}; }
};

TEST_F(PackedFaults, CompressedCopiesGiveEveryFileByteForByteAndOnlyCopiesThatSaveAreAsked) {
    std::mt19937 rng(2410);
    FaultGame game(LauncherFolderFull(), NextPrefix());
    struct Offered {
        std::string name;
        bool saves;
    };
    std::vector<Offered> offered;
    for (int i = 0; i < 16; ++i) {
        const std::string name = "p/f" + std::to_string(i) + ".bin";
        const size_t size = i == 0 ? 1 : rng() % (i % 4 == 0 ? (3u << 20) : 200000u);
        std::string content;
        switch (i % 3) {
        case 0:
            content = test::RandomBytes(size, rng());
            break;
        case 1:
            content = test::CompressibleBytes(size, rng());
            break;
        default:
            content = test::CompressibleBytes(size / 2, rng()) +
                      test::RandomBytes(size - size / 2, rng());
        }
        if (i % 4 == 1) {
            game.Add(name, content, "stale " + name);
        } else {
            game.Add(name, content);
        }
        const std::string copy = test::GzipMembers(content, size_t{1024} << (rng() % 11));
        game.OfferPacked(name, copy);
        offered.push_back({name, copy.size() < content.size()});
    }
    game.Publish({"manifest_light.json"});

    const Requests requests = RunToTheEnd(game);
    int saving = 0;
    for (const Offered& o : offered) {
        SCOPED_TRACE(o.name);
        saving += o.saves;
        // A second attempt comes when the watch holds a stale copy open just as the new one
        // replaces it, which refuses the move.
        EXPECT_EQ(requests.To(game.PackedKey(o.name)) > 0, o.saves);
        EXPECT_EQ(requests.To(game.FaultKey(o.name)) > 0, !o.saves);
    }
    EXPECT_GE(saving, 8);
}

TEST_F(PackedFaults, EveryUnusableCopyEndsWithTheRawFileWithinTheSameFiveAttempts) {
    std::mt19937 rng(2411);
    FaultGame game(LauncherFolderFull(), NextPrefix());
    std::string faultsJson = "{";
    const auto fault = [&](const std::string& key, const std::string& body) {
        faultsJson += (faultsJson.size() > 1 ? ", \"" : "\"") + key + "\": " + body;
    };
    std::vector<std::pair<std::string, int>> names; // with the raw requests due
    for (size_t size : {size_t{300000}, size_t{1536} << 10}) {
        for (int kind = 0; kind < 9; ++kind) {
            const std::string name = "u" + std::to_string(size) + "/k" + std::to_string(kind);
            const std::string content = test::CompressibleBytes(size, rng());
            game.Add(name, content);
            names.push_back({name, kind % 2 == 0 ? 5 : 1});
            const std::string copy = test::GzipMembers(content);
            switch (kind) {
            case 0:
                game.OfferPacked(name, "", copy.size());
                break; // not on the server
            case 1:
                game.OfferPacked(name, copy, copy.size() - 100);
                break; // longer
            case 2:
                game.OfferPacked(name, copy, copy.size() + 100);
                break; // shorter
            case 3: {  // damaged in the middle
                std::string damaged = copy;
                damaged[damaged.size() / 2] ^= 0x5a;
                game.OfferPacked(name, damaged);
                break;
            }
            case 4:
                game.OfferPacked(name, copy.substr(0, copy.size() / 2));
                break; // cut short
            case 5:
                game.OfferPacked(name, copy + "trailing bytes");
                break;
            case 6: // inflates to more than the file's size
                game.OfferPacked(name, test::GzipMembers(content + content.substr(0, 70000)));
                break;
            case 7: // another file's content of the same size
                game.OfferPacked(name, test::GzipMembers(test::CompressibleBytes(size, rng())));
                break;
            default:
                game.OfferPacked(name, copy);
                fault(game.PackedKey(name), "{\"status\": 500}");
            }
            // The raw file of every other kind fails four times: the copy must not have taken
            // one of the five attempts.
            if (kind % 2 == 0) fault(game.FaultKey(name), "{\"status\": 503, \"times\": 4}");
        }
    }
    game.Publish({"manifest_light.json"}, faultsJson + "}");

    const Requests requests = RunToTheEnd(game);
    for (const auto& [name, raw] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(requests.To(game.PackedKey(name)), 1); // once unusable, never asked again
        EXPECT_EQ(requests.To(game.FaultKey(name)), raw);
    }
}

TEST_F(PackedFaults, ACopyCutMidTransferIsContinuedFromTheInflatedBytesOnDisk) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::CompressibleBytes(3u << 20, 2412);
    const std::string copy = test::GzipMembers(content);
    game.Add("big.pak", content);
    game.OfferPacked("big.pak", copy);
    game.Publish({"manifest_light.json"},
                 "{\"" + game.PackedKey("big.pak") +
                     "\": {\"cut_after\": " + std::to_string(copy.size() / 2) + "}}");

    const Requests requests = RunToTheEnd(game);
    EXPECT_EQ(requests.To(game.PackedKey("big.pak")), 1);
    // The raw file's rest only, from about half the file on.
    const std::string range = requests.RangeTo(game.FaultKey("big.pak"));
    ASSERT_EQ(range.rfind("bytes=", 0), 0u) << range;
    const uint64_t from = std::stoull(range.substr(6));
    EXPECT_GT(from, content.size() / 4);
    EXPECT_LT(from, content.size());
}

// Files from 8 MiB on: the copy's table tells where its members begin, and runs of whole
// members come as pieces over several connections, each inflated at its own offset.
TEST_F(PackedFaults, ABigFileComesAsPiecesOfItsCopyAndAnUnusableTableOrPieceTurnsToTheRawFile) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::CompressibleBytes((12u << 20) + 777, 2413);
    const std::string copy = test::GzipCopyWithTable(content, test::Md5Hex(content));
    game.Add("good.pak", content);
    game.OfferPacked("good.pak", copy);
    // A table whose lengths point past the copy, and a member damaged in the middle.
    ManifestEntry entry;
    entry.hash = test::Md5Hex(content);
    entry.size = static_cast<int64_t>(content.size());
    entry.packedSize = static_cast<int64_t>(copy.size());
    PackedLayout layout;
    ASSERT_TRUE(ParsePackedLayout(copy, entry, &layout));
    std::vector<uint32_t> lengths;
    for (size_t i = 1; i < layout.memberStart.size(); ++i)
        lengths.push_back(static_cast<uint32_t>(layout.memberStart[i] - layout.memberStart[i - 1]));
    lengths[5] += 4096;
    const std::string hostile =
        test::GzipCopyWithTable(content, test::Md5Hex(content), 1 << 20, &lengths);
    game.Add("table.pak", content);
    game.OfferPacked("table.pak", hostile);
    std::string damaged = copy;
    damaged[copy.size() * 2 / 3] ^= 0x33;
    game.Add("damaged.pak", content);
    game.OfferPacked("damaged.pak", damaged);
    game.Publish({"manifest_light.json"});

    const Requests requests = RunToTheEnd(game);
    EXPECT_GE(requests.To(game.PackedKey("good.pak")), 4); // the head, then pieces
    EXPECT_EQ(requests.To(game.FaultKey("good.pak")), 0);
    EXPECT_EQ(requests.To(game.PackedKey("table.pak")), 1); // the head only
    EXPECT_GE(requests.To(game.FaultKey("table.pak")), 1);
    EXPECT_GE(requests.To(game.FaultKey("damaged.pak")), 1);
}

} // namespace
