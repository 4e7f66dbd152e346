// The catalogue "Quarantine.db" of a quarantine folder: where it lives, its schema and how an older
// file is recognised and brought up to date, the statements the store runs on it, and the text forms
// of its GUID and time columns.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "quarantine/store/SqlAccess.h"

namespace vondrel {

constexpr const wchar_t* kDatabaseFileName = L"\\Quarantine.db";
// The database path with its terminator must fit in 260 characters.
constexpr size_t kDatabasePathLimit = 260;
constexpr size_t kMaxFolderLength = 245;

// Columns of the BackupFiles query, in its order (the restore reads the rows by these indexes).
enum BackupFilesColumn : size_t {
    kFileGuid = 0,
    kFileItemIndex,
    kFileBupOrSql,
    kFileOriginalPath,
    kFileBackupFilename,
    kFileSize,
    kFileCreateTime,
    kFileModifyTime,
    kFileAccessTime,
    kFileActorProcessName,
    kFileIsCreated,
    kFileAttribute,
};

// Values of bupOrSql: where a file's content is kept.
constexpr int64_t kContentInZip = 1;
constexpr int64_t kContentInLegacyBackup = 2;

constexpr const wchar_t* kSelectBackupFiles =
    L"SELECT guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, accessTime, "
    L"actorProcessName, isCreated, FileAttribute FROM BackupFiles WHERE guid=?;";

// The state of a catalogue's schema, oldest first.
enum SchemaState : int {
    kSchemaMissing = 0,        // no usable BackupFiles or BackupItems table
    kSchemaFilesBasic = 1,     // BackupFiles has neither actorProcessName nor FileAttribute
    kSchemaFilesNoAttribute = 2,  // BackupFiles has actorProcessName but no FileAttribute
    kSchemaItemsNoInfo = 3,    // BackupItems lacks additionalInfo
    kSchemaCurrent = 4,
};

using StatementList = std::vector<const wchar_t*>;
const StatementList& CreationStatements();
const StatementList& FullUpgradeStatements();
const StatementList& AttributeUpgradeStatements();
const StatementList& ItemUpgradeStatements();

// folder + "\Quarantine.db"; "" when the folder is empty or 246 characters or longer.
std::wstring DatabasePath(const std::wstring& folder);

// A read-write connection (the file is created when missing), or none.
std::unique_ptr<ISQLInterface> OpenDatabase(const std::wstring& folder,
                                            IConnectionMaker& connections = SqliteConnections());
bool DeleteDatabaseFile(const std::wstring& folder);
// True only when the catalogue file is positively no SQLite database: SQLite reports SQLITE_NOTADB for
// it, or it does not start with SQLite's 16-byte header. An empty file is a database without tables;
// a file that cannot be looked at, or that SQLite cannot read for any other reason (locked, damaged,
// out of memory, I/O error, ...) still holds the product's records.
bool IsNotADatabase(const std::wstring& folder, IConnectionMaker& connections = SqliteConnections());
// Runs the statements one by one on a connection of its own: 0, 2 (cannot open) or 3 (a statement
// failed to prepare; the ones before it stay applied).
uint32_t RunStatements(const std::wstring& folder, const StatementList& statements,
                       IConnectionMaker& connections = SqliteConnections());
// The schema state; with `kept` the open connection is handed over (none when the state is 0).
SchemaState CheckSchema(const std::wstring& folder, std::unique_ptr<ISQLInterface>* kept,
                        IConnectionMaker& connections = SqliteConnections());

// The catalogue's GUID text: 36 lower-case hexadecimal characters with dashes, no braces.
std::wstring GuidToText(const GUID& guid);
// Parses each part from its fixed position, up to the first non-hex character; missing parts are 0.
GUID GuidFromText(const std::wstring& text);

constexpr const wchar_t* kCreationTimeFormat = L"%04d-%02d-%02d %02d:%02d:%02d";
// Year to second from a creationTime text; fields the text does not give stay 0, as do the day of
// the week and the milliseconds.
SYSTEMTIME ParseCreationTime(const std::wstring& text);

}  // namespace vondrel
