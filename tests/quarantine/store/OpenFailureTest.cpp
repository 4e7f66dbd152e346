// Opening a session on a good catalogue while SQLite fails: from any statement (or connection) of the
// open to any later one, or to the end (a lock held for a while, or for good), with each result code
// SQLite can give there. The open fails, and the catalogue's bytes stay as they were; only SQLite's
// report that the file is no database lets the open replace it.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "quarantine/store/QuarManager.h"
#include "quarantine/store/QuarantineDatabase.h"
#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

enum CallKind : size_t { kOpenCall = 0, kExecuteCall = 1 };

constexpr size_t kNever = std::numeric_limits<size_t>::max();

// The calls of one kind from `first` to `last` (counted from 0 over all connections of one maker) fail.
struct FailurePlan {
    CallKind call = kExecuteCall;
    size_t first = kNever;
    size_t last = kNever;  // kNever: to the end
    int64_t code = 0;      // what the failed prepare reports; 0 is a step failure, which reports none
};

// Makes real connections whose Open and Execute calls are numbered; the planned ones fail.
class FailingConnections final : public IConnectionMaker {
public:
    explicit FailingConnections(FailurePlan plan) : plan_(plan) {}
    std::unique_ptr<ISQLInterface> MakeConnection() override;

    bool Fails(CallKind call) {
        const size_t position = calls_[call]++;
        const bool fails = call == plan_.call && position >= plan_.first && position <= plan_.last;
        if (fails) ++hits_;
        return fails;
    }
    int64_t code() const { return plan_.code; }
    size_t calls(CallKind call) const { return calls_[call]; }
    size_t hits() const { return hits_; }

private:
    FailurePlan plan_;
    size_t calls_[2] = {};
    size_t hits_ = 0;
};

class FailingConnection final : public ISQLInterface {
public:
    explicit FailingConnection(FailingConnections& maker) : maker_(maker) {}

    void Close(bool shutdownEngine) override { real_.Close(shutdownEngine); }
    bool Open(const wchar_t* path) override { return Open(path, false); }
    bool Open(const wchar_t* path, bool readOnly) override {
        return !maker_.Fails(kOpenCall) && real_.Open(path, readOnly);
    }
    bool Execute(QueryInfo& query) override {
        failed_ = maker_.Fails(kExecuteCall);
        return !failed_ && real_.Execute(query);
    }
    bool Execute(const wchar_t* sql) override {
        QueryInfo query(sql);
        return Execute(query);
    }
    int64_t GetChanges() override { return real_.GetChanges(); }
    int64_t GetLastInsertRowId() override { return real_.GetLastInsertRowId(); }
    const char* GetLastErrorText() override { return failed_ ? sqlite3_errstr(static_cast<int>(maker_.code())) : real_.GetLastErrorText(); }
    int64_t GetLastErrorCode() override { return failed_ ? maker_.code() : real_.GetLastErrorCode(); }

private:
    FailingConnections& maker_;
    Csql_lite real_;
    bool failed_ = false;
};

std::unique_ptr<ISQLInterface> FailingConnections::MakeConnection() {
    return std::make_unique<FailingConnection>(*this);
}

// The primary result codes a prepare or a step of the open's statements can end with (extended codes
// are not switched on, so SQLite reports only these).
const int64_t kFailureCodes[] = {
    SQLITE_ERROR,     SQLITE_INTERNAL, SQLITE_PERM,   SQLITE_ABORT,  SQLITE_BUSY,     SQLITE_LOCKED,
    SQLITE_NOMEM,     SQLITE_READONLY, SQLITE_INTERRUPT, SQLITE_IOERR, SQLITE_CORRUPT, SQLITE_FULL,
    SQLITE_CANTOPEN,  SQLITE_PROTOCOL, SQLITE_SCHEMA, SQLITE_TOOBIG, SQLITE_CONSTRAINT, SQLITE_MISUSE,
    SQLITE_NOLFS,     SQLITE_AUTH,     SQLITE_NOTADB, 0 /* a failed step */};

struct Outcome {
    uint32_t result;
    QuarantineHandle handle;
    size_t hits;
};

Outcome OpenWith(const std::wstring& folder, const FailurePlan& plan, size_t* calls = nullptr) {
    FailingConnections connections(plan);
    QuarantineHandle handle = 0;
    const uint32_t result = OpenBackup(folder.c_str(), &handle, connections);
    if (result == kStoreOk) {
        StoreLockHolder lock;
        ReleaseBackup(handle);
    }
    if (calls != nullptr) *calls = connections.calls(plan.call);
    return {result, handle, connections.hits()};
}

