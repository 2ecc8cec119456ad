// The manifest reader against many thousands of broken, mutated and random documents: it
// never crashes, never hangs, and never accepts an entry whose local copy would lie anywhere
// but inside the game folder. The launcher runs elevated, so a hostile or garbled manifest
// must not be able to make it write elsewhere. Every input is made from fixed seeds, so a
// failure repeats exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "support/test_support.h"
#include "update/manifest.h"

namespace {

// Raw bytes of path values as they stand in a document (the reader keeps escapes as they
// are, so a backslash here is a backslash in the path).
const char* const kUnsafePaths[] = {
    "..", "../x.dll", "..\\x.dll", "a/../../x", "a/..", "a\\..\\..\\x", "a/b/../../../x",
    "/x", "\\x", "//server/share/x", "\\\\server\\share\\x", "\\\\?\\C:\\x", "\\\\.\\C:\\x",
    "\\??\\C:\\x", "C:x", "C:/Windows/x.dll", "c:\\x", "a:b", "x::$DATA", "a/b:stream",
    "... /x", ". ./x", ".. /x", " ../x", "a/ .. /b", "a/.../b", "a/..../b", "...", "a/.. ",
    "CON", "con.txt", "a/NUL", "aux.dll", "PRN", "COM1", "com9.log", "LPT1", "lpt3.x",
    "CONIN$", "conout$", "Con .x", "NUL ", "nul..", "a/con/b", "COM\xc2\xb9", "lpt\xc2\xb2.x",
    "COM0", "LPT0", "nul.tar.gz", "data/Aux", ".", "./", "./.", "a/./..", ".//.", "/",
    // Spellings Windows takes for another name (one file would have two rows), and the
    // launcher's own folder.
    "a..", "a/./b", "./x", "a//b", "a\\b", "Log/readme",
};

const char* const kSafePaths[] = {
    "a.bin", "data/file1.dat", "x/y/z.pak", "dir with space/f", "\xc3\xa9t\xc3\xa9.txt",
    ".hidden", "a..b", "a/.b", "..a", "CONX", "CON1", "COM10",
    "LPTA", "nulx.txt", "xcon", "conin", "x.con", "com", "a/b/c/d/e/f/g.h",
    "\xc0\xae\xc0\xae/x", "Zarvo Vestra.exe", "~1", "a;b", "a,b",
};

// Pieces the generator builds paths and documents from.
const char* const kComponents[] = {
    "a", "data", "..", ".", "...", " ..", ".. ", " ", "", "CON", "nul.txt", "COM1", "x.pak",
    "C:", "\\", "/", "\\\\", "?", "*", "\xff", "\xc3\xa9", "\xe2\x80\xa4\xe2\x80\xa4",
    "\xef\xbc\x8e\xef\xbc\x8e", "%2e%2e", "\t", "a.", ". .", "$DATA", "\xc0\xaf",
};
const char* const kTokens[] = {
    "{", "}", "[", "]", "\"", ":", ",", "\"files\"", "\"path\"", "\"hash\"", "\"size\"",
    "\"version\"", "..", "/", "\\", "C:", "CON", " ", "\n", "-", "2147483648", "null",
    "\"0123456789abcdef0123456789ABCDEF\"", "\\u0000", "\\\"", "\xc0\xae", "\x00",
};

uint32_t Pick(std::mt19937& g, uint32_t n) { return n == 0 ? 0 : g() % n; }
template <size_t N> const char* PickOf(std::mt19937& g, const char* const (&list)[N]) {
    return list[Pick(g, N)];
}

std::string RandomHash(std::mt19937& g) {
    static const char hex[] = "0123456789abcdefABCDEF";
    switch (Pick(g, 8)) {
    case 0: return std::string(31, 'a');
    case 1: return std::string(33, 'f');
    case 2: {
        std::string junk(32, ' ');
        for (char& c : junk) c = static_cast<char>(1 + Pick(g, 255));
        for (char& c : junk)
            if (c == '"' || c == '}') c = 'x';
        return junk;
    }
    default: {
        std::string h(32, '0');
        for (char& c : h) c = hex[Pick(g, 22)];
        return h;
    }
    }
}

std::string RandomPath(std::mt19937& g) {
    switch (Pick(g, 4)) {
    case 0: return PickOf(g, kUnsafePaths);
    case 1: return PickOf(g, kSafePaths);
    default: {
        std::string path;
        const uint32_t parts = 1 + Pick(g, 5);
        for (uint32_t i = 0; i < parts; ++i) {
            if (i > 0) path += Pick(g, 3) == 0 ? "\\" : "/";
            path += PickOf(g, kComponents);
        }
        return path;
    }
    }
}

std::string RandomNumber(std::mt19937& g) {
    static const char* const numbers[] = {"0", "1", "-1", "12345", "2147483647", "2147483648",
                                          "-2147483649", "99999999999999999999", "\"12\"",
                                          "null", "true", "1.5", "  +7", "-", "", "0x10"};
    return PickOf(g, numbers);
}

// A document that looks like a manifest: rows in any key order, with keys missing, values of
// every kind and some unsafe paths among the rows.
std::string RandomManifest(std::mt19937& g) {
    std::string doc = Pick(g, 4) == 0 ? "junk before {\"x\": 1} " : "";
    doc += "{\"files\": [";
    const uint32_t rows = Pick(g, 13);
    for (uint32_t r = 0; r < rows; ++r) {
        std::vector<std::string> fields = {
            "\"path\": \"" + RandomPath(g) + "\"", "\"hash\": \"" + RandomHash(g) + "\"",
            "\"size\": " + RandomNumber(g), "\"version\": " + RandomNumber(g)};
        if (Pick(g, 6) == 0) fields.erase(fields.begin() + Pick(g, 4));
        std::shuffle(fields.begin(), fields.end(), g);
        doc += r > 0 ? ", {" : "{";
        for (size_t i = 0; i < fields.size(); ++i) doc += (i ? ", " : "") + fields[i];
        doc += "}";
    }
    doc += "]}";
    return doc;
}

std::string Mutate(std::string doc, std::mt19937& g) {
    const uint32_t edits = 1 + Pick(g, 6);
    for (uint32_t e = 0; e < edits; ++e) {
        const size_t at = Pick(g, static_cast<uint32_t>(doc.size() + 1));
        switch (Pick(g, 7)) {
        case 0:
            if (!doc.empty() && at < doc.size()) doc[at] = static_cast<char>(g() & 0xFF);
            break;
        case 1: doc.insert(at, PickOf(g, kTokens)); break;
        case 2: doc.erase(at, Pick(g, 40)); break;
        case 3: {
            const size_t from = Pick(g, static_cast<uint32_t>(doc.size() + 1));
            doc.insert(at, doc.substr(from, Pick(g, 80)));
            break;
        }
        case 4: doc.resize(at); break;
        case 5: doc.insert(at, "\"path\": \"" + RandomPath(g) + "\""); break;
        default: {
            std::string bytes(Pick(g, 16), '\0');
            for (char& c : bytes) c = static_cast<char>(g() & 0xFF);
            doc.insert(at, bytes);
        }
        }
    }
    return doc;
}

std::string RandomBytesDoc(std::mt19937& g) {
    std::string doc(Pick(g, 600), '\0');
    for (char& c : doc) c = static_cast<char>(g() & 0xFF);
    if (Pick(g, 2) == 0) doc.insert(Pick(g, static_cast<uint32_t>(doc.size() + 1)), "\"files\"[");
    return doc;
}

std::string TokenSoup(std::mt19937& g) {
    std::string doc = "\"files\" [";
    const uint32_t n = Pick(g, 120);
    for (uint32_t i = 0; i < n; ++i) doc += Pick(g, 5) == 0 ? RandomPath(g) : PickOf(g, kTokens);
    return doc;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

// Where a path would really be written, and whether that is a place strictly below the game
// folder: the resolved form must start with the folder and a backslash, name something
// after it, and hold no ".." that the resolution left standing.
bool StrictlyInside(const std::wstring& path, std::wstring* resolved) {
    // Compared in the plain form: a long path resolves to its "\\?\" one.
    const std::wstring root = PlainPath(LauncherFolderFull()) + L"\\";
    *resolved = PlainPath(ResolveFullPath(path));
    if (resolved->size() <= root.size()) return false;
    if (Lower(resolved->substr(0, root.size())) != Lower(root)) return false;
    const std::wstring rest = resolved->substr(root.size());
    size_t begin = 0;
    while (begin <= rest.size()) {
        size_t end = rest.find(L'\\', begin);
        if (end == std::wstring::npos) end = rest.size();
        if (rest.substr(begin, end - begin) == L"..") return false;
        begin = end + 1;
    }
    return true;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buffer[4];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buffer, sizeof(buffer), "\\%02x", c);
            out += buffer;
        }
    }
    return out;
}

