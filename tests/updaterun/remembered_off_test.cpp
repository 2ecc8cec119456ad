// Remembered verification left out, as in the default build: a run writes no record, and a
// whole record that vouches for a damaged file changes nothing.
#include <gtest/gtest.h>

#include "base/paths.h"
#include "update/verified_record.h"
#include "updaterun/remembered_support.h"

using namespace test::remembered;

namespace {

class RememberedOff : public RememberedGame {};

TEST_F(RememberedOff, TheRecordIsNeitherWrittenNorRead) {
    ASSERT_FALSE(RemembersVerifiedFiles());
    ASSERT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_FALSE(test::PathExists(VerifiedRecordPath()));

    // The record a build with the option believes (the tests built with it show that).
    const std::wstring local = game.LocalPath(Name(3));
    std::string damaged = Content(3);
    damaged[10] ^= 0x20;
    ASSERT_TRUE(test::WriteFileBytes(local, damaged));
    Sleep(kSettleMs);
    const FileIdentity identity = IdentityOf(local);
    std::vector<RecordEntry> record;
    Vouch(record, test::Widen(game.Path(Name(3))), test::Md5Hex(Content(3)), identity);
    const std::string lie = EncodeRecord({kRecordVersion, identity.volume}, record);
    ASSERT_TRUE(test::WriteFileBytes(VerifiedRecordPath(), lie));

    const size_t mark = test::TestServer::LogMark();
    EXPECT_EQ(test::RunLight(game), L"Archivos OK!");
    EXPECT_EQ(FetchedFiles(mark), std::vector<std::string>{game.Path(Name(3))});
    EXPECT_EQ(test::Md5Hex(test::ReadFileBytes(local)), test::Md5Hex(Content(3)));
    EXPECT_TRUE(test::ReadFileBytes(VerifiedRecordPath()) == lie);
}

} // namespace
