// Runtime discovery and loading against real folders, registry keys of the test prefix and
// the stand-in client library. The loader's debug lines are observed through its line hook.
#include <gtest/gtest.h>

#include "base/handles.h"
#include "support/test_support.h"
#include "webpanel/runtime_loader.h"
#include "webpanel_test_util.h"

namespace {

using webtest::kLibraryTail;

const std::wstring kNoRuntimeLine = L"WebView2: Failed to find an installed WebView2 runtime or "
                                    L"non-stable Microsoft Edge installation.";
const std::wstring kNoClientDll = L"WebView2: Failed to find the WebView2 client dll at: ";
const std::wstring kSkippedVersion = L"WebView2: skipped an incompatible version ";
const std::wstring kSkippedInaccessible = L"WebView2: skipped inaccessible ";
const std::wstring kLoadFailed =
    L"WebView2: CoreWebView2Environment failed when trying to LoadLibrary: hr=0x";
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

std::wstring HexUpper(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"%08lX", static_cast<unsigned long>(hr));
    return text;
}

// The lines of one call, twice: every attempt that fails at once is made a second time.
std::vector<std::wstring> Twice(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> both = lines;
    both.insert(both.end(), lines.begin(), lines.end());
    return both;
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override { handler_.Attach(new webtest::RecordingEnvironmentHandler()); }

    HRESULT Create(PCWSTR userDataFolder = nullptr) {
        return CreateCoreWebView2EnvironmentWithOptions(nullptr, userDataFolder, nullptr,
                                                        handler_.Get());
    }
    // Waits for the handler, or (expectCall false) makes sure it stays uncalled for a while.
    bool Completed() {
        return webtest::PumpUntil([&] { return handler_->calls > 0; }, 5000);
    }

    std::wstring Folder(const std::wstring& name) const { return dir_ / name; }

    webtest::CleanRuntimeEnvironment environment_;
    webtest::DebugLineCapture debug_;
    test::TempDir dir_{L"runtime"};
    ComPtr<webtest::RecordingEnvironmentHandler> handler_;
};

int EntryCalls(const webtest::FakeLog& log) {
    int calls = 0;
    for (const std::string& line : log.Lines())
        calls += line.rfind("CreateWebViewEnvironmentWithOptionsInternal flag=", 0) == 0;
    return calls;
}

TEST_F(Loader, NullHandlerIsRejectedBeforeAnySearch) {
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"none"));
    EXPECT_EQ(CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, nullptr),
              E_POINTER);
    EXPECT_TRUE(debug_.Lines().empty());
}

TEST_F(Loader, FixedFolderWithoutClientLibraryFailsTwiceWithItsLine) {
    CreateDirectoryW(Folder(L"empty").c_str(), nullptr);
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"empty"));
    EXPECT_EQ(Create(), kNotFound);
    EXPECT_EQ(debug_.Lines(), Twice({kNoClientDll + Folder(L"empty") + kLibraryTail}));
    webtest::Pump(200);
    EXPECT_EQ(handler_->calls, 0);
}

TEST_F(Loader, FixedFolderLibraryIsCalledAndItsEnvironmentReachesTheHandler) {
    webtest::FakeLog log;
    std::wstring library = webtest::InstallFakeRuntime(Folder(L"fixed"));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"fixed"));

    ASSERT_EQ(Create(L"C:\\caller\\data"), S_OK);
    EXPECT_EQ(handler_->calls, 0) << "the environment must arrive through the message loop";
    ASSERT_TRUE(Completed());
    EXPECT_EQ(handler_->result, S_OK);
    ASSERT_NE(handler_->environment, nullptr);

    std::vector<std::string> lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=1 "
                        "userDataFolder=C:\\caller\\data options=null library=" +
                            webtest::Utf8(library));
    EXPECT_EQ(lines[1], "EnvironmentCompleted.Invoke 0x00000000");
    EXPECT_EQ(lines[2], "Environment.QueryInterface ICoreWebView2Environment");

    // What the handler got is the environment interface itself.
    CoTaskString version;
    EXPECT_EQ(handler_->environment->get_BrowserVersionString(version.Put()), S_OK);
    EXPECT_STREQ(version.Get(), L"120.0.0.0 fake");
    EXPECT_EQ(EntryCalls(log), 1);
    EXPECT_TRUE(debug_.Lines().empty());
}

