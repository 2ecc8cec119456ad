// Remembered verification, with the option built in: whole runs of the real verification pool
// against the test server. A file found current without being hashed is a file not fetched,
// so a record that vouches for a damaged file shows whether the run believed it.
#include <gtest/gtest.h>

#include <functional>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/update_run.h"
#include "update/verified_record.h"
#include "updaterun/remembered_support.h"
#include "updaterun/update_scenario.h"

using namespace test::remembered;

namespace {

class Remembered : public RememberedGame {};

TEST_F(Remembered, AChangeWithSizeAndLastWriteTimePutBackIsFoundAndOnlyThatFileFetched) {
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    std::vector<RecordEntry> record = ReadRecord();
    ASSERT_EQ(record.size(), kFiles);

    // The same size and both dates put back: only the change time tells.
    FILETIME created = {}, accessed = {}, written = {};
    {
        FileHandle file(CreateFileW(game.LocalPath(Name(2)).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        ASSERT_TRUE(GetFileTime(file.Get(), &created, &accessed, &written));
        Sleep(50);
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(file.Get(), "X", 1, &done, nullptr));
        ASSERT_TRUE(SetFileTime(file.Get(), &created, &accessed, &written));
    }
    // Rewritten with its own content just before the run: current, but changed too recently
    // to be remembered, since a write in the same tick would not move its change time.
    ASSERT_TRUE(test::WriteFileBytes(game.LocalPath(Name(4)), Content(4)));

    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(FetchedFiles(mark), std::vector<std::string>{game.Path(Name(2))});
    EXPECT_EQ(test::Md5Hex(test::ReadFileBytes(game.LocalPath(Name(2)))), test::Md5Hex(Content(2)));

    // The placed file is proven again by the next run, and the fresh one has settled by then.
    record = ReadRecord();
    EXPECT_FALSE(Remembers(record, Name(2)));
    EXPECT_FALSE(Remembers(record, Name(4)));
    EXPECT_EQ(record.size(), kFiles - 2);
    Sleep(kSettleMs);
    const size_t again = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_TRUE(FetchedFiles(again).empty());
    EXPECT_EQ(ReadRecord().size(), kFiles);
}

// A file that a program holds open for writing is not taken on the record's word: the folder's
// listing may lag behind what that program wrote, and a held file is never fine.
TEST_F(Remembered, AFileHeldByAWriterIsNeverTakenOnTheRecordsWord) {
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    ASSERT_EQ(ReadRecord().size(), kFiles);
    FileHandle writer(CreateFileW(game.LocalPath(Name(3)).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_NE(test::RunLight(game), L"Archivos OK!");
}

TEST_F(Remembered, AFileRenamedOverAListedOneWithItsSizeAndTimesIsFound) {
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    const std::wstring target = game.LocalPath(Name(1));
    const std::wstring other = target + L".new";
    std::string content = Content(1);
    content[0] ^= 0x55;
    ASSERT_TRUE(test::WriteFileBytes(other, content));
    {
        FileHandle from(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        FileHandle to(CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        FILETIME created = {}, accessed = {}, written = {};
        ASSERT_TRUE(GetFileTime(from.Get(), &created, &accessed, &written));
        ASSERT_TRUE(SetFileTime(to.Get(), &created, &accessed, &written));
    }
    Sleep(kSettleMs);
    ASSERT_TRUE(MoveFileExW(other.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));

    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(FetchedFiles(mark), std::vector<std::string>{game.Path(Name(1))});
    EXPECT_EQ(test::Md5Hex(test::ReadFileBytes(target)), test::Md5Hex(Content(1)));
}

// A record that vouches for a damaged file (its current identity beside the listed digest) is
// believed when it is whole, and in no other case: damaged, cut short, of another version or
// volume, and never by a full run. Each time the run that did not believe it writes a fresh
// record without the placed file.
TEST_F(Remembered, OnlyAWholeRecordOfThisVersionAndVolumeIsBelievedAndNeverByAFullRun) {
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    const std::string target = game.Path(Name(3));

    struct Case {
        const char* what;
        std::function<std::string(RecordHead, std::vector<RecordEntry>)> make;
        const wchar_t* mode;
        bool believed;
    };
    const std::vector<Case> cases = {
        {"whole", [](RecordHead h, auto e) { return EncodeRecord(h, e); }, L"LIGHT", true},
        {"one byte changed",
         [](RecordHead h, auto e) {
             std::string bytes = EncodeRecord(h, e);
             bytes[bytes.size() / 2] ^= 1;
             return bytes;
         },
         L"LIGHT", false},
        {"cut short",
         [](RecordHead h, auto e) {
             std::string bytes = EncodeRecord(h, e);
             return bytes.substr(0, bytes.size() - 9);
         },
         L"LIGHT", false},
        {"another version",
         [](RecordHead h, auto e) {
             h.version = kRecordVersion + 1;
             return EncodeRecord(h, e);
         },
         L"LIGHT", false},
        {"another volume",
         [](RecordHead h, auto e) {
             h.volume += 1;
             return EncodeRecord(h, e);
         },
         L"LIGHT", false},
        {"whole, full run", [](RecordHead h, auto e) { return EncodeRecord(h, e); }, L"FULL",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = Content(3);
        damaged[10] ^= 0x20;
        ASSERT_TRUE(test::WriteFileBytes(game.LocalPath(Name(3)), damaged));
        Sleep(kSettleMs);
        RecordHead head;
        std::vector<RecordEntry> entries;
        ASSERT_TRUE(DecodeRecord(test::ReadFileBytes(VerifiedRecordPath()), &head, &entries));
        Vouch(entries, test::Widen(target), test::Md5Hex(Content(3)),
              IdentityOf(game.LocalPath(Name(3))));
        const std::string lie = c.make(head, entries);
        ASSERT_TRUE(test::WriteFileBytes(VerifiedRecordPath(), lie));

        const size_t mark = test::TestServer::LogMark();
        RunUpdateWithManifestUrl(game.ManifestUrl(), c.mode);
        EXPECT_EQ(CurrentStatusText(), L"Archivos OK!");
        const std::vector<std::string> fetched = FetchedFiles(mark);
        if (c.believed) {
            EXPECT_TRUE(fetched.empty());
            EXPECT_TRUE(test::ReadFileBytes(VerifiedRecordPath()) == lie) << "rewritten unchanged";
            // Put right for the next case.
            ASSERT_TRUE(test::WriteFileBytes(game.LocalPath(Name(3)), Content(3)));
            continue;
        }
        EXPECT_EQ(fetched, std::vector<std::string>{target});
        EXPECT_EQ(test::Md5Hex(test::ReadFileBytes(game.LocalPath(Name(3)))),
                  test::Md5Hex(Content(3)));
        const std::vector<RecordEntry> fresh = ReadRecord();
        EXPECT_EQ(fresh.size(), kFiles - 1);
        EXPECT_FALSE(Remembers(fresh, Name(3)));
    }
}

} // namespace
