// The store's two hand-offs on a session over a catalogue written by Python's sqlite3: an item's
// files restored through the file restore, and a folder packed into its archive.
#include "quarantine/restore/Handoffs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "packaging/ZipWriter.h"
#include "quarantine/store/QuarManager.h"
#include "tests/quarantine/restore/RestoreRows.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using test::LogCapture;
using test::ReadBytes;
using test::TempDir;

// The items of the fixture catalogue, in the registry form IIDFromString reads.
constexpr const wchar_t* kGuidFiles = L"{6f1c2b3a-0000-4000-8000-00000000a001}";
constexpr const wchar_t* kGuidNothing = L"{6f1c2b3a-0000-4000-8000-00000000b002}";
constexpr const wchar_t* kGuidRegistry = L"{6f1c2b3a-0000-4000-8000-00000000c003}";
constexpr const wchar_t* kEnterLine = L"QuarManager::RestoreFiles : ENTER";

std::wstring Fixture(const std::wstring& name) { return test::FixtureDir("restore") + L"\\" + name; }

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A session on a copy of the fixture catalogue, released under the store lock when it goes.
class CatalogueSession {
public:
    explicit CatalogueSession(const std::wstring& folder) {
        CreateDirectoryW(folder.c_str(), nullptr);
        CopyFileW(Fixture(L"store\\Quarantine.db").c_str(), (folder + L"\\Quarantine.db").c_str(), FALSE);
        result_ = OpenBackup(folder.c_str(), &handle_);
    }
    ~CatalogueSession() {
        StoreLockHolder lock;
        ReleaseBackup(handle_);
    }
    CatalogueSession(const CatalogueSession&) = delete;
    CatalogueSession& operator=(const CatalogueSession&) = delete;

    uint32_t result() const { return result_; }
    QuarantineHandle handle() const { return handle_; }

private:
    QuarantineHandle handle_ = 0;
    uint32_t result_ = 0;
};

QuarantineItem ItemOf(const wchar_t* guidText) {
    QuarantineItem item{};
    item.cbSize = sizeof item;
    IIDFromString(guidText, &item.guid);
    return item;
}

class HandoffsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(session_.result(), kStoreOk);
        ASSERT_TRUE(CreateDirectoryW(work_.c_str(), nullptr));
    }

    TempDir dir_;
    CatalogueSession session_{dir_ / L"Quarantine"};
    std::wstring work_ = dir_ / L"work";
    unsigned restored_ = 99;
    test::RecordingEntries entries_{&restored_};
};

TEST_F(HandoffsTest, RestoresEveryFileOfTheItem) {
    const QuarantineItem item = ItemOf(kGuidFiles);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), work_.c_str(), &restored_), kStoreOk);
    EXPECT_EQ(restored_, 2u);
    ASSERT_EQ(entries_.entries.size(), 2u);
    EXPECT_EQ(entries_.entries[1].destination, work_ + L"\\second.txt");
    EXPECT_EQ(ReadBytes(work_ + L"\\doc.txt"), ReadBytes(Fixture(L"source\\Users\\a\\doc.txt")));
    EXPECT_EQ(ReadBytes(work_ + L"\\second.txt"), ReadBytes(Fixture(L"source\\Users\\a\\second.txt")));
}

// Stands for the product writing its catalogue while the tool restores: at every restored file it
// commits a change on a connection of its own, without waiting for any lock.
class WriterDuringRestore final : public IFileEntryWriter {
public:
    explicit WriterDuringRestore(const std::wstring& catalogue) {
        if (sqlite3_open16(catalogue.c_str(), &db_) != SQLITE_OK) db_ = nullptr;
    }
    ~WriterDuringRestore() override { sqlite3_close(db_); }

    void WriteFileEntry(const QueryInfo&, size_t, const std::wstring&) override {
        results.push_back(db_ ? sqlite3_exec(db_, "UPDATE BackupItems SET guid = guid;", nullptr, nullptr, nullptr)
                              : SQLITE_CANTOPEN);
    }

