// What the tests of remembered verification share: a small served game in two folders whose
// local copies are current and settled, the record as the run left it, and what was fetched.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "update/verified_record.h"
#include "updaterun/update_scenario.h"

namespace test::remembered {

constexpr size_t kFiles = 6;
// Longer than the record asks of a file's last change before its folder is listed.
constexpr DWORD kSettleMs = 400;

inline std::string Name(size_t i) {
    return (i % 2 ? "a/f" : "b/sub/f") + std::to_string(i) + ".bin";
}
inline std::string Content(size_t i) {
    return RandomBytes(3000 + i, 7000u + static_cast<uint32_t>(i));
}

class RememberedGame : public ::testing::Test {
protected:
    void SetUp() override {
        test::ResetRunState();
        DeleteFileW(VerifiedRecordPath().c_str());
        for (size_t i = 0; i < kFiles; ++i)
            game.AddFile(Name(i), Content(i), "same");
        game.Publish();
        Sleep(kSettleMs);
    }
    void TearDown() override { DeleteFileW(VerifiedRecordPath().c_str()); }

    UpdateScenario game;
};

// The manifest paths of the files fetched since mark, in the order asked.
inline std::vector<std::string> FetchedFiles(size_t mark) {
    std::vector<std::string> paths;
    for (const LoggedRequest& r : TestServer::RequestsSince(mark)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        paths.push_back(r.path.substr(8, r.path.find('?') - 8));
    }
    return paths;
}

inline std::vector<RecordEntry> ReadRecord() {
    RecordHead head;
    std::vector<RecordEntry> entries;
    EXPECT_TRUE(DecodeRecord(ReadFileBytes(VerifiedRecordPath()), &head, &entries));
    return entries;
}

inline bool Remembers(const std::vector<RecordEntry>& record, const std::string& name) {
    for (const RecordEntry& e : record)
        if (Narrow(e.path).ends_with("/" + name)) return true;
    return false;
}

// The file's identity as its folder's listing shows it, read here through a handle.
inline FileIdentity IdentityOf(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILE_BASIC_INFO basic = {};
    BY_HANDLE_FILE_INFORMATION info = {};
    FILE_ID_INFO volume = {};
    FileIdentity id;
    if (!file || !GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandle(file.Get(), &info) ||
        !GetFileInformationByHandleEx(file.Get(), FileIdInfo, &volume, sizeof(volume)))
        return id;
    id.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
    id.lastWrite = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
    id.change = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
    id.volume = static_cast<uint32_t>(volume.VolumeSerialNumber);
    id.fileId = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return id;
}

// The record with the file's row made to say path has the given digest and identity.
inline void Vouch(std::vector<RecordEntry>& record, const std::wstring& path,
                  const std::string& md5, const FileIdentity& identity) {
    for (RecordEntry& e : record)
        if (e.path == path) {
            e = {path, md5, "", identity};
            return;
        }
    record.push_back({path, md5, "", identity});
}

} // namespace test::remembered
