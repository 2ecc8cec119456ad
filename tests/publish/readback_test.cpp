// Every manifest the publishing tool wrote for the sample games, read back through the
// launcher's own reader and compared entry by entry with what sample_games.py meant, and every
// listed file checked under update/ with the launcher's own MD5.
// Argument: the sample folder (a Unix path; the tests see it through drive Z:).
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "update/manifest.h"
#include "update/digest.h"

namespace {

struct Expected {
    std::wstring path;
    std::string hash;
    int64_t size = 0;
    int32_t version = 0;
};

// The first program argument that is not a GoogleTest flag, as a Windows path.
std::wstring SampleFolder() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring folder;
    for (int i = 1; i < count && args; ++i) {
        std::wstring arg = args[i];
        if (arg.rfind(L"--gtest", 0) == 0) continue;
        folder = arg;
        break;
    }
    LocalFree(args);
    if (!folder.empty() && folder[0] == L'/') folder = L"Z:" + folder;
    for (wchar_t& c : folder)
        if (c == L'/') c = L'\\';
    return folder;
}

const std::wstring& Sample() {
    static const std::wstring folder = SampleFolder();
    return folder;
}

std::wstring FromUtf16Hex(const std::string& hex) {
    std::wstring text;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
        unsigned lo = std::stoul(hex.substr(i, 2), nullptr, 16);
        unsigned hi = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
        text += static_cast<wchar_t>(lo | (hi << 8));
    }
    return text;
}

// Lines of a tab-separated table, split into fields.
std::vector<std::vector<std::string>> ReadTable(const std::wstring& path) {
    std::vector<std::vector<std::string>> table;
    std::istringstream in(test::ReadFileBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) fields.push_back(cell);
        table.push_back(fields);
    }
    return table;
}

Expected ExpectedOf(const std::vector<std::string>& f, size_t first) {
    Expected e;
    e.path = FromUtf16Hex(f[first]);
    e.hash = f[first + 1];
    e.size = std::stoll(f[first + 2]);
    e.version = std::stoi(f[first + 3]);
    return e;
}

std::string Show(const std::wstring& path) { return test::Narrow(path); }

std::wstring UpdateCopyOf(const std::wstring& published, const std::wstring& path) {
    std::wstring local = published + L"\\update\\" + path;
    for (wchar_t& c : local)
        if (c == L'/') c = L'\\';
    return local;
}

TEST(PublishedManifests, ReadBackEntryByEntryAsTheToolMeantThem) {
    ASSERT_FALSE(Sample().empty()) << "pass the sample folder as the program's argument";
    auto table = ReadTable(Sample() + L"\\expected.tsv");
    ASSERT_FALSE(table.empty()) << "no expected.tsv in " << Show(Sample());

    // (folder, manifest) -> the rows in manifest order.
    std::map<std::pair<std::string, std::string>, std::vector<Expected>> wanted;
    for (const auto& row : table) {
        ASSERT_EQ(row.size(), 6u);
        wanted[{row[0], row[1]}].push_back(ExpectedOf(row, 2));
    }
    ASSERT_EQ(wanted.size(), 4u);

    for (const auto& [where, rows] : wanted) {
        const std::wstring published = Sample() + L"\\" + test::Widen(where.first);
        const std::string body = test::ReadFileBytes(published + L"\\" + test::Widen(where.second));
        SCOPED_TRACE(where.first + "/" + where.second);
        // The served sample is signed: this reader has no keys and must not notice.
        if (where.first == "published") {
            EXPECT_EQ(body.rfind("{\"signed\": {", 0), 0u);
        }
        ASSERT_TRUE(ParseManifest(body));
        const std::vector<ManifestEntry> entries = State().manifestEntries;
        ASSERT_EQ(entries.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const Expected& e = rows[i];
            SCOPED_TRACE(Show(e.path));
            EXPECT_EQ(entries[i].path, e.path);
            EXPECT_EQ(entries[i].hash, e.hash);
            // The one loss the tool warns about: sizes above the 32-bit field are capped.
            EXPECT_EQ(entries[i].size, std::min<int64_t>(e.size, INT32_MAX));
            EXPECT_EQ(entries[i].version, e.version);
            EXPECT_TRUE(IsSafeEntryPath(entries[i].path));

            // The launcher fetches <base>/update/<path>: the copy must be there, with that MD5.
            const std::wstring copy = UpdateCopyOf(published, entries[i].path);
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            ASSERT_TRUE(GetFileAttributesExW(copy.c_str(), GetFileExInfoStandard, &data))
                << "missing under update/";
            const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            EXPECT_EQ(size, e.size);
            if (size < (64 << 20)) {
                EXPECT_EQ(ComputeFileMd5(copy), e.hash);
            }
        }
    }
}

TEST(PublishedManifests, NamesTheToolTakesReadBackExactlyAndTheOnesItRefusesForTheReaderAreLost) {
    auto table = ReadTable(Sample() + L"\\probes.tsv");
    ASSERT_FALSE(table.empty());
    int exact = 0, lost = 0;
    for (const auto& row : table) {
        ASSERT_EQ(row.size(), 6u);
        const Expected e = ExpectedOf(row, 2);
        SCOPED_TRACE(row[0] + " " + row[1] + " " + Show(e.path));
        const std::string body =
            test::ReadFileBytes(Sample() + L"\\probes\\" + test::Widen(row[0]) + L".json");
        ASSERT_FALSE(body.empty());
        ParseManifest(body);
        const std::vector<ManifestEntry>& entries = State().manifestEntries;
        const bool readExactly = entries.size() == 1 && entries[0].path == e.path &&
                                 entries[0].hash == e.hash && entries[0].size == e.size &&
                                 entries[0].version == e.version;
        if (row[1] == "exact" || row[1] == "strict") {
            // "strict" names are refused by the tool for other reasons than the reader.
            EXPECT_TRUE(readExactly);
            exact += row[1] == "exact";
        } else {
            EXPECT_FALSE(readExactly) << "the reader takes this name as written";
            ++lost;
        }
    }
    EXPECT_GT(exact, 5);
    EXPECT_GT(lost, 5);
}

} // namespace
