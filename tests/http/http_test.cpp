// The HTTP client against the local test server (real WinHTTP, real TLS), with the server's
// fault injection and its request log.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "net/http.h"

namespace {

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    DownloadProgressFn Fn() {
        return [this](uint64_t received, uint64_t total) { calls.emplace_back(received, total); };
    }
};

class HttpClient : public testing::Test {
protected:
    void SetUp() override {
        State().cancelRequested = false;
        test::TestServer::Configure(www_.Path());
        mark_ = test::TestServer::LogMark();
    }
    void TearDown() override {
        State().cancelRequested = false;
        test::TestServer::Reset();
    }
    // Serves the file /name with the given fault object ("" for none).
    std::wstring Serve(const std::string& name, const std::string& bytes,
                       const std::string& fault = "") {
        EXPECT_TRUE(test::WriteFileBytes(www_ / test::Widen(name), bytes));
        if (!fault.empty()) {
            test::TestServer::Configure(www_.Path(), "{\"/" + name + "\": " + fault + "}");
        }
        return test::TestServer::HttpsBase() + L"/" + test::Widen(name);
    }
    std::vector<test::LoggedRequest> Requests() { return test::TestServer::RequestsSince(mark_); }

    test::TempDir www_{L"www"};
    test::TempDir out_{L"out"};
    size_t mark_ = 0;
};

uint64_t NoCacheValue(const std::wstring& url) {
    const size_t pos = url.find(L"nocache=");
    return pos == std::wstring::npos ? 0 : std::wcstoull(url.c_str() + pos + 8, nullptr, 10);
}

TEST(NoCache, AppendsAUniqueDecimalParameter) {
    const std::wstring plain = AddNoCacheParam(L"https://h/manifest_light.json");
    const std::wstring query = AddNoCacheParam(L"https://h/a?x=1");
    ASSERT_EQ(plain.rfind(L"https://h/manifest_light.json?nocache=", 0), 0u);
    ASSERT_EQ(query.rfind(L"https://h/a?x=1&nocache=", 0), 0u);
    const std::wstring digits = plain.substr(plain.find(L'=') + 1);
    EXPECT_EQ(digits, std::to_wstring(NoCacheValue(plain))); // plain decimal, no fill

    // The value is tick XOR counter. Calls whose tick is known (the same before and after)
    // must give distinct counters, within one millisecond and across threads alike.
    constexpr int kThreads = 8, kCalls = 20000;
    std::vector<std::vector<uint64_t>> counters(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&counters, t] {
            for (int i = 0; i < kCalls; ++i) {
                const uint64_t before = GetTickCount64();
                const uint64_t value = NoCacheValue(AddNoCacheParam(L"https://h/x"));
                if (GetTickCount64() == before) counters[t].push_back(value ^ before);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::set<uint64_t> seen;
    size_t known = 0;
    for (const auto& list : counters) {
        known += list.size();
        seen.insert(list.begin(), list.end());
    }
    EXPECT_GT(known, static_cast<size_t>(kThreads * kCalls / 2));
    EXPECT_EQ(seen.size(), known);
    EXPECT_LE(*seen.rbegin(), State().nocacheCounter.load());
}

TEST_F(HttpClient, FetchesOverHttpsAndPlainHttpWithTheFixedRequest) {
    const std::string body = test::RandomBytes(100000, 7);
    const std::wstring https = Serve("data.bin", body);
    const std::wstring http = test::TestServer::HttpBase() + L"/data.bin";
    int32_t status = -1;
    EXPECT_EQ(HttpGetToString(AddNoCacheParam(https), &status), body);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(HttpGetToString(AddNoCacheParam(http), &status), body);
    EXPECT_EQ(status, 200);

    // The folder chain is created; progress comes per block of at most 256 KiB.
    const std::wstring target = out_ / L"a\\b\\c\\data.bin";
    Progress progress;
    EXPECT_TRUE(HttpDownloadToFile(AddNoCacheParam(https), target, progress.Fn(), &status));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(test::ReadFileBytes(target), body);
    ASSERT_FALSE(progress.calls.empty());
    uint64_t previous = 0;
    for (const auto& [received, total] : progress.calls) {
        EXPECT_GT(received, previous);
        EXPECT_LE(received - previous, 256u * 1024);
        EXPECT_EQ(total, body.size());
        previous = received;
    }
    EXPECT_EQ(previous, body.size());
    EXPECT_TRUE(HttpDownloadToFile(https, out_ / L"no_callback.bin", nullptr));

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 4u);
    const char* schemes[] = {"https", "http", "https", "https"};
    for (size_t i = 0; i < requests.size(); ++i) {
        const test::LoggedRequest& r = requests[i];
        EXPECT_EQ(r.scheme, schemes[i]);
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.userAgent, "ZarvoLauncher/1.0");
        EXPECT_EQ(r.path.rfind(i < 3 ? "/data.bin?nocache=" : "/data.bin", 0), 0u) << r.path;
        // Only what WinHTTP sends by itself: no extra headers of ours.
        for (const auto& [name, value] : r.headers) {
            EXPECT_TRUE(name == "Host" || name == "User-Agent" || name == "Connection" ||
                        name == "Accept")
                << name << ": " << value;
        }
    }
}

