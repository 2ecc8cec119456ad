// Small files through the bundles that hold them: random mixes of raw and gzip members, with
// files already in place between them and runs across the ends of bundles, arrive byte for
// byte through single-range requests only, the gaps not fetched; every way a bundle can be
// unusable (missing, cut, damaged, shorter, an error or a whole answer, a table that names the
// wrong bytes) ends with the right files through their own addresses within the same five
// attempts, the folder never holding partial or foreign bytes meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "faults/bundle_support.h"
#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "support/gzip_copy.h"

namespace {

using faults::Bundle;
using faults::FaultGame;
using faults::MakeBundle;
using faults::Member;
using faults::Offer;
using faults::PlaceKeys;
using faults::RequestsTo;

std::string RandomContent(std::mt19937& rng, size_t size) {
    return rng() % 2 ? test::RandomBytes(size, rng()) : test::CompressibleBytes(size, rng());
}

class BundleFaults : public faults::InProcessRun {};

// The Range headers sent for key, as written.
std::vector<std::string> RangesTo(const std::vector<test::LoggedRequest>& all,
                                  const std::string& key) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : all) {
        if (r.path.compare(0, key.size() + 1, key + "?") != 0) continue;
        for (const auto& [name, value] : r.headers)
            if (name == "Range") out.push_back(value);
    }
    return out;
}

// Bytes a single "bytes=a-b" asks for; 0 for anything else.
size_t AskedBytes(const std::string& range) {
    unsigned long long a = 0, b = 0;
    if (range.find(',') != std::string::npos ||
        std::sscanf(range.c_str(), "bytes=%llu-%llu", &a, &b) != 2 || b < a) {
        return 0;
    }
    return static_cast<size_t>(b - a + 1);
}

TEST_F(BundleFaults, BundledFilesArriveByteForByteInSingleRangesThatSkipWhatIsInPlace) {
    std::mt19937 rng(3001);
    FaultGame game(LauncherFolderFull(), NextPrefix());
    std::vector<Bundle> bundles;
    std::vector<std::string> bundledNames;
    for (int b = 0; b < 3; ++b) {
        std::vector<Member> members;
        for (int i = 0; i < 40; ++i) {
            const std::string name = "s" + std::to_string(b) + "/f" + std::to_string(i);
            // In the middle of the last bundle, a big file already in place: its bytes lie
            // between two wanted runs and are never asked for.
            const bool gap = b == 2 && i == 20;
            const size_t size = gap ? 400000 : 1 + rng() % 14000;
            const std::string content =
                gap ? test::RandomBytes(size, rng()) : RandomContent(rng, size);
            // The ends of the bundles are missing, so runs meet the end of one and the start
            // of the next; files in place and stale ones in between.
            const int local = i < 3 || i > 36 ? 0 : static_cast<int>(rng() % 3);
            if (gap || local == 1) {
                game.Add(name, content, content);
            } else if (local == 2) {
                game.Add(name, content, "stale " + name);
            } else {
                game.Add(name, content);
            }
            if (!gap && local != 1) bundledNames.push_back(name);
            members.push_back({name, content});
        }
        bundles.push_back(MakeBundle(members));
        Offer(game, members, bundles.back());
    }
    game.Publish({"manifest_light.json"});

    const std::vector<test::LoggedRequest> requests = RunToTheEnd(game);
    for (const std::string& name : bundledNames)
        EXPECT_EQ(RequestsTo(requests, game.FaultKey(name)), 0) << name;
    int bundleRequests = 0;
    std::vector<size_t> askedOf;
    for (const Bundle& b : bundles) {
        const std::vector<std::string> ranges = RangesTo(requests, b.Key());
        EXPECT_EQ(static_cast<int>(ranges.size()), RequestsTo(requests, b.Key()));
        size_t asked = 0;
        for (const std::string& range : ranges) {
            EXPECT_GT(AskedBytes(range), 0u) << range; // one range, never several
            asked += AskedBytes(range);
        }
        EXPECT_LE(asked, b.bytes.size());
        askedOf.push_back(asked);
        bundleRequests += static_cast<int>(ranges.size());
    }
    EXPECT_LE(askedOf[2], bundles[2].bytes.size() - 300000);
    EXPECT_GE(bundleRequests, 3);
    EXPECT_LE(bundleRequests, static_cast<int>(bundledNames.size()) / 4);
}

