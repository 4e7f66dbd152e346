#include "quarantine/store/QuarantineDatabase.h"

#include <gtest/gtest.h>

#include <cstring>

#include "quarantine/store/QuarManager.h"
#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(GuidText, FormatsLowerCaseWithoutBraces) {
    const GUID guid = {0x3f2504e0, 0x4f89, 0x11d3, {0x9a, 0x0c, 0x03, 0x05, 0xe8, 0x2c, 0x33, 0x01}};
    EXPECT_EQ(L"3f2504e0-4f89-11d3-9a0c-0305e82c3301", GuidToText(guid));
    const GUID small = {0xc0a, 0x1, 0x2, {0, 0, 0, 0, 0, 0, 0, 0xf}};
    EXPECT_EQ(L"00000c0a-0001-0002-0000-00000000000f", GuidToText(small));
}

TEST(GuidText, ParsesEachPartFromItsPosition) {
    const GUID expected = {0x3f2504e0, 0x4f89, 0x11d3, {0x9a, 0x0c, 0x03, 0x05, 0xe8, 0x2c, 0x33, 0x01}};
    struct ParseCase {
        const wchar_t* text;
        GUID guid;
    };
    const ParseCase cases[] = {
        {L"3f2504e0-4f89-11d3-9a0c-0305e82c3301", expected},
        {L"3F2504E0-4F89-11D3-9A0C-0305E82C3301", expected},
        // Parts end at the first non-hex character; a short text leaves the rest 0.
        {L"12-34", {0x12, 0, 0, {0}}},
        {L"", {0, 0, 0, {0}}},
        {L"3f2504e0-4f89-11d3-9a0c-0305", {0x3f2504e0, 0x4f89, 0x11d3, {0x9a, 0x0c, 0x03, 0x05, 0, 0, 0, 0}}},
        {L"zz2504e0-4f89-11d3-9a0c-0305e82c3301", {0, 0x4f89, 0x11d3, {0x9a, 0x0c, 0x03, 0x05, 0xe8, 0x2c, 0x33, 0x01}}},
        // Too many digits are truncated to the part's width.
        {L"1234567890", {0x34567890, 0, 0, {0}}},
    };
    for (const ParseCase& c : cases) {
        const GUID parsed = GuidFromText(c.text);
        EXPECT_EQ(0, std::memcmp(&c.guid, &parsed, sizeof(GUID))) << Narrow(c.text) << " -> " << Narrow(GuidToText(parsed));
    }
}

TEST(CreationTime, ParsesTheCatalogueFormAndLeavesTheRestZero) {
    struct TimeCase {
        const wchar_t* text;
        WORD year, month, day, hour, minute, second;
    };
    const TimeCase cases[] = {
        {L"2021-07-05 09:03:07", 2021, 7, 5, 9, 3, 7},
        {L"1999-12-31 23:59:58", 1999, 12, 31, 23, 59, 58},
        {L"2021/07/05 09:03:07", 2021, 0, 0, 0, 0, 0},
        {L"2021-07-05T09:03:07", 2021, 7, 5, 0, 0, 0},
        {L"05.07.2021", 5, 0, 0, 0, 0, 0},
        {L"", 0, 0, 0, 0, 0, 0},
    };
    for (const TimeCase& c : cases) {
        const SYSTEMTIME t = ParseCreationTime(c.text);
        const WORD got[] = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wDayOfWeek, t.wMilliseconds};
        const WORD want[] = {c.year, c.month, c.day, c.hour, c.minute, c.second, 0, 0};
        EXPECT_EQ(0, std::memcmp(want, got, sizeof want)) << Narrow(c.text);
    }
}

TEST(DatabasePath, FitsIn260CharactersWithItsTerminator) {
    test::TempDir dir;
    EXPECT_EQ(259u, DatabasePath(test::FolderOfLength(dir, 245)).size());
    EXPECT_EQ(L"", DatabasePath(test::FolderOfLength(dir, 246)));
    EXPECT_EQ(L"", DatabasePath(L""));
    EXPECT_EQ(L"C:\\Q\\Quarantine.db", DatabasePath(L"C:\\Q"));
}

