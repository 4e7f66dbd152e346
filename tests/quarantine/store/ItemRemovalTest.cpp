// Removing an item's rows and its backup container, and counting an item's rows.
#include "quarantine/store/QuarManager.h"

#include <gtest/gtest.h>

#include "quarantine/store/QuarantineDatabase.h"
#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Removal : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kStoreOk, session.Open(copy.folder())); }
    std::wstring ZipOf(const wchar_t* guid) const { return copy.folder() + L"\\quarantine\\" + guid + L".zip"; }
    uint32_t Remove(const wchar_t* guid) {
        const GUID value = test::GuidOf(guid);
        return RemoveItem(session.manager(), &value);
    }
    uint32_t Count(const wchar_t* guid) { return CountItemRecords(session.manager(), test::GuidOf(guid)); }
    int64_t RowsOf(const wchar_t* table, const wchar_t* guid) {
        QueryInfo query(std::wstring(L"SELECT count(*) FROM ") + table + L" WHERE guid=?;", SqlValue(guid));
        session.manager().connection->Execute(query);
        return query.Row(0)[0].integer;
    }

    test::CatalogueCopy copy{"removal"};
    test::Session session;
};

TEST_F(Removal, CountsFileAndRegistryRowsOnly) {
    EXPECT_EQ(3u, Count(test::kGuidR4));  // two files, one registry row
    EXPECT_EQ(2u, Count(test::kGuidR1));
    EXPECT_EQ(0u, Count(test::kGuidR5));  // custom streams only
    EXPECT_EQ(0u, Count(L"99999999-9999-9999-9999-999999999999"));
}

TEST_F(Removal, RegistryOnlyItemLosesItsRowsAndItsZip) {
    ASSERT_TRUE(Exists(ZipOf(test::kGuidR1)));
    EXPECT_EQ(kStoreOk, Remove(test::kGuidR1));
    EXPECT_FALSE(Exists(ZipOf(test::kGuidR1)));
    for (const wchar_t* table : {L"BackupItems", L"BackupRegistry", L"BackupVersions"})
        EXPECT_EQ(0, RowsOf(table, test::kGuidR1)) << table;
    EXPECT_EQ(3u, Count(test::kGuidR4));  // the others stay
    EXPECT_TRUE(Exists(ZipOf(test::kGuidR2)));
}

TEST(RemoveItem, LegacyFirstFileRowDeletesThatFileNotTheZip) {
    const std::wstring legacy = test::LegacyBackupPath();
    for (const bool present : {true, false}) {
        SCOPED_TRACE(present);
        test::CatalogueCopy copy("removal");
        test::Session session;
        ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
        if (present) test::WriteText(legacy, "compound file stand-in");
        const GUID guid = test::GuidOf(test::kGuidR2);
        // A legacy file that cannot be deleted gives 13; the rows are gone either way.
        EXPECT_EQ(present ? kStoreOk : kStoreDeleteFailed, RemoveItem(session.manager(), &guid));
        EXPECT_FALSE(Exists(legacy));
        EXPECT_TRUE(Exists(copy.folder() + L"\\quarantine\\" + test::kGuidR2 + L".zip"));
        EXPECT_EQ(0u, CountItemRecords(session.manager(), guid));
        test::ItemList list;
        ASSERT_EQ(kStoreOk, list.Get(session.handle()));
        EXPECT_EQ(4u, list->count);  // its item, version and stream rows went too
    }
}

TEST_F(Removal, KindStoredAsTextRemovesRowsAndDeletesNothing) {
    EXPECT_EQ(kStoreOk, Remove(test::kGuidR3));
    EXPECT_TRUE(Exists(ZipOf(test::kGuidR3)));
    EXPECT_EQ(0, RowsOf(L"BackupFiles", test::kGuidR3));
}

TEST_F(Removal, UnknownGuidCommitsNothingAndTriesItsZip) {
    const wchar_t* unknown = L"99999999-9999-9999-9999-999999999999";
    EXPECT_EQ(kStoreDeleteFailed, Remove(unknown));
    test::WriteText(ZipOf(unknown), "PK");
    EXPECT_EQ(kStoreNothingFound, Remove(unknown));
    EXPECT_FALSE(Exists(ZipOf(unknown)));
}

TEST_F(Removal, RefusesAMissingGuidOrConnection) {
    EXPECT_EQ(kStoreInvalidArgument, RemoveItem(session.manager(), nullptr));
    QuarManager unconnected;
    const GUID guid = test::GuidOf(test::kGuidR1);
    EXPECT_EQ(kStoreNoConnection, RemoveItem(unconnected, &guid));
    EXPECT_EQ(0u, CountItemRecords(unconnected, guid));
    EXPECT_EQ(2u, Count(test::kGuidR1));
}

TEST_F(Removal, CommitRefusedByAReaderRollsBack) {
    // Another connection inside a read transaction keeps its shared lock, so the commit cannot write.
    Csql_lite reader;
    ASSERT_TRUE(reader.Open(DatabasePath(copy.folder()).c_str()));
    ASSERT_TRUE(reader.Execute(L"BEGIN; SELECT count(*) FROM BackupItems;"));
    EXPECT_EQ(kStoreRolledBack, Remove(test::kGuidR1));
    EXPECT_TRUE(Exists(ZipOf(test::kGuidR1)));
    ASSERT_TRUE(reader.Execute(L"COMMIT;"));
    EXPECT_EQ(2u, Count(test::kGuidR1));
    EXPECT_EQ(kStoreOk, Remove(test::kGuidR1));  // no transaction was left open
    EXPECT_EQ(0u, Count(test::kGuidR1));
}

TEST(RemoveItem, AFailingDeleteRollsTheWholeItemBack) {
    test::CatalogueCopy copy("guarded");  // a trigger refuses deleting BackupRegistry rows
    test::Session session;
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    const GUID guid = test::GuidOf(test::kGuidR4);
    EXPECT_EQ(kStoreRolledBack, RemoveItem(session.manager(), &guid));
    EXPECT_EQ(2u, CountItemRecords(session.manager(), guid));  // the file row is back
    test::ItemList list;
    ASSERT_EQ(kStoreOk, list.Get(session.handle()));
    EXPECT_EQ(1u, list->count);
}

}  // namespace
}  // namespace vondrel
