// Opening and ending sessions: folder creation, schema bring-up by state, the length limits.
#include "quarantine/store/QuarManager.h"

#include <gtest/gtest.h>

#include "quarantine/store/QuarantineDatabase.h"
#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

constexpr QuarantineHandle kUntouched = 0x5151;

TEST(OpenBackup, CreatesAMissingFolderAndCatalogueThenReports4ThenOpens) {
    test::TempDir dir;
    const std::wstring folder = dir / L"missing\\parents\\Quarantine";
    test::Session first;
    EXPECT_EQ(kStoreImportOff, first.Open(folder));
    EXPECT_EQ(0, first.handle());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\Quarantine.db").c_str()));

    test::Session second;
    ASSERT_EQ(kStoreOk, second.Open(folder));
    EXPECT_NE(0, second.handle());
    EXPECT_EQ(folder, second.manager().folder);
    test::ItemList list;
    ASSERT_EQ(kStoreOk, list.Get(second.handle()));
    EXPECT_EQ(0u, list->count);
    EXPECT_EQ(sizeof(QuarantineItemList), list->cbSize);
}

TEST(OpenBackup, BringsEachSchemaStateUpToDate) {
    struct UpgradeCase {
        const char* fixture;
        uint32_t first;
        uint32_t second;
        uint64_t fileAttribute;  // of the old file row after the upgrade (0: not listed)
    };
    const UpgradeCase cases[] = {
        {"basic5", kStoreOk, kStoreOk, 32},
        {"noattribute", kStoreOk, kStoreOk, 32},
        {"noinfo", kStoreOk, kStoreOk, 0},
        {"sizenoactor", kStoreSchemaFailed, kStoreSchemaFailed, 0},
        {"noitems", kStoreSchemaFailed, kStoreOk, 0},  // kept: the creation adds tables until one exists
        {"notadb", kStoreImportOff, kStoreOk, 0},       // replaced by a fresh catalogue
        {"listing", kStoreOk, kStoreOk, 0},
    };
    for (const UpgradeCase& c : cases) {
        SCOPED_TRACE(c.fixture);
        test::CatalogueCopy copy(c.fixture);
        test::Session session;
        EXPECT_EQ(c.first, session.Open(copy.folder()));
        EXPECT_EQ(c.second, session.Open(copy.folder()));
        if (c.fileAttribute == 0) continue;
        test::ItemList list;
        ASSERT_EQ(kStoreOk, list.Get(session.handle()));
        ASSERT_EQ(1u, list->count);
        ASSERT_EQ(1u, list.Item(0).entryCount);
        const BackupFileRecord* file = list.Item(0).entries[0]->file;
        ASSERT_NE(nullptr, file);
        EXPECT_EQ(c.fileAttribute, file->fileAttribute);
        EXPECT_EQ(0u, file->size);
        EXPECT_EQ(nullptr, file->actorProcessName);
    }
}

TEST(OpenBackup, ADatabaseWithoutItsItemsTableKeepsItsRows) {
    test::CatalogueCopy copy("noitems");
    test::Session session;
    ASSERT_EQ(kStoreSchemaFailed, session.Open(copy.folder()));
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    Csql_lite db;
    ASSERT_TRUE(db.Open(DatabasePath(copy.folder()).c_str(), true));
    QueryInfo files(L"SELECT count(*) FROM BackupFiles;");
    ASSERT_TRUE(db.Execute(files));
    EXPECT_EQ(1, files.Row(0)[0].integer);
}

TEST(OpenBackup, FolderLengthLimits) {
    test::TempDir dir;
    const std::wstring fits = test::FolderOfLength(dir, 245);
    test::Session session;
    EXPECT_EQ(kStoreImportOff, session.Open(fits));
    EXPECT_EQ(kStoreOk, session.Open(fits));
    session.Release();

    // 246: the database path does not fit, so no connection opens and nothing can be deleted.
    QuarantineHandle handle = kUntouched;
    EXPECT_EQ(kStoreCannotOpen, OpenBackup(test::FolderOfLength(dir, 246).c_str(), &handle));
    EXPECT_EQ(kUntouched, handle);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((test::FolderOfLength(dir, 246) + L"\\Quarantine.db").c_str()));

    // The library keeps the last folder in 260 characters.
    const std::wstring tooLong = dir.path() + L"\\" + std::wstring(260, L'x');
    EXPECT_EQ(kStoreInvalidArgument, OpenBackup(tooLong.c_str(), &handle));
    EXPECT_EQ(kUntouched, handle);
}

