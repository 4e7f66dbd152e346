#include "quarantine/store/SqlAccess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

std::string Narrow(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out += static_cast<char>(c);
    return out;
}

class MemoryDatabase : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.Open(L":memory:")); }
    Csql_lite db;
};

struct ExecuteCase {
    const wchar_t* sql;
    bool expected;
};

TEST_F(MemoryDatabase, TheLastStatementDecides) {
    ASSERT_TRUE(db.Execute(L"CREATE TABLE u(x UNIQUE); INSERT INTO u VALUES (1);"));
    const ExecuteCase cases[] = {
        {L"BEGIN;", true},
        {L"COMMIT;", true},
        {L"", false},
        {L"  \t\r\n ", false},
        {L"SELECT 1;", true},
        {L"SELECT 1; -- a trailing comment", false},
        {L"INSERT INTO u VALUES (1); SELECT 2;", true},   // the first fails at step
        {L"SELECT 2; INSERT INTO u VALUES (1);", false},  // the last fails at step
        {L"SELECT nosuchcolumn FROM u;", false},           // fails at prepare
    };
    for (const ExecuteCase& c : cases) EXPECT_EQ(c.expected, db.Execute(c.sql)) << Narrow(c.sql);
}

TEST_F(MemoryDatabase, PrepareFailureRecordsCodeAndTextUntilTheNextExecute) {
    ASSERT_TRUE(db.Execute(L"CREATE TABLE t(a);"));
    EXPECT_FALSE(db.Execute(L"CREATE TABLE t(a);"));
    EXPECT_EQ(1, db.GetLastErrorCode());  // SQLITE_ERROR
    EXPECT_STREQ("table t already exists", db.GetLastErrorText());

    EXPECT_TRUE(db.Execute(L"SELECT 1;"));
    EXPECT_EQ(0, db.GetLastErrorCode());
    EXPECT_STREQ("table t already exists", db.GetLastErrorText());  // the text stays

    // A step failure records nothing.
    ASSERT_TRUE(db.Execute(L"CREATE TABLE u(x UNIQUE); INSERT INTO u VALUES (1);"));
    EXPECT_FALSE(db.Execute(L"INSERT INTO u VALUES (1);"));
    EXPECT_EQ(0, db.GetLastErrorCode());
}

TEST_F(MemoryDatabase, StatementsAfterAPrepareFailureDoNotRun) {
    ASSERT_TRUE(db.Execute(L"CREATE TABLE t(a);"));
    EXPECT_FALSE(db.Execute(L"INSERT INTO t VALUES (1); SELEC 2; INSERT INTO t VALUES (3);"));
    QueryInfo rows(L"SELECT a FROM t;");
    ASSERT_TRUE(db.Execute(rows));
    ASSERT_EQ(1u, rows.RowCount());
    EXPECT_EQ(1, rows.Row(0)[0].integer);
}

TEST_F(MemoryDatabase, ParametersBindInOrderToEveryStatement) {
    QueryInfo onlyFirst(L"SELECT ?, ?;", SqlValue(L"one"));
    ASSERT_TRUE(db.Execute(onlyFirst));
    ASSERT_EQ(1u, onlyFirst.RowCount());
    EXPECT_EQ(L"one", onlyFirst.Row(0)[0].WideTextView());
    EXPECT_EQ(SqlKind::Null, onlyFirst.Row(0)[1].kind);

    ASSERT_TRUE(db.Execute(L"CREATE TABLE t(a, b);"));
    QueryInfo twice(L"INSERT INTO t VALUES (?, 1); INSERT INTO t VALUES (?, 2);", SqlValue(int64_t{77}));
    ASSERT_TRUE(db.Execute(twice));
    QueryInfo rows(L"SELECT a, b FROM t ORDER BY b;");
    ASSERT_TRUE(db.Execute(rows));
    ASSERT_EQ(2u, rows.RowCount());
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(77, rows.Row(i)[0].integer);

    // A parameter without a placeholder fails its bind; the statement still runs.
    QueryInfo extra(L"SELECT ?;", SqlValue(int64_t{5}));
    extra.Parameters().push_back(SqlValue(int64_t{6}));
    EXPECT_TRUE(db.Execute(extra));
    ASSERT_EQ(1u, extra.RowCount());
    EXPECT_EQ(5, extra.Row(0)[0].integer);
}

