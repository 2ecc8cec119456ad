// The key scanner and the manifest reader: the reading rules are the manifest format, so the
// quirks below are behaviour to keep, not faults to fix.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "base/launcher_state.h"
#include "net/json.h"
#include "update/manifest.h"

namespace {

const std::string kHash = "0123456789abcdef0123456789abcdef";

const std::vector<ManifestEntry>& Entries() {
    return State().manifestEntries;
}

std::string Row(const std::string& path, const std::string& hash = kHash) {
    return "{\"path\": \"" + path + "\", \"hash\": \"" + hash + "\", \"size\": 1, \"version\": 1}";
}

std::string Manifest(const std::string& rows) {
    return "{\"files\": [" + rows + "]}";
}

TEST(JsonReader, StringValuesAreRawBytesUpToTheNextQuote) {
    // Escapes stay as written; an escaped quote ends the value at that quote.
    EXPECT_EQ(ExtractJsonString(R"({"p": "a\\b\u00e9"})", "p"), R"(a\\b\u00e9)");
    EXPECT_EQ(ExtractJsonString(R"({"p": "say \"hi\""})", "p"), "say \\");
    // The first occurrence of the quoted key wins, wherever it stands.
    EXPECT_EQ(ExtractJsonString(R"({"x": {"p": "inner"}, "p": "outer"})", "p"), "inner");
    // A non-string value: the next quoted text after the colon is taken.
    EXPECT_EQ(ExtractJsonString(R"({"p": null, "hash": "h"})", "p"), "hash");
    // A key is matched with its quotes only: "path" is not found inside "xpath".
    EXPECT_EQ(ExtractJsonString(R"({"xpath": "no"})", "path"), "");
    // ...but is found right after another quote, and as the last thing in the text.
    EXPECT_EQ(ExtractJsonString(R"({""p": "v"})", "p"), "v");
    EXPECT_EQ(ExtractJsonInt(R"({"n":7, "x": "n")", "n"), 7);
    EXPECT_EQ(ExtractJsonString(R"({"x": 1, "p")", "p"), "");
    EXPECT_EQ(ExtractJsonString(R"({"p": "unterminated)", "p"), "");
    EXPECT_EQ(ExtractJsonString(R"({"p": ")", "p"), "");
    EXPECT_EQ(ExtractJsonString(R"({"p" 5})", "p"), "");
    EXPECT_EQ(ExtractJsonString("", "p"), "");
}

TEST(JsonReader, IntegersFollowStrtolForA32BitLong) {
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {
        {R"({"n": 42})", 42},
        {R"({"n":-1})", -1},
        {R"({"n": +7})", 7},
        {R"({"n": 3000000000})", INT32_MAX},
        {R"({"n": 2147483647})", INT32_MAX},
        {R"({"n": 2147483648})", INT32_MAX},
        {R"({"n": -2147483648})", INT32_MIN},
        {R"({"n": -2147483649})", INT32_MIN},
        {R"({"n": 99999999999999999999999999})", INT32_MAX},
        {R"({"n": 1.5})", 1},
        {R"({"n": "5"})", 0},
        {R"({"n": true})", 0},
        {R"({"n": null})", 0},
        {R"({"n": -})", 0},
        {R"({"n": - 5})", 0},
        {"{\"n\":\t\r\n 12}", 12}, // strtol skips C white space itself
        {R"({"n" : : :  8})", 8},  // spaces and further colons are stepped over
        {R"({"m": 8})", 0},
        {R"({"n")", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExtractJsonInt(c.text, "n"), c.value) << c.text;
}

TEST(JsonReader, Utf8ToWide) {
    EXPECT_EQ(Utf8ToWide("data/caf\xC3\xA9.dat"), L"data/caf\u00e9.dat");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x8E\xAE"), std::wstring(L"\xD83C\xDFAE")); // surrogate pair
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b"),
              L"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(Utf8ToWide(std::string("\0x", 2)), L"");
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(ManifestReader, RejectsDocumentsWithoutAcceptableRows) {
    const std::string documents[] = {"", "{\"a\":}", "{\"file\": [" + Row("a") + "]}",
                                     "{\"files\": " + Row("a"), Manifest("")};
    for (const std::string& text : documents) {
        State().manifestEntries.push_back({L"stale", kHash, 1, 1, ""});
        EXPECT_FALSE(ParseManifest(text)) << text;
        EXPECT_TRUE(Entries().empty()) << text;
    }
}

TEST(ManifestReader, TakesRowsInDocumentOrderWithTheirFields) {
    const std::string text = "junk \"files\" before {\"path\":\"x\"} ignored\n"
                             "{\"files\": [\n"
                             "  {\"hash\": \"0123456789ABCDEF0123456789ABCDEF\", \"version\": 7,"
                             "   \"size\": 3000000000, \"path\": \"data/caf\xC3\xA9.dat\"},\n"
                             "  {\"path\": \"b\", \"hash\": \"" +
                             kHash +
                             "\", \"size\": -1},\n"
                             "  {\"path\": \"b\", \"hash\": \"zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzZ\","
                             "   \"size\": \"12\", \"version\": null, \"extra\": 1}\n"
                             "]}";
    ASSERT_TRUE(ParseManifest(text));
    ASSERT_EQ(Entries().size(), 3u);
    // An object between the first "files" and the "[" after it is not a row.
    EXPECT_EQ(Entries()[0].path, L"data/caf\u00e9.dat");
    EXPECT_EQ(Entries()[0].hash, kHash);
    EXPECT_EQ(Entries()[0].size, INT32_MAX);
    EXPECT_EQ(Entries()[0].version, 7);
    EXPECT_EQ(Entries()[1].path, L"b");
    EXPECT_EQ(Entries()[1].size, -1);
    EXPECT_EQ(Entries()[1].version, 0);
    // Duplicates stay; a hash is lowered, not checked for hex digits; a quoted size reads 0.
    EXPECT_EQ(Entries()[2].path, L"b");
    EXPECT_EQ(Entries()[2].hash, "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz");
    EXPECT_EQ(Entries()[2].size, 0);

    // A second parse starts from an empty list.
    ASSERT_TRUE(ParseManifest(Manifest(Row("only"))));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0].path, L"only");
}

TEST(ManifestReader, ACompressedCopysLengthIsAKeyOfItsOwnTakenOnlyBelowTheFileSize) {
    // "zsize" and "size" never answer for each other, whichever comes first in the row; a
    // row without "size" reads 0 as it always did, so its "zsize" is not taken either.
    const std::string h = "\"hash\": \"" + kHash + "\"";
    ASSERT_TRUE(ParseManifest(Manifest(
        "{\"zsize\": 40, \"path\": \"a\", " + h + ", \"size\": 100}," + "{\"path\": \"b\", " + h +
        ", \"size\": 100, \"zsize\": 40}," + "{\"path\": \"c\", " + h + ", \"zsize\": 40}," +
        "{\"path\": \"d\", " + h + ", \"size\": 100, \"zsize\": 100}," + "{\"path\": \"e\", " + h +
        ", \"size\": 100, \"zsize\": -5}," + "{\"path\": \"f\", " + h +
        ", \"size\": 100, \"zsize\": \"40\"}," + "{\"path\": \"g\", " + h + ", \"size\": 100}")));
    ASSERT_EQ(Entries().size(), 7u);
    const std::pair<int64_t, int64_t> expected[] = {{100, 40}, {100, 40}, {0, 0},  {100, 0},
                                                    {100, 0},  {100, 0},  {100, 0}};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(Entries()[i].size, expected[i].first) << i;
        EXPECT_EQ(Entries()[i].packedSize, expected[i].second) << i;
    }
}
TEST(ManifestReader, HashMustBeExactly32Bytes) {
    ASSERT_TRUE(ParseManifest(Manifest(Row("h31", kHash.substr(1)) + "," + Row("h32") + "," +
                                       Row("h33", kHash + "0") + "," + Row("", kHash))));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0].path, L"h32");
}