TEST_F(Loader, RelativeFixedFolderIsTakenFromTheExecutablesFolder) {
    const std::wstring exeFolder = test::ProgramFolder();
    const std::wstring name = L"relative-runtime-" + std::to_wstring(GetCurrentProcessId());
    {
        webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", name + L"\\sub");
        EXPECT_EQ(Create(), kNotFound);
        EXPECT_EQ(debug_.Lines(),
                  Twice({kNoClientDll + exeFolder + L"\\" + name + L"\\sub" + kLibraryTail}));
    }
    {
        webtest::FakeLog log;
        std::wstring library = webtest::InstallFakeRuntime(exeFolder + L"\\" + name);
        webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", name);
        ASSERT_EQ(Create(), S_OK);
        ASSERT_TRUE(Completed());
        EXPECT_TRUE(log.Contains("CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=1 "
                                 "userDataFolder=(null) options=null library=" +
                                 webtest::Utf8(library)));
    }
}

TEST_F(Loader, DriveAndDoubleBackslashFoldersAreAbsolute) {
    for (std::wstring folder : {Folder(L"absent"), L"\\\\?\\" + Folder(L"absent"),
                                std::wstring(L"\\\\.\\nowhere\\runtime")}) {
        webtest::DebugLineCapture debug;
        webtest::ScopedEnv variable(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", folder);
        EXPECT_EQ(Create(), kNotFound);
        EXPECT_EQ(debug.Lines(), Twice({kNoClientDll + folder + kLibraryTail}));
    }
}

TEST_F(Loader, UserDataFolderAndEdgeViewSettingsReachTheLibrary) {
    webtest::InstallFakeRuntime(Folder(L"fixed"));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"fixed"));
    struct Case {
        const wchar_t* userDataVariable;
        const wchar_t* edgeView;
        const char* expected;
    } cases[] = {
        {nullptr, nullptr, "kind=1 userDataFolder=C:\\caller"},
        {L"C:\\from\\variable", nullptr, "kind=1 userDataFolder=C:\\from\\variable"},
        {nullptr, L"1", "kind=2 userDataFolder=C:\\caller"},
        {nullptr, L"true", "kind=1 userDataFolder=C:\\caller"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        webtest::FakeLog log;
        std::unique_ptr<webtest::ScopedEnv> userData, edge;
        if (c.userDataVariable)
            userData = std::make_unique<webtest::ScopedEnv>(L"WEBVIEW2_USER_DATA_FOLDER",
                                                            c.userDataVariable);
        if (c.edgeView)
            edge = std::make_unique<webtest::ScopedEnv>(L"WEBVIEW2_USE_EDGE_VIEW", c.edgeView);
        handler_.Attach(new webtest::RecordingEnvironmentHandler());
        ASSERT_EQ(Create(L"C:\\caller"), S_OK);
        ASSERT_TRUE(Completed());
        EXPECT_TRUE(log.Contains(std::string("CreateWebViewEnvironmentWithOptionsInternal "
                                             "flag=1 ") +
                                 c.expected + " options=null"));
    }
}

// Outcomes of the stand-in's entry point, scripted per call: the loader repeats a failure once,
// at once or in the completion, and never a second time.
TEST_F(Loader, AFailedAttemptIsRepeatedOnceAndTheOutcomeReachesTheHandler) {
    webtest::InstallFakeRuntime(Folder(L"fixed"));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"fixed"));
    struct Case {
        const wchar_t* script;
        HRESULT returned;
        int handlerCalls;
        HRESULT delivered;
        bool environment;
    } cases[] = {
        {L"ok", S_OK, 1, S_OK, true},
        {L"now", S_OK, 1, S_OK, true},
        {L"now,now,ok", E_FAIL, 0, S_OK, false},
        {L"later", S_OK, 1, S_OK, true},
        {L"later,later,ok", S_OK, 1, E_ABORT, false},
        {L"later,now,ok", S_OK, 1, E_FAIL, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(webtest::Utf8(c.script));
        webtest::FakeLog log;
        webtest::ScopedEnv script(L"ZARVO_FAKE_WEBVIEW_ENVIRONMENT", c.script);
        webtest::ScopedEnv counter(L"ZARVO_FAKE_WEBVIEW_CALLS");
        handler_.Attach(new webtest::RecordingEnvironmentHandler());

        EXPECT_EQ(Create(), c.returned);
        if (c.handlerCalls) {
            ASSERT_TRUE(Completed());
        }
        webtest::Pump(150); // a second, wrong call would show now
        EXPECT_EQ(handler_->calls, c.handlerCalls);
        if (c.handlerCalls) {
            EXPECT_EQ(handler_->result, c.delivered);
            EXPECT_EQ(handler_->environment != nullptr, c.environment);
        }
        EXPECT_EQ(EntryCalls(log), c.script == std::wstring(L"ok") ? 1 : 2);
    }
}