TEST_F(MemoryDatabase, EveryKindBindsAsItsStorageType) {
    const uint8_t bytes[] = {0x00, 0x7f, 0xff};
    struct BindCase {
        SqlValue value;
        const wchar_t* type;
        const wchar_t* asText;
    };
    const BindCase cases[] = {
        {SqlValue(int64_t{-9007199254740993}), L"integer", L"-9007199254740993"},
        {SqlValue::Utf8("\xc3\xa9t\xc3\xa9"), L"text", L"\u00e9t\u00e9"},
        {SqlValue(bytes, sizeof bytes), L"blob", L"007FFF"},
        {SqlValue(), L"null", L""},
        {SqlValue::Float(2.5), L"real", L"2.5"},
        {SqlValue(L"wide \u4e8c"), L"text", L"wide \u4e8c"},
    };
    for (const BindCase& c : cases) {
        QueryInfo query(L"SELECT typeof(?1), CASE typeof(?1) WHEN 'blob' THEN hex(?1) ELSE ?1 END;", c.value);
        ASSERT_TRUE(db.Execute(query));
        ASSERT_EQ(1u, query.RowCount());
        EXPECT_EQ(c.type, query.Row(0)[0].WideTextView());
        const SqlValue& shown = query.Row(0)[1];
        if (shown.kind == SqlKind::Float) EXPECT_DOUBLE_EQ(2.5, shown.real);
        else if (shown.kind == SqlKind::Integer) EXPECT_EQ(-9007199254740993, shown.integer);
        else EXPECT_EQ(c.asText, shown.WideTextView()) << Narrow(c.type);
    }
}

TEST_F(MemoryDatabase, EmptySelectAndChangeCounts) {
    ASSERT_TRUE(db.Execute(L"CREATE TABLE t(a);"));
    QueryInfo none(L"SELECT a FROM t;");
    EXPECT_TRUE(db.Execute(none));
    EXPECT_EQ(0u, none.RowCount());

    ASSERT_TRUE(db.Execute(L"INSERT INTO t VALUES (1); INSERT INTO t VALUES (2); INSERT INTO t VALUES (3);"));
    EXPECT_EQ(3, db.GetLastInsertRowId());
    ASSERT_TRUE(db.Execute(L"UPDATE t SET a = a + 1 WHERE a > 1;"));
    EXPECT_EQ(2, db.GetChanges());
}

class ColumnListener : public QueryInfo {
public:
    using QueryInfo::QueryInfo;
    bool WantsColumnInfo() override { return true; }
    bool OnColumnInfo(const wchar_t* name, int index, const wchar_t* type) override {
        seen.push_back(std::to_wstring(index) + L":" + name + L":" + (type ? type : L"-"));
        return true;
    }
    std::vector<std::wstring> seen;
};

TEST_F(MemoryDatabase, ColumnInfoReachesOnlyQueriesThatAskForIt) {
    ASSERT_TRUE(db.Execute(L"CREATE TABLE c(guid STRING, data BINARY, plain);"));
    ColumnListener listener(L"SELECT guid, data, plain FROM c;");
    ASSERT_TRUE(db.Execute(listener));
    EXPECT_EQ((std::vector<std::wstring>{L"0:guid:STRING", L"1:data:BINARY", L"2:plain:-"}), listener.seen);
}

TEST(Csql_lite, ReadsEveryStorageTypeOfAForeignFile) {
    Csql_lite db;
    ASSERT_TRUE(db.Open((test::CatalogueFixture("sqltypes") + L"\\types.db").c_str(), true));
    QueryInfo query(L"SELECT i, r, t, b, n FROM v ORDER BY id;");
    ASSERT_TRUE(db.Execute(query));
    ASSERT_EQ(2u, query.RowCount());

    const SqlRow& first = query.Row(0);
    EXPECT_EQ(SqlKind::Integer, first[0].kind);
    EXPECT_EQ(42, first[0].integer);
    EXPECT_DOUBLE_EQ(42.0, first[0].real);
    EXPECT_EQ(SqlKind::Float, first[1].kind);
    EXPECT_DOUBLE_EQ(2.75, first[1].real);
    EXPECT_EQ(2, first[1].integer);
    EXPECT_EQ(SqlKind::WideText, first[2].kind);  // stored as UTF-8
    EXPECT_EQ(L"\u00e9\u4e8c text", first[2].WideTextView());
    EXPECT_EQ(SqlKind::Blob, first[3].kind);
    ASSERT_EQ(3u, first[3].blobSize);
    EXPECT_EQ(0, std::memcmp(first[3].blob, "\x00\x01\xff", 3));
    EXPECT_EQ(SqlKind::Null, first[4].kind);

    const SqlRow& second = query.Row(1);
    EXPECT_EQ(-9007199254740993, second[0].integer);
    EXPECT_EQ(-3, second[1].integer);  // truncated toward zero
    EXPECT_EQ(SqlKind::WideText, second[2].kind);
    EXPECT_EQ(L"", second[2].WideTextView());
    EXPECT_EQ(SqlKind::Blob, second[3].kind);
    EXPECT_EQ(0u, second[3].blobSize);
}

