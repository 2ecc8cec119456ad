// The display-information document fetched from the local HTTPS test server.
#include <gtest/gtest.h>

#include <thread>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "webpanel/display_info.h"

namespace {

class DisplayInfo : public ::testing::Test {
protected:
    void SetUp() override { test::TestServer::Configure(root_.Path()); }
    void TearDown() override { test::TestServer::Reset(); }

    void Serve(const std::string& document) {
        ASSERT_TRUE(test::WriteFileBytes(root_ / L"displayinfo.json", document));
    }

    test::TempDir root_{L"www"};
};

TEST_F(DisplayInfo, DocumentValuesAreReadByTheKeyScannerRules) {
    struct Case {
        const char* document;
        bool enabled;
        std::wstring url;
    } cases[] = {
        {R"({"enabled": 1, "url": "https://localhost/panel.html"})", true,
         L"https://localhost/panel.html"},
        {R"({"enabled": 12, "url": "https://a/"})", true, L"https://a/"},
        {R"({"enabled": true, "url": "https://a/"})", false, L"https://a/"},
        {R"({"enabled": "1", "url": "https://a/"})", false, L"https://a/"},
        {R"({"enabled": 0, "url": "https://a/"})", false, L"https://a/"},
        {R"({"url": "https://a/"})", false, L"https://a/"},
        {R"({"enabled": 1})", false, L""},
        {R"({"enabled": 1, "url": ""})", false, L""},
        // Taken byte for byte: escapes stay as they are.
        {R"({"enabled": 1, "url": "https:\/\/a\/b"})", true, L"https:\\/\\/a\\/b"},
        // The first occurrence of a key anywhere counts, nested or not.
        {R"({"panel": {"url": "https://nested/"}, "url": "https://top/", "enabled": 1})", true,
         L"https://nested/"},
        {"{\"enabled\": 1, \"url\": \"https://a/espa\xC3\xB1ol\"}", true, L"https://a/espa\u00F1ol"},
        // Only https: pages are shown; the address is still stored as it came.
        {R"({"enabled": 1, "url": "HTTPS://a/"})", true, L"HTTPS://a/"},
        {R"({"enabled": 1, "url": "http://a/"})", false, L"http://a/"},
        {R"({"enabled": 1, "url": "file:///C:/Windows/win.ini"})", false,
         L"file:///C:/Windows/win.ini"},
        {R"({"enabled": 1, "url": "javascript:void 0"})", false, L"javascript:void 0"},
        {R"({"enabled": 1, "url": " https://a/"})", false, L" https://a/"},
        {R"({"enabled": 1, "url": "https:"})", false, L"https:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        Serve(c.document);
        bool enabled = !c.enabled;
        std::wstring url = L"stale";
        EXPECT_TRUE(FetchDisplayInfo(enabled, url));
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(url, c.url);
    }
}

TEST_F(DisplayInfo, AsksForTheDocumentWithANocacheParameter) {
    Serve(R"({"enabled": 1, "url": "https://a/"})");
    size_t mark = test::TestServer::LogMark();
    bool enabled = false;
    std::wstring url;
    ASSERT_TRUE(FetchDisplayInfo(enabled, url));
    std::vector<test::LoggedRequest> requests = test::TestServer::RequestsSince(mark);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path.rfind("/displayinfo.json?", 0), 0u) << requests[0].path;
    EXPECT_NE(requests[0].path.find("nocache="), std::string::npos) << requests[0].path;
}

TEST_F(DisplayInfo, NoDocumentResetsTheValuesAndReportsFalse) {
    // Missing (404), an error status with a body that would enable the panel, an empty body,
    // and a document cut short after the values that would enable it.
    const std::string enabling = R"({"enabled": 1, "url": "https://a/"})";
    const std::string longer = R"({"enabled": 1, "url": "https://a/", "note": "more to come"})";
    const std::string faults[] = {
        "",
        R"({"/displayinfo.json": {"status": 500, "body": )" + test::JsonQuote(enabling) + "}}",
        R"({"/displayinfo.json": {"body": ""}})",
        R"({"/displayinfo.json": {"cut_after": 36, "body": )" + test::JsonQuote(longer) + "}}",
    };
    for (const std::string& fault : faults) {
        SCOPED_TRACE(fault);
        test::TestServer::Configure(root_.Path(), fault);
        bool enabled = true;
        std::wstring url = L"stale";
        EXPECT_FALSE(FetchDisplayInfo(enabled, url));
        EXPECT_FALSE(enabled);
        EXPECT_EQ(url, L"");
    }
}

class DisplayInfoThreadTest : public DisplayInfo {
protected:
    void SetUp() override {
        DisplayInfo::SetUp();
        window_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        StoreValues(false, L"untouched");
    }
    void TearDown() override {
        State().mainWindow.store(nullptr);
        DestroyWindow(window_);
        DisplayInfo::TearDown();
    }

    static void StoreValues(bool enabled, const std::wstring& url) {
        std::lock_guard<std::mutex> lock(State().displayInfoMutex);
        State().displayEnabled = enabled;
        State().displayUrl = url;
    }
    static std::pair<bool, std::wstring> StoredValues() {
        std::lock_guard<std::mutex> lock(State().displayInfoMutex);
        return {State().displayEnabled, State().displayUrl};
    }
    int PostedMessages() {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_LAUNCHER_DISPLAYINFO, WM_LAUNCHER_DISPLAYINFO,
                            PM_REMOVE)) {
            EXPECT_EQ(msg.wParam, 0u);
            EXPECT_EQ(msg.lParam, 0);
            ++count;
        }
        return count;
    }
    static void RunThread() {
        std::thread thread(DisplayInfoThread);
        thread.join();
    }

    HWND window_ = nullptr;
};

TEST_F(DisplayInfoThreadTest, StoresTheValuesAndPostsOneMessage) {
    Serve(R"({"enabled": 1, "url": "https://localhost/panel.html"})");
    State().mainWindow.store(window_);
    RunThread();
    EXPECT_EQ(StoredValues(), std::make_pair(true, std::wstring(L"https://localhost/panel.html")));
    EXPECT_EQ(PostedMessages(), 1);

    // A disabling document is stored and announced too: the window then closes the panel.
    Serve(R"({"enabled": 0, "url": "https://localhost/other.html"})");
    RunThread();
    EXPECT_EQ(StoredValues(), std::make_pair(false, std::wstring(L"https://localhost/other.html")));
    EXPECT_EQ(PostedMessages(), 1);
}

TEST_F(DisplayInfoThreadTest, BeforeTheWindowIsKnownTheValuesAreOnlyStored) {
    Serve(R"({"enabled": 1, "url": "https://localhost/panel.html"})");
    RunThread();
    EXPECT_EQ(StoredValues(), std::make_pair(true, std::wstring(L"https://localhost/panel.html")));
    EXPECT_EQ(PostedMessages(), 0);
}

TEST_F(DisplayInfoThreadTest, WithoutADocumentNothingIsStoredOrPosted) {
    State().mainWindow.store(window_);
    RunThread(); // no displayinfo.json under the root: 404
    EXPECT_EQ(StoredValues(), std::make_pair(false, std::wstring(L"untouched")));
    EXPECT_EQ(PostedMessages(), 0);
}

} // namespace