    std::vector<int> results;

private:
    sqlite3* db_ = nullptr;
};

TEST_F(HandoffsTest, TheCatalogueIsNotLockedWhileTheFilesAreRestored) {
    WriterDuringRestore writer(dir_ / L"Quarantine\\Quarantine.db");
    const QuarantineItem item = ItemOf(kGuidFiles);
    EXPECT_EQ(RestoreItemFiles(&writer, &item, session_.handle(), work_.c_str(), &restored_), kStoreOk);
    EXPECT_EQ(writer.results, (std::vector<int>{SQLITE_OK, SQLITE_OK}));
}

TEST_F(HandoffsTest, ItemWithoutFileOrRegistryRowsSkipsTheRestore) {
    LogCapture log;
    const QuarantineItem item = ItemOf(kGuidNothing);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), work_.c_str(), &restored_), kStoreOk);
    EXPECT_EQ(restored_, 0u);
    EXPECT_FALSE(log.Contains(kEnterLine));
}

TEST_F(HandoffsTest, ItemWithRegistryRowsOnlyRunsTheRestoreOverNoRows) {
    LogCapture log;
    const QuarantineItem item = ItemOf(kGuidRegistry);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), work_.c_str(), &restored_), kStoreOk);
    EXPECT_EQ(restored_, 0u);
    EXPECT_TRUE(log.Contains(kEnterLine));
    EXPECT_TRUE(log.Contains(L"QuarManager::RestoreFiles : EXIT, retval : 0"));
}

TEST_F(HandoffsTest, FailedFileQueryGives10) {
    {
        StoreLockHolder lock;
        ASSERT_TRUE(SessionFromHandle(session_.handle())->connection->Execute(L"DROP TABLE BackupFiles;"));
    }
    // The registry row still counts, so the query is run and fails.
    const QuarantineItem item = ItemOf(kGuidRegistry);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), work_.c_str(), &restored_), kStoreQueryFailed);
    EXPECT_EQ(restored_, 0u);
}

TEST_F(HandoffsTest, MissingArgumentsGive1) {
    const QuarantineItem item = ItemOf(kGuidFiles);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, 0, work_.c_str(), &restored_), kStoreInvalidArgument);
    EXPECT_EQ(restored_, 99u);
    EXPECT_EQ(RestoreItemFiles(&entries_, nullptr, session_.handle(), work_.c_str(), &restored_), kStoreInvalidArgument);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), nullptr, &restored_), kStoreInvalidArgument);
    EXPECT_EQ(restored_, 0u);
    EXPECT_EQ(RestoreItemFiles(&entries_, &item, session_.handle(), work_.c_str(), nullptr), kStoreInvalidArgument);

    EXPECT_EQ(PackFolder(work_.c_str(), 0), kStoreInvalidArgument);
    EXPECT_EQ(PackFolder(nullptr, session_.handle()), kStoreInvalidArgument);
    EXPECT_FALSE(Exists(work_ + L".zip"));
}

TEST_F(HandoffsTest, EmptyFolderPacksToNothing) {
    EXPECT_EQ(PackFolder(work_.c_str(), session_.handle()), kStoreOk);
    EXPECT_FALSE(Exists(work_ + L".zip"));
}

TEST_F(HandoffsTest, FolderThatCannotBeListedGives9) {
    EXPECT_EQ(PackFolder((dir_ / L"missing").c_str(), session_.handle()), kStoreListFailed);
}