TEST(Csql_lite, OpenCreatesReadWriteAndRefusesWhatItCannotOpen) {
    test::TempDir dir;
    const std::wstring path = dir / L"new.db";
    Csql_lite readOnly;
    EXPECT_FALSE(readOnly.Open(path.c_str(), true));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));  // read-only creates nothing

    Csql_lite first;
    ASSERT_TRUE(first.Open(path.c_str()));
    ASSERT_TRUE(first.Execute(L"CREATE TABLE t(a); INSERT INTO t VALUES ('kept');"));
    EXPECT_FALSE(first.Open(path.c_str()));  // already open: the connection stays as it is

    // A failed open (it shuts the engine down) leaves other open connections working.
    Csql_lite missing;
    EXPECT_FALSE(missing.Open((dir / L"no\\such\\folder.db").c_str()));
    QueryInfo rows(L"SELECT a FROM t;");
    ASSERT_TRUE(first.Execute(rows));
    ASSERT_EQ(1u, rows.RowCount());
    EXPECT_EQ(L"kept", rows.Row(0)[0].WideTextView());
    ASSERT_TRUE(first.Execute(L"INSERT INTO t VALUES ('after');"));
    Csql_lite other;
    ASSERT_TRUE(other.Open(L":memory:"));
    other.Close(true);  // asks for the engine to go down; the first connection still needs it
    ASSERT_TRUE(first.Execute(rows));

    first.Close(false);
    EXPECT_FALSE(first.Execute(L"SELECT 1;"));
    Csql_lite again;
    ASSERT_TRUE(again.Open(path.c_str(), true));
    QueryInfo count(L"SELECT count(*) FROM t;");
    ASSERT_TRUE(again.Execute(count));
    EXPECT_EQ(2, count.Row(0)[0].integer);
}

TEST(Csql_lite, ExecuteWithoutConnectionLeavesTheChangeCount) {
    Csql_lite db;
    ASSERT_TRUE(db.Open(L":memory:"));
    ASSERT_TRUE(db.Execute(L"CREATE TABLE t(a); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);"));
    ASSERT_TRUE(db.Execute(L"DELETE FROM t;"));
    db.Close(false);
    EXPECT_FALSE(db.Execute(L"DELETE FROM t;"));
    EXPECT_EQ(2, db.GetChanges());
}

TEST(SqlValue, CopiesCarryThePayloadOfTheirKind) {
    const uint8_t bytes[] = {1, 2, 3};
    SqlValue blob(bytes, sizeof bytes);
    SqlValue blobCopy = blob;
    ASSERT_EQ(3u, blobCopy.blobSize);
    EXPECT_NE(blob.blob, blobCopy.blob);
    EXPECT_EQ(0, std::memcmp(bytes, blobCopy.blob, 3));

    SqlValue number(int64_t{-12});
    EXPECT_DOUBLE_EQ(-12.0, number.real);
    SqlValue numberCopy;
    numberCopy = number;
    EXPECT_EQ(SqlKind::Integer, numberCopy.kind);
    EXPECT_EQ(-12, numberCopy.integer);
    EXPECT_EQ(-12, numberCopy.IntegerOrZero());

    SqlValue text(L"wide");
    SqlValue textCopy(text);
    EXPECT_EQ(L"wide", textCopy.WideTextView());
    EXPECT_EQ(0, textCopy.IntegerOrZero());

    EXPECT_EQ(SqlKind::Null, SqlValue().kind);
    EXPECT_EQ(L"", SqlValue(int64_t{3}).WideTextView());
}

TEST(SqlValue, Utf8TextIsConvertedOnceAndCached) {
    SqlValue value = SqlValue::Utf8("\xe4\xba\x8c and more");
    EXPECT_TRUE(value.wideText.empty());
    EXPECT_EQ(L"\u4e8c and more", value.WideTextView());
    EXPECT_EQ(L"\u4e8c and more", value.wideText);
    value.utf8Text = "changed";
    EXPECT_EQ(L"\u4e8c and more", value.WideTextView());
    EXPECT_EQ(L"", SqlValue::Utf8("").WideTextView());
}

TEST(ColumnOf, GivesNullBeyondTheRow) {
    SqlRow row;
    row.push_back(SqlValue(int64_t{1}));
    EXPECT_EQ(1, ColumnOf(row, 0).integer);
    EXPECT_EQ(SqlKind::Null, ColumnOf(row, 1).kind);
}

}  // namespace
}  // namespace vondrel