TEST(CheckSchema, RecognisesEveryStateOfAForeignCatalogue) {
    struct StateCase {
        const char* fixture;
        SchemaState state;
    };
    const StateCase cases[] = {
        {"listing", kSchemaCurrent},       {"basic5", kSchemaFilesBasic},     {"sizenoactor", kSchemaFilesBasic},
        {"noattribute", kSchemaFilesNoAttribute}, {"noinfo", kSchemaItemsNoInfo}, {"noitems", kSchemaMissing},
        {"notadb", kSchemaMissing},
    };
    for (const StateCase& c : cases) {
        test::CatalogueCopy copy(c.fixture);
        EXPECT_EQ(c.state, CheckSchema(copy.folder(), nullptr)) << c.fixture;
    }
}

TEST(CheckSchema, HandsOverTheConnectionUnlessTheStateIsZero) {
    test::CatalogueCopy current("listing");
    std::unique_ptr<ISQLInterface> kept;
    ASSERT_EQ(kSchemaCurrent, CheckSchema(current.folder(), &kept));
    ASSERT_TRUE(kept);
    QueryInfo items(L"SELECT count(*) FROM BackupItems;");
    ASSERT_TRUE(kept->Execute(items));
    EXPECT_EQ(5, items.Row(0)[0].integer);

    test::CatalogueCopy missing("noitems");
    std::unique_ptr<ISQLInterface> none;
    EXPECT_EQ(kSchemaMissing, CheckSchema(missing.folder(), &none));
    EXPECT_FALSE(none);
}

TEST(CheckSchema, FoldersThatCannotHoldACatalogueAreStateZero) {
    test::TempDir dir;
    EXPECT_EQ(kSchemaMissing, CheckSchema(dir / L"absent", nullptr));
    const std::wstring tooLong = test::FolderOfLength(dir, 246);
    ASSERT_TRUE(CreateDirectoryW(tooLong.c_str(), nullptr));
    EXPECT_EQ(kSchemaMissing, CheckSchema(tooLong, nullptr));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((tooLong + L"\\Quarantine.db").c_str()));
}

TEST(RunStatements, StopsAtTheFirstStatementThatFailsToPrepare) {
    test::CatalogueCopy copy("noitems");
    // BackupItems, BackupVersions and BackupAttrs are made, then BackupFiles exists already.
    EXPECT_EQ(kStoreSchemaFailed, RunStatements(copy.folder(), CreationStatements()));
    Csql_lite db;
    ASSERT_TRUE(db.Open(DatabasePath(copy.folder()).c_str(), true));
    QueryInfo tables(L"SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid;");
    ASSERT_TRUE(db.Execute(tables));
    std::vector<std::wstring> names;
    for (size_t i = 0; i < tables.RowCount(); ++i) names.push_back(tables.Row(i)[0].WideTextView());
    EXPECT_EQ((std::vector<std::wstring>{L"BackupFiles", L"BackupItems", L"BackupVersions", L"BackupAttrs"}), names);

    test::TempDir dir;
    EXPECT_EQ(kStoreCannotOpen, RunStatements(dir / L"absent", CreationStatements()));
    EXPECT_EQ(kStoreOk, RunStatements(dir.path(), CreationStatements()));
    EXPECT_EQ(kSchemaCurrent, CheckSchema(dir.path(), nullptr));
    EXPECT_EQ(kStoreSchemaFailed, RunStatements(dir.path(), ItemUpgradeStatements()));  // the column exists
}

TEST(DeleteDatabaseFile, FailsWithoutAFileOrAFittingPath) {
    test::CatalogueCopy copy("empty");
    EXPECT_TRUE(DeleteDatabaseFile(copy.folder()));
    EXPECT_FALSE(DeleteDatabaseFile(copy.folder()));
    test::TempDir dir;
    EXPECT_FALSE(DeleteDatabaseFile(dir / L"absent"));
    EXPECT_FALSE(DeleteDatabaseFile(L""));
}

}  // namespace
}  // namespace vondrel