std::string Describe(const FailurePlan& plan) {
    return std::string(plan.call == kOpenCall ? "opens " : "statements ") + std::to_string(plan.first) + " to " +
           (plan.last == kNever ? std::string("the end") : std::to_string(plan.last)) + ", code " +
           std::to_string(plan.code);
}

TEST(OpenBackupWhileSqliteFails, NeverChangesAGoodCatalogue) {
    test::CatalogueCopy copy("listing");
    const std::wstring database = DatabasePath(copy.folder());
    const std::vector<uint8_t> original = test::ReadBytes(database);

    // The calls a clean open makes: each of them is made to fail below.
    size_t cleanCalls[2] = {};
    ASSERT_EQ(kStoreOk, OpenWith(copy.folder(), FailurePlan{kOpenCall}, &cleanCalls[kOpenCall]).result);
    ASSERT_EQ(kStoreOk, OpenWith(copy.folder(), FailurePlan{kExecuteCall}, &cleanCalls[kExecuteCall]).result);
    ASSERT_GE(cleanCalls[kOpenCall], 2u);
    ASSERT_GE(cleanCalls[kExecuteCall], 4u);
    ASSERT_EQ(original, test::ReadBytes(database));

    for (CallKind call : {kOpenCall, kExecuteCall}) {
        for (int64_t code : kFailureCodes) {
            if (call == kOpenCall && code != 0) continue;  // a failed open reports no code
            size_t first = 0;
            for (;; ++first) {
                bool reached = false;
                for (size_t last = first;; ++last) {
                    FailurePlan plan{call, first, last, code};
                    SCOPED_TRACE(Describe(plan));
                    const Outcome outcome = OpenWith(copy.folder(), plan);
                    if (outcome.hits == 0) break;  // the open ended before `first`
                    reached = true;
                    EXPECT_NE(kStoreOk, outcome.result);
                    EXPECT_EQ(0, outcome.handle);
                    if (call == kExecuteCall && code != 0 && code != SQLITE_NOTADB) {
                        EXPECT_TRUE(outcome.result == kStoreCannotOpen || outcome.result == kStoreSchemaFailed)
                            << outcome.result;
                    }
                    if (code == SQLITE_NOTADB) {
                        // The one report that may replace the file (and the new one may then get its tables).
                        test::WriteBytes(database, original);
                    } else {
                        ASSERT_EQ(original, test::ReadBytes(database)) << "result " << outcome.result;
                    }
                    if (outcome.hits <= last - first) break;  // the open ended before `last`: failed to the end
                }
                if (!reached) break;
            }
            EXPECT_GE(first, cleanCalls[call]) << "not every call of the open was made to fail";
        }
    }
}

TEST(OpenBackupWhileSqliteFails, ReplacesTheFileOnlyWhenItIsNoDatabase) {
    struct ReplaceCase {
        const char* fixture;
        int64_t code;   // what every statement of the open reports
        bool replaced;
    };
    const ReplaceCase cases[] = {
        {"listing", SQLITE_BUSY, false},
        {"listing", SQLITE_NOTADB, true},  // SQLite's word is enough
        {"notadb", SQLITE_BUSY, true},     // SQLite cannot look, but the file lacks SQLite's header
        {"shortfile", SQLITE_IOERR, true},
        {"emptyfile", SQLITE_BUSY, false},  // a database without tables yet
        {"malformed", SQLITE_CORRUPT, false},
    };
    for (const ReplaceCase& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + ", code " + std::to_string(c.code));
        test::CatalogueCopy copy(c.fixture);
        const std::wstring database = DatabasePath(copy.folder());
        const std::vector<uint8_t> original = test::ReadBytes(database);
        // The file made anew is reported the same way, so its creation fails too.
        EXPECT_EQ(kStoreSchemaFailed, OpenWith(copy.folder(), FailurePlan{kExecuteCall, 0, kNever, c.code}).result);
        const std::vector<uint8_t> after = test::ReadBytes(database);
        if (c.replaced) {
            EXPECT_TRUE(after.empty());
            EXPECT_FALSE(original.empty());
        } else {
            EXPECT_EQ(original, after);
        }
    }

    // Once SQLite can read it again, a replaced file gets its tables.
    test::CatalogueCopy copy("listing");
    ASSERT_EQ(kStoreSchemaFailed, OpenWith(copy.folder(), FailurePlan{kExecuteCall, 0, kNever, SQLITE_NOTADB}).result);
    test::Session session;
    EXPECT_EQ(kStoreImportOff, session.Open(copy.folder()));
    EXPECT_EQ(kStoreOk, session.Open(copy.folder()));
}

}  // namespace
}  // namespace vondrel