// Runs every input through the reader under a watchdog and checks what it accepted.
class ReaderHarness {
public:
    ReaderHarness() : watchdog_([this] { Watch(); }) {}
    ~ReaderHarness() {
        stop_ = true;
        watchdog_.join();
    }

    // Problems with this input; empty when the reader did right.
    std::string Check(const std::string& doc) {
        {
            std::lock_guard<std::mutex> lock(currentMutex_);
            current_ = doc;
        }
        startedAt_ = GetTickCount64();
        const bool accepted = ParseManifest(doc);
        startedAt_ = 0;
        ++inputs_;

        const std::vector<ManifestEntry>& entries = State().manifestEntries;
        if (accepted != !entries.empty()) return "the result does not match the entries taken";
        for (const ManifestEntry& e : entries) {
            ++entriesChecked_;
            if (e.path.empty() || e.hash.size() != 32) return "an entry without path or hash";
            for (char c : e.hash)
                if (c >= 'A' && c <= 'Z') return "a hash kept its capitals";
            std::wstring resolved;
            const std::wstring local = LocalPathForEntry(e);
            if (!StrictlyInside(local, &resolved) || !StrictlyInside(local + L".tmp", &resolved))
                return "accepted \"" + test::Narrow(e.path) + "\", written at " +
                       test::Narrow(resolved);
        }
        return {};
    }