// The locked file comes first or last, depending on the listing; either way the archive must not pass
// for complete.
TEST_F(HandoffsTest, AnyFileThatCannotBeAddedGives9) {
    const wchar_t* const names[] = {L"a.txt", L"b.txt", L"c.txt"};
    for (const wchar_t* locked : names) {
        SCOPED_TRACE(testing::Message() << locked);
        for (const wchar_t* name : names) test::WriteText(work_ + L"\\" + name, "content");
        UniqueFile lock(CreateFileW((work_ + L"\\" + locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(lock);
        EXPECT_EQ(PackFolder(work_.c_str(), session_.handle()), kStoreListFailed);
        EXPECT_TRUE(Exists(work_ + L".zip"));
        DeleteFileW((work_ + L".zip").c_str());
    }
}

// The files of a folder in the order the listing gives them, as PackFolder meets them.
std::vector<std::wstring> ListedFiles(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    return names;
}

std::vector<uint8_t> MixedContent(size_t index) {
    std::vector<uint8_t> bytes((index * 977) % 9000);
    uint32_t state = static_cast<uint32_t>(index) * 2654435761u + 1;
    for (size_t i = 0; i < bytes.size(); ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = i < bytes.size() / 2 ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>('a' + i % 7);
    }
    return bytes;
}

// Packing keeps one archive open for the whole folder; the bytes must be those of adding the files
// one at a time, each call opening and closing the archive, whatever was at the archive's path
// before and with files that cannot be added among them (the first listed and one in the middle).
// Each entry's encryption header starts with ten bytes of the C runtime's rand(), which the zip
// library seeds once, at the first entry of the process (the earlier archive below): seeding it the
// same before both ways of packing makes them draw the same bytes.
TEST_F(HandoffsTest, PackingTheFolderGivesTheBytesOfAddingFileByFile) {
    constexpr size_t kFiles = 300;
    constexpr unsigned kEncryptionSeed = 16;
    for (size_t i = 0; i < kFiles; ++i) test::WriteBytes(work_ + L"\\f" + std::to_wstring(i) + L".bin", MixedContent(i));
    const std::vector<std::wstring> listed = ListedFiles(work_);
    ASSERT_EQ(listed.size(), kFiles);
    UniqueFile lockFirst(CreateFileW((work_ + L"\\" + listed.front()).c_str(), GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueFile lockMiddle(CreateFileW((work_ + L"\\" + listed[kFiles / 2]).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lockFirst && lockMiddle);

    const std::wstring packed = work_ + L".zip";
    const std::wstring reference = dir_ / L"reference.zip";
    struct Before {
        const char* name;
        std::vector<uint8_t> bytes;  // empty: no file at the archive's path
    };
    const std::vector<uint8_t> otherArchive = [&] {
        const std::wstring source = dir_ / L"earlier.txt";
        test::WriteText(source, "an entry from an earlier run");
        const std::wstring zip = dir_ / L"earlier.zip";
        EXPECT_EQ(AddFileToZip(source.c_str(), zip.c_str()), kZipAddOk);
        return ReadBytes(zip);
    }();
    const Before cases[] = {
        {"no archive", {}},
        {"a file that is not an archive", std::vector<uint8_t>(100, 'x')},
        {"an archive with an entry", otherArchive},
    };
    for (const Before& before : cases) {
        SCOPED_TRACE(before.name);
        DeleteFileW(packed.c_str());
        DeleteFileW(reference.c_str());
        if (!before.bytes.empty()) {
            test::WriteBytes(packed, before.bytes);
            test::WriteBytes(reference, before.bytes);
        }
        std::srand(kEncryptionSeed);
        EXPECT_EQ(PackFolder(work_.c_str(), session_.handle()), kStoreListFailed);
        std::srand(kEncryptionSeed);
        size_t added = 0;
        for (const std::wstring& name : listed) {
            if (AddFileToZip((work_ + L"\\" + name).c_str(), reference.c_str()) == kZipAddOk) ++added;
        }
        EXPECT_EQ(added, kFiles - 2);
        const std::vector<uint8_t> expected = ReadBytes(reference);
        ASSERT_GT(expected.size(), 0u);
        EXPECT_TRUE(ReadBytes(packed) == expected) << "the packed archive differs from the one added file by file";
    }
}

}  // namespace
}  // namespace vondrel