// A big file starts beside the bundles, not once their runs are all taken: its pieces fill the
// link while the small files wait on round trips and on their file work.
TEST_F(BundleFaults, ABigFileStartsBesideTheBundlesNotAfterThem) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    game.Add("big.pak", test::RandomBytes((8 << 20) + 1, 3010));
    // One run per bundle: 48 runs, three times the pool.
    for (int b = 0; b < 48; ++b) {
        std::vector<Member> members;
        for (int i = 0; i < 4; ++i) {
            const std::string name = "s" + std::to_string(b) + "/f" + std::to_string(i);
            members.push_back({name, test::RandomBytes(12000, 3011u + 4 * b + i)});
            game.Add(name, members.back().content);
        }
        Offer(game, members, MakeBundle(members));
    }
    game.Publish({"manifest_light.json"});

    const std::vector<test::LoggedRequest> requests = RunToTheEnd(game);
    const std::string big = game.FaultKey("big.pak") + "?";
    int position = 0, bigAt = -1;
    for (const test::LoggedRequest& r : requests) {
        if (r.path.rfind("/objects/", 0) != 0 && r.path.rfind("/update/", 0) != 0) continue;
        if (bigAt < 0 && r.path.rfind(big, 0) == 0) bigAt = position;
        ++position;
    }
    EXPECT_GE(bigAt, 0);
    // Among the pool's first requests; after the bundles it would come after 33 or more.
    EXPECT_LT(bigAt, 16) << position << " requests";
}

TEST_F(BundleFaults, EveryUnusableBundleEndsWithTheFilesFromTheirOwnAddressesInFiveAttempts) {
    std::mt19937 rng(3002);
    FaultGame game(LauncherFolderFull(), NextPrefix());
    std::string faultsJson = "{";
    const auto fault = [&](const std::string& key, const std::string& body) {
        faultsJson += (faultsJson.size() > 1 ? ", \"" : "\"") + key + "\": " + body;
    };
    struct Case {
        std::vector<std::string> names;
        bool fromBundle; // the bundle still gives its files
    };
    std::vector<Case> cases;
    constexpr int kKinds = 12;
    for (int kind = 0; kind < kKinds; ++kind) {
        std::vector<Member> members;
        for (int i = 0; i < 6; ++i) {
            const std::string name = "k" + std::to_string(kind) + "/f" + std::to_string(i);
            const std::string content = RandomContent(rng, 200 + rng() % 12000);
            if (i == 5) {
                game.Add(name, content, "stale " + name);
            } else {
                game.Add(name, content);
            }
            members.push_back({name, content});
        }
        Bundle b = MakeBundle(members);
        bool fromBundle = false;
        switch (kind) {
        case 0: // not on the server
            for (size_t i = 0; i < members.size(); ++i)
                game.AddRowKeys(members[i].name,
                                PlaceKeys(b.digest, b.places[i].first, b.places[i].second));
            break;
        case 1: // cut in the middle of the transfer
            Offer(game, members, b);
            fault(b.Key(), "{\"cut_after\": " + std::to_string(b.places[3].first + 5) + "}");
            break;
        case 2: // a byte of every member damaged
            for (const auto& [offset, length] : b.places)
                b.bytes[offset + length / 2] ^= 0x21;
            Offer(game, members, b);
            break;
        case 3: // shorter than its rows say
            b.bytes.resize(b.places[2].first + 3);
            Offer(game, members, b);
            break;
        case 4: // longer: what follows the members is never asked for
            b.bytes += test::RandomBytes(5000, rng());
            Offer(game, members, b);
            fromBundle = true;
            break;
        case 5: // every row one byte off
            game.Serve(b.Key().substr(1), b.bytes);
            for (size_t i = 0; i < members.size(); ++i)
                game.AddRowKeys(members[i].name,
                                PlaceKeys(b.digest, b.places[i].first + 1, b.places[i].second));
            break;
        case 6: { // each row names the next file's member
            game.Serve(b.Key().substr(1), b.bytes);
            for (size_t i = 0; i < members.size(); ++i) {
                const auto& [offset, length] = b.places[(i + 1) % members.size()];
                game.AddRowKeys(members[i].name, PlaceKeys(b.digest, offset, length));
            }
            break;
        }
        case 7: // members that overlap, lengths past the file, places past any bound
            game.Serve(b.Key().substr(1), b.bytes);
            for (size_t i = 0; i < members.size(); ++i) {
                const size_t size = members[i].content.size();
                const std::string keys =
                    i % 3 == 0   ? PlaceKeys(b.digest, b.places[i].first + b.places[i].second / 2,
                                             b.places[i].second)
                    : i % 3 == 1 ? PlaceKeys(b.digest, b.places[i].first, size + 1)
                                 : PlaceKeys(b.digest, 2147483000, b.places[i].second);
                game.AddRowKeys(members[i].name, keys);
            }
            break;
        case 8: // the whole bundle for a range
            Offer(game, members, b);
            fault(b.Key(), "{\"ignore_range\": true}");
            break;
        case 9: // an error answer
            Offer(game, members, b);
            fault(b.Key(), "{\"status\": 500}");
            break;
        case 10: // another range than asked, within the bundle
            b.bytes += test::RandomBytes(100, rng());
            Offer(game, members, b);
            fault(b.Key(), "{\"wrong_range\": 1}");
            break;
        default: { // a member that inflates past its file
            std::vector<Member> longer = members;
            longer[5].content += test::CompressibleBytes(70000, rng());
            Bundle wrong = MakeBundle(longer);
            wrong.digest = b.digest;
            game.Serve(wrong.Key().substr(1), wrong.bytes);
            for (size_t i = 0; i < members.size(); ++i)
                game.AddRowKeys(members[i].name, PlaceKeys(b.digest, wrong.places[i].first,
                                                           std::min(wrong.places[i].second,
                                                                    members[i].content.size())));
        }
        }
        Case c{{}, fromBundle};
        for (const Member& m : members)
            c.names.push_back(m.name);
        // The last file's own address fails four times: the bundle must not have taken one of
        // the five attempts.
        if (!fromBundle)
            fault(game.FaultKey(members.back().name), "{\"status\": 503, \"times\": 4}");
        cases.push_back(c);
    }
    game.Publish({"manifest_light.json"}, faultsJson + "}");

    const std::vector<test::LoggedRequest> requests = RunToTheEnd(game);
    for (const Case& c : cases) {
        for (size_t i = 0; i < c.names.size(); ++i) {
            SCOPED_TRACE(c.names[i]);
            const int own = RequestsTo(requests, game.FaultKey(c.names[i]));
            if (c.fromBundle) {
                EXPECT_EQ(own, 0);
            } else if (i + 1 == c.names.size()) {
                EXPECT_EQ(own, 5);
            }
        }
    }
}

