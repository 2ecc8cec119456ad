// A launcher built without keys (the plain zarvo_core) over a signed publication: it installs
// and shows the page exactly as it does from an unsigned one, and it checks no SHA-256.
// Argument: the samples folder of signed_samples.py.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "support/test_support.h"
#include "update/manifest.h"
#include "net/signature.h"
#include "update/update_run.h"
#include "webpanel/display_info.h"

namespace {

std::wstring SamplesFolder() {
    const std::vector<std::wstring> args = test::ProgramArguments();
    return args.empty() ? std::wstring() : args.front();
}

TEST(UnsignedLauncher, ReadsASignedPublicationAsAnyOther) {
    const std::wstring samples = SamplesFolder();
    ASSERT_FALSE(samples.empty());
    ASSERT_FALSE(SigningEnabled());
    // sha_wrong's rows are signed and their MD5s are right: without keys only MD5 counts.
    for (const wchar_t* sampleCase : {L"good", L"sha_wrong"}) {
        SCOPED_TRACE(test::Narrow(sampleCase));
        test::RemoveTree(LauncherFolderFull() + L"\\sg");
        test::TestServer::Configure(samples + L"\\" + sampleCase);
        RunUpdateWithManifestUrl(test::TestServer::HttpsBase() + L"/manifest_full.json", L"FULL");
        EXPECT_EQ(CurrentStatusText(), L"Archivos OK!");
        EXPECT_EQ(test::ReadFileBytes(LauncherFolderFull() + L"\\sg\\data\\a.bin"),
                  test::ReadFileBytes(samples + L"\\" + sampleCase + L"\\update\\sg\\data\\a.bin"));
        for (const ManifestEntry& e : State().manifestEntries)
            EXPECT_EQ(e.sha256, "");
        EXPECT_FALSE(test::PathExists(SerialMarkerPath("manifest_full.json")));
    }
    bool enabled = false;
    std::wstring url;
    ASSERT_TRUE(FetchDisplayInfo(enabled, url));
    EXPECT_TRUE(enabled);
    EXPECT_EQ(test::Narrow(url), test::ReadFileBytes(samples + L"\\page.txt"));
    test::TestServer::Reset();
}

} // namespace