TEST(ManifestReader, ScannerQuirksAreKept) {
    // Escapes are kept in the path; the first "}" closes an object even inside a string, and
    // the scan resumes after it; objects after the array's end are rows too; a non-string
    // path takes the next quoted text.
    const std::string text = "{\"files\": [" + Row(R"(a\\b\u00e9)") + "," + "{\"hash\": \"" +
                             kHash + "\", \"path\": \"cut}here\"}," +
                             "{\"path\": \"kept\", \"hash\": \"" + kHash +
                             "\", \"note\": \"x}y\"}," + "{\"path\": null, \"hash\": \"" + kHash +
                             "\"}" + "], \"other\": " + Row("after") + "}";
    ASSERT_TRUE(ParseManifest(text));
    std::vector<std::wstring> paths;
    for (const ManifestEntry& e : Entries())
        paths.push_back(e.path);
    // "cut}here": the object text ends inside the path, which then has no closing quote, so
    // the row is dropped. "x}y": path and hash lie before the "}", so the row is taken.
    // Both leftovers (`here"}` and `y"}`) hold no "{" and are skipped.
    EXPECT_EQ(paths, (std::vector<std::wstring>{LR"(a\\b\u00e9)", L"kept", L"hash", L"after"}));
}

TEST(ManifestReader, UnsafePathsAreRefused) {
    for (const wchar_t* path : {L"/etc/x", L"\\Windows\\x", L"C:\\x", L"C:x", L"a/b:stream", L"..",
                                L"../x", L"a/../../x", L"a\\..\\x", L"a/..", L"a/.. /x", L"a/.../x",
                                L"\\\\server\\share\\x", L"a/conout$.log", L"Lpt3", L""}) {
        EXPECT_FALSE(IsSafeEntryPath(path)) << testing::PrintToString(std::wstring(path));
    }
    for (const wchar_t* path :
         {L"x", L"data/file1.dat", L"a\\b", L"..x/y", L"a/..b", L"x..", L"./a", L"a/.x",
          L"Zarvo Vestra.exe", L"CONOUT$x", L"COM10", L"co", L"nulx.txt"}) {
        EXPECT_TRUE(IsSafeEntryPath(path)) << testing::PrintToString(std::wstring(path));
    }

    // Unsafe rows are dropped like malformed ones; a manifest of nothing else is invalid.
    const std::string unsafeRows = Row("../../evil.dll") + "," + Row("/abs") + "," +
                                   Row(R"(C:\\Windows\\x.dll)") + "," + Row(R"(data\\..\\..\\x)");
    EXPECT_FALSE(ParseManifest(Manifest(unsafeRows)));
    EXPECT_TRUE(Entries().empty());
    ASSERT_TRUE(ParseManifest(Manifest(unsafeRows + "," + Row("data/ok.dat"))));
    ASSERT_EQ(Entries().size(), 1u);
    EXPECT_EQ(Entries()[0].path, L"data/ok.dat");
}

} // namespace