TEST_F(HttpClient, NonOkStatusesFailWithTheStatusAndTouchNothing) {
    const std::wstring older = out_ / L"older.bin";
    ASSERT_TRUE(test::WriteFileBytes(older, "older content"));
    for (int code : {404, 500, 206, 304}) {
        const std::wstring url =
            Serve("f.bin", "payload", "{\"status\": " + std::to_string(code) + "}");
        int32_t status = 0;
        EXPECT_EQ(HttpGetToString(url, &status), "");
        EXPECT_EQ(status, code);
        status = 0;
        EXPECT_FALSE(HttpDownloadToFile(url, out_ / L"new\\f.bin", nullptr, &status));
        EXPECT_EQ(status, code);
        EXPECT_FALSE(test::PathExists(out_ / L"new")) << code; // not even the folder
        status = 0;
        EXPECT_FALSE(HttpDownloadToFile(url, older, nullptr, &status));
        EXPECT_EQ(status, code);
        EXPECT_EQ(test::ReadFileBytes(older), "older content") << code;
    }
}

TEST_F(HttpClient, ShortBodiesLeaveNoFile) {
    // Cut after 600 of 1000 announced bytes: half a document is no document.
    const std::string body = test::RandomBytes(1000, 3);
    std::wstring url = Serve("cut.bin", body, "{\"cut_after\": 600}");
    int32_t status = 0;
    EXPECT_EQ(HttpGetToString(url, &status), "");
    EXPECT_EQ(status, 200);
    const std::wstring target = out_ / L"cut.bin";
    ASSERT_TRUE(test::WriteFileBytes(target, "older"));
    EXPECT_FALSE(HttpDownloadToFile(url, target, nullptr, &status));
    EXPECT_EQ(status, 200);
    EXPECT_FALSE(test::PathExists(target));

    // An announced length above 4 GiB is taken at its full value: 4 GiB + 600 must not be
    // mistaken for the 600 bytes that arrive.
    const uint64_t huge = (uint64_t{1} << 32) + 600;
    url = Serve("huge.bin", body.substr(0, 600), "{\"length\": " + std::to_string(huge) + "}");
    Progress progress;
    EXPECT_FALSE(HttpDownloadToFile(url, target, progress.Fn(), &status));
    EXPECT_FALSE(test::PathExists(target));
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls.back(), std::make_pair(uint64_t{600}, huge));
}

TEST_F(HttpClient, BodiesWithoutLengthOrEmptyAreComplete) {
    const std::string body = test::RandomBytes(30000, 5);
    const std::wstring url = Serve("nolength.bin", body, "{\"no_length\": true}");
    Progress progress;
    EXPECT_TRUE(HttpDownloadToFile(url, out_ / L"nolength.bin", progress.Fn()));
    EXPECT_EQ(test::ReadFileBytes(out_ / L"nolength.bin"), body);
    ASSERT_FALSE(progress.calls.empty());
    for (const auto& call : progress.calls)
        EXPECT_EQ(call.second, 0u);

    const std::wstring empty = Serve("empty.bin", "");
    int32_t status = 0;
    EXPECT_EQ(HttpGetToString(empty, &status), "");
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(HttpDownloadToFile(empty, out_ / L"empty.bin", nullptr));
    EXPECT_TRUE(test::PathExists(out_ / L"empty.bin"));
}