TEST_F(Loader, ALibraryThatFailsAtOnceIsUnloadedAgain) {
    webtest::FakeLog log;
    std::wstring library = webtest::InstallFakeRuntime(Folder(L"failing"));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"failing"));
    webtest::ScopedEnv script(L"ZARVO_FAKE_WEBVIEW_ENVIRONMENT", L"now,now");
    EXPECT_EQ(Create(), E_FAIL);
    EXPECT_EQ(EntryCalls(log), 2);
    EXPECT_EQ(GetModuleHandleW(library.c_str()), nullptr);
}

TEST_F(Loader, ALibraryWithoutTheEntryPointIsReportedAndUnloaded) {
    std::wstring library = Folder(L"noentry") + kLibraryTail;
    test::WriteFileBytes(library, "");
    ASSERT_TRUE(test::CopyFileTo(test::ProgramFolder() + L"\\no_entry_library.dll", library));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"noentry"));
    EXPECT_EQ(Create(), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(debug_.Lines(),
              Twice({L"WebView2: CoreWebView2Environment failed when trying to call into "
                     L"EmbeddedBrowserWebView.dll. hr=0x8007007F"}));
    EXPECT_EQ(GetModuleHandleW(library.c_str()), nullptr);
}

// ---- the channel search over the updater's registry entries ------------------------------

std::unique_ptr<webtest::ScopedRegistryKey> RegisterChannel(int channel,
                                                            const std::wstring& folder) {
    auto key = std::make_unique<webtest::ScopedRegistryKey>(
        HKEY_CURRENT_USER, webtest::ChannelClientStateKey(channel), KEY_WOW64_32KEY);
    EXPECT_TRUE(key->SetString(L"EBWebView", folder));
    return key;
}

TEST_F(Loader, RegisteredFolderMustNameACompatibleVersion) {
    webtest::ScopedEnv onlyStable(L"WEBVIEW2_RELEASE_CHANNELS", L"0");
    struct Case {
        const wchar_t* version;
        bool accepted;
    } cases[] = {
        {L"85.0.1.0", false},  {L"86.0.615.9", false},  {L"9.0.700.0", false},
        {L"1.2.3.4.5", false}, {L"Application", false}, {L"86..616.0", false},
        {L"86.0.616.0", true}, {L"120.0.0.0", true},    {L"86.1", true},
        {L"86.0.616", true},   {L"100.0.0.0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(webtest::Utf8(c.version));
        webtest::DebugLineCapture debug;
        std::wstring folder = Folder(std::wstring(L"v\\") + c.version);
        std::wstring library = webtest::PlaceDummyLibrary(folder);
        auto key = RegisterChannel(0, folder);
        HRESULT hr = Create();
        std::vector<std::wstring> lines = debug.Lines();
        if (!c.accepted) {
            EXPECT_EQ(hr, kNotFound);
            EXPECT_EQ(lines, Twice({kSkippedVersion + folder, kNoRuntimeLine}));
            continue;
        }
        // The candidate is taken; the file is no library, so loading it fails and says where.
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(lines, Twice({kLoadFailed + HexUpper(hr) + L" path=" + library}));
    }
}

TEST_F(Loader, RegisteredRuntimeIsLoadedAsAnInstalledOne) {
    webtest::FakeLog log;
    std::wstring library = webtest::InstallFakeRuntime(Folder(L"Application\\120.0.0.0"));
    auto stable = RegisterChannel(0, Folder(L"Application\\85.0.1.0"));
    auto beta = RegisterChannel(1, Folder(L"Application\\120.0.0.0\\"));
    ASSERT_EQ(Create(), S_OK);
    ASSERT_TRUE(Completed());
    EXPECT_EQ(handler_->result, S_OK);
    EXPECT_TRUE(log.Contains("CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=0 "
                             "userDataFolder=(null) options=null library=" +
                             webtest::Utf8(library)));
    EXPECT_EQ(debug_.Lines(),
              std::vector<std::wstring>{kSkippedVersion + Folder(L"Application\\85.0.1.0")});
}

// The launcher runs elevated: a runtime named by the user's environment or registered under
// the user's key is loaded only from where no one but the administrators can change it. Wine
// keeps no descriptors, so what it shows here is the other half of that check: a folder
// reached through a link, which could be re-pointed at any time, is passed over for the
// machine's runtime (none in this prefix), and the planted library is never loaded.
TEST_F(Loader, PerUserRuntimeBehindALinkIsNotLoaded) {
    webtest::FakeLog log;
    webtest::InstallFakeRuntime(Folder(L"planted\\120.0.0.0"));
    ASSERT_TRUE(test::MakeUnixLink(Folder(L"planted"), Folder(L"link")));
    const std::wstring skipped = L"WebView2: skipped a runtime other users can change ";
    {
        webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER",
                                  Folder(L"link\\120.0.0.0"));
        EXPECT_EQ(Create(), kNotFound);
        EXPECT_EQ(debug_.Lines(), Twice({skipped + Folder(L"link\\120.0.0.0"), kNoRuntimeLine}));
    }
    auto beta = RegisterChannel(1, Folder(L"link\\120.0.0.0"));
    EXPECT_EQ(Create(), kNotFound);
    const auto once = Twice({skipped + Folder(L"link\\120.0.0.0"), kNoRuntimeLine});
    EXPECT_EQ(debug_.Lines(), Twice(once)) << "the registration under the user's key";
    EXPECT_EQ(EntryCalls(log), 0) << "the planted library was loaded";
    test::ChildProcess rm;
    rm.Start(L"Z:\\bin\\rm", L"rm -f \"" + test::Widen(test::UnixPath(Folder(L"link"))) + L"\"",
             L"");
    test::WaitFor([&] { return !test::PathExists(Folder(L"link")); }, 10000);
}

