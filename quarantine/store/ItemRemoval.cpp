// CountItemRecords and RemoveItem: one item's rows counted, or removed with its backup container.
#include <new>

#include "base/PathRules.h"
#include "quarantine/store/QuarManager.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kCountFileRows = L"SELECT count(*) FROM BackupFiles WHERE guid=?;";
constexpr const wchar_t* kCountRegistryRows = L"SELECT count(*) FROM BackupRegistry WHERE guid=?;";
constexpr const wchar_t* kBeginTransaction = L"BEGIN TRANSACTION;";
constexpr const wchar_t* kCommitTransaction = L"COMMIT TRANSACTION;";
constexpr const wchar_t* kRollbackTransaction = L"ROLLBACK TRANSACTION;";
constexpr const wchar_t* kDeleteStatements[] = {
    L"DELETE FROM BackupFiles WHERE guid=?;",    L"DELETE FROM BackupVersions WHERE guid=?;",
    L"DELETE FROM BackupRegistry WHERE guid=?;", L"DELETE FROM BackupItems WHERE guid=?;",
    L"DELETE FROM BackupCustomStream WHERE guid=?;",
};

uint32_t CountRows(ISQLInterface& connection, const wchar_t* sql, const std::wstring& guidText) {
    QueryInfo query(sql, SqlValue(guidText));
    connection.Execute(query);
    if (query.RowCount() == 0) return 0;
    return static_cast<uint32_t>(ColumnOf(query.Row(0), 0).IntegerOrZero());
}

// The five deletions inside one transaction; false when one failed and all were rolled back.
bool DeleteRows(ISQLInterface& connection, const std::wstring& guidText, int64_t* removed) {
    if (!connection.Execute(kBeginTransaction)) {
        connection.Execute(kRollbackTransaction);
        return false;
    }
    for (const wchar_t* statement : kDeleteStatements) {
        QueryInfo query(statement, SqlValue(guidText));
        if (!connection.Execute(query)) {
            connection.Execute(kRollbackTransaction);
            return false;
        }
        *removed += connection.GetChanges();
    }
    // A commit that fails (a reader holding the file, say) leaves the transaction open; ending it
    // keeps the catalogue unlocked and the outcome honest.
    if (!connection.Execute(kCommitTransaction)) {
        connection.Execute(kRollbackTransaction);
        return false;
    }
    return true;
}

// The container to delete: the zip backup unless the first file row names a legacy backup file;
// false when the row's kind is neither.
bool ContainerOf(const QuarManager& session, const GUID& guid, const QueryInfo& files, std::wstring* container) {
    if (files.RowCount() == 0) {
        *container = ItemZipPath(session.folder, guid);
        return true;
    }
    const SqlValue& kind = ColumnOf(files.Row(0), kFileBupOrSql);
    if (!kind.IsInteger()) return false;
    if (kind.integer == kContentInZip) {
        *container = ItemZipPath(session.folder, guid);
        return true;
    }
    if (kind.integer != kContentInLegacyBackup) return false;
    *container = ColumnOf(files.Row(0), kFileBackupFilename).WideTextView();
    return true;
}

uint32_t RemoveItemRows(QuarManager& session, const GUID& guid) {
    ISQLInterface& connection = *session.connection;
    const std::wstring guidText = GuidToText(guid);
    QueryInfo files(kSelectBackupFiles, SqlValue(guidText));
    if (!connection.Execute(files)) return kStoreQueryFailed;
    int64_t removed = 0;
    if (!DeleteRows(connection, guidText, &removed)) return kStoreRolledBack;
    std::wstring container;
    if (ContainerOf(session, guid, files, &container) && !DeleteFileExtended(container)) return kStoreDeleteFailed;
    return removed == 0 ? kStoreNothingFound : kStoreOk;
}

}  // namespace

uint32_t CountItemRecords(QuarManager& session, const GUID& guid) {
    StoreLockHolder lock;
    if (!session.connection) return 0;
    try {
        const std::wstring guidText = GuidToText(guid);
        return CountRows(*session.connection, kCountFileRows, guidText) +
               CountRows(*session.connection, kCountRegistryRows, guidText);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

uint32_t RemoveItem(QuarManager& session, const GUID* guid) {
    StoreLockHolder lock;
    if (!session.connection) return kStoreNoConnection;
    if (guid == nullptr) return kStoreInvalidArgument;
    try {
        return RemoveItemRows(session, *guid);
    } catch (const std::bad_alloc&) {
        return kStoreOutOfMemory;
    }
}

}  // namespace vondrel