    long Inputs() const { return inputs_; }
    long EntriesChecked() const { return entriesChecked_; }

private:
    // An input that keeps the reader busy for this long is a hang; the input is printed so
    // that it can be replayed, and the program ends.
    static constexpr ULONGLONG kHangMs = 20000;

    void Watch() {
        while (!stop_) {
            ULONGLONG started = startedAt_;
            if (started != 0 && GetTickCount64() - started > kHangMs) {
                std::lock_guard<std::mutex> lock(currentMutex_);
                std::fprintf(stderr, "the reader hangs on: %s\n",
                             Hex(current_.substr(0, 4096)).c_str());
                std::fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 3);
            }
            Sleep(50);
        }
    }

    std::atomic<ULONGLONG> startedAt_{0};
    std::atomic<bool> stop_{false};
    std::mutex currentMutex_;
    std::string current_;
    long inputs_ = 0;
    long entriesChecked_ = 0;
    std::thread watchdog_;
};

std::string Row(const std::string& path) {
    return "{\"path\": \"" + path + "\", \"hash\": \"0123456789abcdef0123456789abcdef\", "
           "\"size\": 1, \"version\": 1}";
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    out.reserve(piece.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::string ManifestOf(const std::vector<std::string>& paths) {
    std::string doc = "{\"files\": [";
    for (size_t i = 0; i < paths.size(); ++i) doc += (i ? ", " : "") + Row(paths[i]);
    return doc + "]}";
}

TEST(BadManifests, AManifestOfOnlyUnsafePathsIsRefused) {
    ReaderHarness reader;
    std::vector<std::string> all;
    for (const char* path : kUnsafePaths) {
        EXPECT_FALSE(ParseManifest(ManifestOf({path}))) << "took \"" << Hex(path) << "\"";
        all.push_back(path);
    }
    EXPECT_FALSE(ParseManifest(ManifestOf(all)));
    EXPECT_TRUE(State().manifestEntries.empty());
}

TEST(BadManifests, UnsafeRowsAreDroppedAndTheirSafeNeighboursKept) {
    ReaderHarness reader;
    std::vector<std::string> mixed;
    size_t safe = 0;
    for (size_t i = 0; i < std::size(kUnsafePaths) || i < std::size(kSafePaths); ++i) {
        if (i < std::size(kUnsafePaths)) mixed.push_back(kUnsafePaths[i]);
        if (i < std::size(kSafePaths)) {
            mixed.push_back(kSafePaths[i]);
            ++safe;
        }
    }
    const std::string doc = ManifestOf(mixed);
    EXPECT_EQ(reader.Check(doc), "");
    ASSERT_EQ(State().manifestEntries.size(), safe);
    for (size_t i = 0; i < safe; ++i)
        EXPECT_EQ(State().manifestEntries[i].path, test::Widen(kSafePaths[i]));
}

TEST(BadManifests, ThousandsOfMutatedAndRandomDocuments) {
    ReaderHarness reader;
    std::mt19937 g(20240607);
    int failures = 0;
    auto check = [&](const std::string& doc, const char* kind) {
        std::string problem = reader.Check(doc);
        if (!problem.empty() && ++failures <= 10)
            ADD_FAILURE() << kind << ": " << problem << "\n  input: " << Hex(doc.substr(0, 2000));
    };
    for (int base = 0; base < 10000; ++base) {
        const std::string manifest = RandomManifest(g);
        check(manifest, "generated");
        for (int m = 0; m < 5; ++m) check(Mutate(manifest, g), "mutated");
    }
    for (int i = 0; i < 10000; ++i) check(RandomBytesDoc(g), "random bytes");
    for (int i = 0; i < 10000; ++i) check(TokenSoup(g), "token soup");
    std::printf("%ld documents read, %ld accepted entries checked\n", reader.Inputs(),
                reader.EntriesChecked());
    EXPECT_GE(reader.Inputs(), 80000);
    // Whole documents go when two rows name one file, so fewer entries pass than rows are made.
    EXPECT_GT(reader.EntriesChecked(), 30000);
}

TEST(BadManifests, LargeAndDegenerateDocumentsEndAndStaySafe) {
    ReaderHarness reader;
    std::string rows = "{\"files\": [";
    for (int i = 0; i < 40000; ++i) rows += (i ? "," : "") + Row("d/f" + std::to_string(i));
    rows += "]}";
    const std::string head = "{\"files\": [";
    const std::vector<std::pair<const char*, std::string>> docs = {
        {"open braces", head + std::string(2 << 20, '{')},
        {"empty objects", head + Repeat("{}", 300000)},
        {"unclosed paths", head + Repeat("{\"path\": \"", 100000) + "}"},
        {"one huge object", head + "{" + Repeat("\"path\":", 200000) + "}"},
        {"colons", head + "{\"size\"" + std::string(1 << 20, ':') + "}"},
        {"long path", head + Row(std::string(70000, 'a'))},
        {"deep path", head + Row(Repeat("d/", 5000) + "f")},
    };
    for (const auto& [name, doc] : docs) EXPECT_EQ(reader.Check(doc), "") << name;
    EXPECT_EQ(reader.Check(rows), "");
    EXPECT_EQ(State().manifestEntries.size(), 40000u);
}

} // namespace