TEST_F(Loader, RegisteredRuntimeWithoutAnOpenableLibraryIsSkipped) {
    auto stable = RegisterChannel(0, Folder(L"stable\\120.0.0.0"));
    std::wstring locked = webtest::PlaceDummyLibrary(Folder(L"beta\\120.0.0.0"));
    auto beta = RegisterChannel(1, Folder(L"beta\\120.0.0.0"));
    webtest::ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"0,1");
    // Held without any sharing: the runtime could not start from it either.
    FileHandle holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.Valid());
    EXPECT_EQ(Create(), kNotFound);
    EXPECT_EQ(debug_.Lines(),
              Twice({kSkippedInaccessible + Folder(L"stable\\120.0.0.0") + kLibraryTail,
                     kSkippedInaccessible + locked, kNoRuntimeLine}));
}

class ChannelOrder : public Loader {
protected:
    void SetUp() override {
        Loader::SetUp();
        for (int channel = 0; channel < 5; ++channel)
            keys_.push_back(RegisterChannel(channel, ChannelFolder(channel)));
    }
    void TearDown() override {
        while (!keys_.empty())
            keys_.pop_back(); // newest first
    }
    std::wstring ChannelFolder(int channel) const {
        return Folder(L"channel" + std::to_wstring(channel) + L"\\85.0.1.0");
    }
    // The channels one search visits, read from their skip lines.
    void ExpectVisits(const std::vector<int>& channels) {
        webtest::DebugLineCapture debug;
        EXPECT_EQ(Create(), kNotFound);
        std::vector<std::wstring> expected;
        for (int channel : channels)
            expected.push_back(kSkippedVersion + ChannelFolder(channel));
        expected.push_back(kNoRuntimeLine);
        EXPECT_EQ(debug.Lines(), Twice(expected));
    }
    std::vector<std::unique_ptr<webtest::ScopedRegistryKey>> keys_;
};