// A member that inflates far past its file, arriving slowly: nothing past the file's size
// reaches its ".tmp" meanwhile, and the file comes from its own address.
TEST_F(BundleFaults, AMemberThatInflatesPastItsFileNeverGrowsTheTmpPastIt) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::CompressibleBytes(60000, 3101);
    game.Add("long/f", content);
    const std::string member = test::GzipMembers(content + std::string(4u << 20, '\0'));
    ASSERT_LT(member.size(), content.size());
    Bundle b;
    b.bytes = member;
    b.digest = test::Md5Hex(b.bytes) + test::Md5Hex("second half" + b.bytes);
    game.Serve(b.Key().substr(1), b.bytes);
    game.AddRowKeys("long/f", PlaceKeys(b.digest, 0, b.bytes.size()));
    game.Publish({"manifest_light.json"},
                 "{\"" + b.Key() + "\": {\"trickle_bytes\": 512, \"trickle_ms\": 10}}");

    const std::wstring tmp = game.Local("long/f") + L".tmp";
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> longest{0};
    std::thread watch([&] {
        while (!stop.load()) {
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (GetFileAttributesExW(tmp.c_str(), GetFileExInfoStandard, &data)) {
                const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
                if (size > longest.load()) longest = size;
            }
            Sleep(1);
        }
    });
    const std::vector<test::LoggedRequest> requests = RunToTheEnd(game);
    stop = true;
    watch.join();
    EXPECT_LE(longest.load(), content.size());
    EXPECT_EQ(RequestsTo(requests, b.Key()), 1);
    EXPECT_EQ(RequestsTo(requests, game.FaultKey("long/f")), 1);
}

} // namespace