TEST(OpenBackup, RefusesMissingArgumentsAndUncreatableFolders) {
    QuarantineHandle handle = kUntouched;
    EXPECT_EQ(kStoreInvalidArgument, OpenBackup(nullptr, &handle));
    EXPECT_EQ(kStoreInvalidArgument, OpenBackup(L"", &handle));
    EXPECT_EQ(kStoreInvalidArgument, OpenBackup(L"C:\\Quarantine", nullptr));
    EXPECT_EQ(kUntouched, handle);

    test::TempDir dir;
    const std::wstring file = dir / L"plain-file";
    test::WriteText(file, "not a folder");
    EXPECT_EQ(kStoreNoFolder, OpenBackup((file + L"\\Quarantine").c_str(), &handle));
    EXPECT_EQ(kUntouched, handle);
}

TEST(OpenBackup, SessionsAreIndependentAndTheLockIsRecursive) {
    test::CatalogueCopy first("listing");
    test::CatalogueCopy second("empty");
    test::Session a;
    test::Session b;
    ASSERT_EQ(kStoreOk, a.Open(first.folder()));
    ASSERT_EQ(kStoreOk, b.Open(second.folder()));
    StoreLockHolder outer;
    StoreLockHolder inner;
    test::ItemList listA;
    test::ItemList listB;
    ASSERT_EQ(kStoreOk, listA.Get(a.handle()));
    ASSERT_EQ(kStoreOk, listB.Get(b.handle()));
    EXPECT_EQ(5u, listA->count);
    EXPECT_EQ(0u, listB->count);
}

TEST(ReleaseBackup, RemovesThePendingItemAndForgetsTheHandle) {
    test::CatalogueCopy copy("removal");
    test::Session session;
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    const QuarantineHandle handle = session.handle();
    session.manager().pendingRemoval = test::GuidOf(test::kGuidR1);
    session.Release();
    {
        StoreLockHolder lock;
        EXPECT_EQ(nullptr, SessionFromHandle(handle));
        ReleaseBackup(handle);  // a second release of the same handle does nothing
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW((copy.folder() + L"\\quarantine\\" + test::kGuidR1 + L".zip").c_str()));

    test::Session again;
    ASSERT_EQ(kStoreOk, again.Open(copy.folder()));
    EXPECT_EQ(0u, CountItemRecords(again.manager(), test::GuidOf(test::kGuidR1)));
    EXPECT_EQ(3u, CountItemRecords(again.manager(), test::GuidOf(test::kGuidR4)));
}

TEST(GetItems, RefusesMissingHandlesAndSessionsWithoutConnection) {
    QuarantineItemList* list = reinterpret_cast<QuarantineItemList*>(0x1);
    {
        StoreLockHolder lock;
        EXPECT_EQ(kStoreInvalidArgument, GetItems(0, &list));
        EXPECT_EQ(nullptr, list);
        EXPECT_EQ(kStoreInvalidArgument, GetItems(0x1234, &list));
        EXPECT_EQ(kStoreInvalidArgument, GetItems(0, nullptr));
    }
    EXPECT_EQ(kStoreOk, FreeItems(nullptr));

    test::CatalogueCopy copy("empty");
    test::Session session;
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    std::unique_ptr<ISQLInterface> connection = std::move(session.manager().connection);
    test::ItemList none;
    EXPECT_EQ(kStoreNoConnection, none.Get(session.handle()));
    EXPECT_EQ(nullptr, none.get());
    session.manager().connection = std::move(connection);
}

TEST(StripBraces, RemovesTheFirstOfEachBrace) {
    struct BraceCase {
        const wchar_t* text;
        const wchar_t* expected;
    };
    const BraceCase cases[] = {
        {L"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", L"3F2504E0-4F89-11D3-9A0C-0305E82C3301"},
        {L"no braces", L"no braces"},
        {L"}{x}{", L"x}{"},
        {L"{{a}}", L"{a}"},
        {L"", L""},
    };
    for (const BraceCase& c : cases) EXPECT_EQ(c.expected, StripBraces(c.text));
}

}  // namespace
}  // namespace vondrel