TEST_F(ChannelOrder, ReleaseChannelsSelectWhichChannelsAreSearched) {
    struct Case {
        const wchar_t* channels;
        std::vector<int> visits;
    } cases[] = {
        {nullptr, {0, 1, 2, 3, 4}},
        {L"1,2", {1, 2}},
        {L"9", {0}},
        {L"4,0", {0, 4}},
        {L"15", {0}},
        {L"0,1,2,3", {0, 1, 2, 3, 4}},
        {L"0,1,2,3,4", {0, 1, 2, 3, 4}},
        {L"3,3,7", {0, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channels ? webtest::Utf8(c.channels) : "unset");
        std::unique_ptr<webtest::ScopedEnv> variable;
        if (c.channels)
            variable =
                std::make_unique<webtest::ScopedEnv>(L"WEBVIEW2_RELEASE_CHANNELS", c.channels);
        ExpectVisits(c.visits);
    }
}

TEST_F(ChannelOrder, ReverseSearchStartsWithInternal) {
    {
        webtest::ScopedEnv reverse(L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"1");
        ExpectVisits({4, 3, 2, 1, 0});
        webtest::ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"1,2");
        ExpectVisits({2, 1});
    }
    {
        webtest::ScopedEnv preference(L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE", L"1");
        ExpectVisits({4, 3, 2, 1, 0});
        // The search kind, when set, is what counts.
        webtest::ScopedEnv kind(L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"0");
        ExpectVisits({0, 1, 2, 3, 4});
    }
}

TEST_F(ChannelOrder, EdgeViewSwitchTakesStableFromTheEdgeClientKey) {
    webtest::ScopedEnv channels(L"WEBVIEW2_RELEASE_CHANNELS", L"0");
    webtest::ScopedRegistryKey edge(
        HKEY_CURRENT_USER,
        L"Software\\Microsoft\\EdgeUpdate\\Clients\\{56EB18F8-B008-4CBD-B6D2-8C97FE7E9062}",
        KEY_WOW64_32KEY);
    ASSERT_TRUE(edge.SetString(L"location", Folder(L"edge")));
    ASSERT_TRUE(edge.SetString(L"pv", L"85.0.1.0"));
    ExpectVisits({0}); // switch off: the ClientState entry
    webtest::ScopedEnv edgeView(L"WEBVIEW2_USE_EDGE_VIEW", L"1");
    webtest::DebugLineCapture debug;
    EXPECT_EQ(Create(), kNotFound);
    EXPECT_EQ(debug.Lines(), Twice({kSkippedVersion + Folder(L"edge\\85.0.1.0"), kNoRuntimeLine}));
}

// ---- administrator policies ---------------------------------------------------------------

const std::wstring kPolicies = L"Software\\Policies\\Microsoft\\Edge\\WebView2\\";

TEST_F(Loader, BrowserFolderPolicyUnderLocalMachineWinsOverCurrentUser) {
    const std::wstring exe = webtest::ExeName();
    webtest::ScopedRegistryKey user(HKEY_CURRENT_USER, kPolicies + L"BrowserExecutableFolder");
    ASSERT_TRUE(user.SetString(exe, Folder(L"user")));
    auto expectFolder = [&](const std::wstring& folder) {
        webtest::DebugLineCapture debug;
        EXPECT_EQ(Create(), kNotFound);
        EXPECT_EQ(debug.Lines(), Twice({kNoClientDll + folder + kLibraryTail}));
    };
    expectFolder(Folder(L"user"));
    {
        webtest::ScopedRegistryKey machine(HKEY_LOCAL_MACHINE,
                                           kPolicies + L"BrowserExecutableFolder");
        ASSERT_TRUE(machine.SetString(exe, Folder(L"machine")));
        expectFolder(Folder(L"machine"));
        webtest::ScopedEnv variable(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"variable"));
        expectFolder(Folder(L"variable"));
    }
    // The value for this program comes before the one for every program.
    ASSERT_TRUE(user.SetString(L"*", Folder(L"everyone")));
    expectFolder(Folder(L"user"));
}

TEST_F(Loader, UserDataFolderPolicyIsForNamedProgramsOnly) {
    webtest::InstallFakeRuntime(Folder(L"fixed"));
    webtest::ScopedEnv folder(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", Folder(L"fixed"));
    webtest::ScopedRegistryKey user(HKEY_CURRENT_USER, kPolicies + L"UserDataFolder");
    ASSERT_TRUE(user.SetString(L"*", L"C:\\for\\everyone"));
    auto expectUserData = [&](const std::string& expected) {
        webtest::FakeLog log;
        handler_.Attach(new webtest::RecordingEnvironmentHandler());
        ASSERT_EQ(Create(L"C:\\caller"), S_OK);
        ASSERT_TRUE(Completed());
        EXPECT_TRUE(log.Contains("CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=1 "
                                 "userDataFolder=" +
                                 expected + " "));
    };
    expectUserData("C:\\caller");
    ASSERT_TRUE(user.SetString(webtest::ExeName(), L"C:\\for\\this\\program"));
    expectUserData("C:\\for\\this\\program");
}

TEST_F(ChannelOrder, ChannelPoliciesApply) {
    webtest::ScopedRegistryKey channels(HKEY_CURRENT_USER, kPolicies + L"ReleaseChannels");
    ASSERT_TRUE(channels.SetString(webtest::ExeName(), L"1,3"));
    ExpectVisits({1, 3});
    webtest::ScopedRegistryKey kind(HKEY_CURRENT_USER, kPolicies + L"ChannelSearchKind");
    ASSERT_TRUE(kind.SetDword(webtest::ExeName(), 1));
    ExpectVisits({3, 1});
    ASSERT_TRUE(kind.SetString(webtest::ExeName(), L"1"));
    ExpectVisits({3, 1});
}

} // namespace
