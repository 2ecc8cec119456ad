// Patches from a server that answers only single ranges and sends the whole file for a request
// of several, as S3 does: the run learns it from two bytes of the first patch's block index,
// which costs that small document at most, and every patch asks for one range at a time.
#include <gtest/gtest.h>

#include <random>

#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "patch/make_index.h"
#include "update/net/range_fetch.h"

namespace {

using faults::FaultGame;
using faults::kOk;

constexpr uint32_t kBlock = 4096;
constexpr size_t kSpan = 3000;

// The old version, and the new one with spans overwritten far apart from each other.
struct Versions {
    std::string old, fresh;
    size_t changed = 0;
};
Versions MakeVersions(size_t size, int spans, uint32_t seed) {
    Versions v;
    v.old = test::RandomBytes(size, seed);
    v.fresh = v.old;
    std::mt19937 rng(seed);
    for (int i = 0; i < spans; ++i)
        v.fresh.replace(size / spans * i + rng() % 10000, kSpan, test::RandomBytes(kSpan, rng()));
    v.changed = spans * kSpan;
    return v;
}

std::string Header(const test::LoggedRequest& r, const char* name) {
    for (const auto& [key, value] : r.headers)
        if (_stricmp(key.c_str(), name) == 0) return value;
    return "";
}

// The Range headers of the requests for the server path ("" for a whole download).
std::vector<std::string> RangesAsked(size_t mark, const std::string& path) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        if (r.path.substr(0, r.path.find('?')) == path) out.push_back(Header(r, "Range"));
    return out;
}

// Body bytes the server put on the connection for the file, over every answer.
uint64_t BytesSent(const std::wstring& sentLog, const std::string& path) {
    uint64_t sent = 0;
    const std::string log = test::ReadFileBytes(sentLog);
    for (size_t at = 0; at < log.size();) {
        const size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end - at);
        at = end == std::string::npos ? log.size() : end + 1;
        if (line.find("\"path\": \"" + path) == std::string::npos) continue;
        const size_t key = line.find("\"sent\": ");
        if (key != std::string::npos) sent += std::stoull(line.substr(key + 8));
    }
    return sent;
}

class SingleRanges : public faults::InProcessRun {};

TEST_F(SingleRanges, PatchesCostAboutTheirRangesAskedOneAtATime) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    constexpr size_t kFirst = (32 << 20) + 777, kLater = (3 << 20) + 555;
    const Versions first = MakeVersions(kFirst, 12, 21);
    const Versions later = MakeVersions(kLater, 6, 22);
    game.Add("first.pak", first.fresh, first.old);
    game.Add("later.pak", later.fresh, later.old);
    const auto indexKey = [&](const char* name) { return "/blocks/" + game.Path(name) + ".zbi"; };
    for (const auto& [name, v] : {std::pair{"first.pak", &first}, std::pair{"later.pak", &later}}) {
        std::wstring index = game.ServerRoot() + test::Widen(indexKey(name));
        for (wchar_t& c : index)
            if (c == L'/') c = L'\\';
        ASSERT_TRUE(test::WriteFileBytes(index, test::MakeBlockIndex(v->fresh, kBlock)));
    }
    test::TempDir work(L"sent");
    const std::wstring sentLog = work / L"sent.jsonl";
    const std::string answer =
        "{\"single_range_only\": true, \"sent_log\": " + test::JsonQuote(test::UnixPath(sentLog));
    // The later file's patch starts once the first one's ranges were answered.
    game.Publish({"manifest_light.json"}, "{\"" + game.FaultKey("first.pak") + "\": " + answer +
                                              "}, \"" + game.FaultKey("later.pak") +
                                              "\": " + answer + "}, \"" + indexKey("first.pak") +
                                              "\": " + answer + "}, \"" + indexKey("later.pak") +
                                              "\": " + answer + ", \"delay_ms\": 2500}}");
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    EXPECT_TRUE(game.AllCurrent());

    // Several ranges are asked for once in the run, of the first index; the files get single
    // ranges only, never a whole download.
    EXPECT_EQ(RangesAsked(mark, indexKey("first.pak")),
              (std::vector<std::string>{"", "bytes=0-0,2-2"}));
    EXPECT_EQ(RangesAsked(mark, indexKey("later.pak")), std::vector<std::string>{""});
    for (const char* name : {"first.pak", "later.pak"}) {
        const std::vector<std::string> asked = RangesAsked(mark, game.FaultKey(name));
        EXPECT_GE(asked.size(), 2u) << name;
        for (const std::string& range : asked) {
            EXPECT_EQ(range.rfind("bytes=", 0), 0u) << name << faults::Join(asked);
            EXPECT_EQ(range.find(','), std::string::npos) << name << faults::Join(asked);
        }
    }
    // Each span touches two blocks at most; the probe costs at most the index it read again.
    const uint64_t firstSent = BytesSent(sentLog, game.FaultKey("first.pak"));
    const uint64_t laterSent = BytesSent(sentLog, game.FaultKey("later.pak"));
    const uint64_t indexSent = BytesSent(sentLog, indexKey("first.pak"));
    std::printf("sent: first %llu of %zu, later %llu of %zu, its index twice %llu\n",
                static_cast<unsigned long long>(firstSent), kFirst,
                static_cast<unsigned long long>(laterSent), kLater,
                static_cast<unsigned long long>(indexSent));
    EXPECT_LE(firstSent, 12 * 2 * kBlock);
    EXPECT_LE(laterSent, 6 * 2 * kBlock);
    EXPECT_LE(indexSent, 2 * test::MakeBlockIndex(first.fresh, kBlock).size());
}

TEST_F(SingleRanges, NeighboursShareOneRequestAndOnlyTheirOwnBytesAreWritten) {
    // Two ranges 8 KiB apart, once the run knows several are refused: one request spans both,
    // and the bytes between, which the server here damages, go nowhere.
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::RandomBytes(1 << 20, 31);
    game.Add("near.pak", content);
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("near.pak") + "\": {\"corrupt_range\": true}}");
    const size_t mark = test::TestServer::LogMark();
    State().severalRanges.store(kSeveralRangesRefused);
    const std::vector<ByteRange> ranges = {{40960, 45056}, {53248, 57344}};
    std::string written(content.size(), '\0');
    std::vector<ByteRange> writes;
    const auto write = [&](uint64_t offset, const char* data, size_t size) {
        written.replace(offset, size, data, size);
        writes.push_back({offset, offset + size});
        return true;
    };
    int32_t status = 0;
    const std::wstring url =
        test::TestServer::HttpsBase() + L"/update/" + test::Widen(game.Path("near.pak"));
    EXPECT_EQ(FetchRanges(url, ranges, content.size(), write, &status), RangeFetch::Done);
    State().severalRanges.store(kSeveralRangesUnknown);
    EXPECT_EQ(status, 206);
    EXPECT_EQ(RangesAsked(mark, game.FaultKey("near.pak")),
              std::vector<std::string>{"bytes=40960-57343"});
    for (const ByteRange& w : writes) {
        const bool inside =
            (w.begin >= 40960 && w.end <= 45056) || (w.begin >= 53248 && w.end <= 57344);
        EXPECT_TRUE(inside) << w.begin << "-" << w.end;
    }
    for (const ByteRange& r : ranges)
        EXPECT_EQ(written.substr(r.begin, r.end - r.begin),
                  content.substr(r.begin, r.end - r.begin));
}

} // namespace