TEST_F(HttpClient, CancelDuringATrickledDownloadLeavesNoFile) {
    const std::wstring url = Serve("slow.bin", test::RandomBytes(400000, 9),
                                   "{\"trickle_bytes\": 4096, \"trickle_ms\": 20}");
    const std::wstring target = out_ / L"slow.bin";
    std::atomic<uint64_t> received{0};
    std::atomic<bool> result{true};
    std::thread worker([&] {
        result = HttpDownloadToFile(url, target, [&](uint64_t got, uint64_t) { received = got; });
    });
    EXPECT_TRUE(test::WaitFor([&] { return received.load() > 0; }, 20000));
    State().cancelRequested = true;
    const uint64_t atCancel = received.load();
    worker.join();
    EXPECT_FALSE(result.load());
    EXPECT_FALSE(test::PathExists(target));
    EXPECT_LE(received.load(), atCancel + 256 * 1024); // at most the block in flight
}

TEST_F(HttpClient, NoTransferWaitsForEver) {
    // The stall window is shortened from 30 s to 1.2 s: less than 1 KiB in a window fails,
    // however alive each single read keeps the connection; a steady slow body still passes.
    SetStallWindowForTesting(1200);
    const std::string body = test::RandomBytes(20000, 4);
    struct Case {
        const char* fault;
        bool passes;
    } cases[] = {
        {"{\"trickle_bytes\": 100, \"trickle_ms\": 250}", false},  // 480 bytes per window
        {"{\"delay_ms\": 4000}", false},                           // no answer at all
        {"{\"trickle_bytes\": 100, \"trickle_ms\": 5000}", false}, // silent after the headers
        {"{\"trickle_bytes\": 2048, \"trickle_ms\": 100}", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::wstring url = Serve("stall.bin", body, c.fault);
        const std::wstring target = out_ / L"stall.bin";
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(HttpDownloadToFile(url, target, nullptr), c.passes);
        EXPECT_EQ(test::PathExists(target), c.passes);
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (!c.passes) {
            EXPECT_LT(elapsed, 3500u);
            EXPECT_EQ(HttpGetToString(url), "");
        }
        DeleteFileW(target.c_str());
    }
    SetStallWindowForTesting(0);
}

TEST_F(HttpClient, AddressesTooLongForTheirBuffersFailBeforeAnyTraffic) {
    // A single 256-character label: no resolver would send it, should the check be missing.
    const std::wstring base = test::TestServer::HttpsBase();
    const std::wstring host256 = L"https://" + std::wstring(256, L'a') + L"/x";
    const std::wstring path2047 = base + L"/p?" + std::wstring(2044, L'q'); // path + query
    const std::wstring path2048 = base + L"/p?" + std::wstring(2045, L'q');
    int32_t status = -1;
    EXPECT_EQ(HttpGetToString(host256, &status), "");
    EXPECT_EQ(status, 0);
    status = -1;
    EXPECT_FALSE(HttpDownloadToFile(path2048, out_ / L"x.bin", nullptr, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(test::PathExists(out_ / L"x.bin"));
    EXPECT_TRUE(Requests().empty());

    // One character less does reach the server (404: no such file).
    EXPECT_EQ(HttpGetToString(path2047, &status), "");
    EXPECT_EQ(status, 404);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path.size(), 2047u);
}

TEST_F(HttpClient, UnwritableDestinationFailsAndKeepsTheOlderFile) {
    const std::wstring url = Serve("d.bin", "new content");
    const std::wstring target = out_ / L"d.bin";
    ASSERT_TRUE(test::WriteFileBytes(target, "older content"));
    HANDLE holder = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    int32_t status = 0;
    EXPECT_FALSE(HttpDownloadToFile(url, target, nullptr, &status));
    EXPECT_EQ(status, 200);
    CloseHandle(holder);
    EXPECT_EQ(test::ReadFileBytes(target), "older content");
}

} // namespace
