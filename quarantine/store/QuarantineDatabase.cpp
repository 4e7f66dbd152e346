#include "quarantine/store/QuarantineDatabase.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "base/TextWriter.h"
#include "quarantine/store/QuarManager.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kCreateBackupItems =
    L"CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, "
    L"additionalInfo);";
constexpr const wchar_t* kCreateBackupVersions =
    L"CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);";
constexpr const wchar_t* kCreateBackupAttrs = L"CREATE TABLE BackupAttrs(guid, attribute, value);";
constexpr const wchar_t* kCreateBackupFiles =
    L"CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, "
    L"modifyTime, accessTime, actorProcessName, isCreated, FileAttribute);";
constexpr const wchar_t* kCreateBackupCustomStream =
    L"CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);";
constexpr const wchar_t* kCreateBackupRegistry =
    L"CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, "
    L"registryValue);";
constexpr const wchar_t* kCreateFilesIndex = L"CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex );";
constexpr const wchar_t* kCreateRegistryIndex = L"CREATE INDEX BackupRegistry_idx on BackupRegistry (guid);";
constexpr const wchar_t* kCreateVersionsIndex =
    L"CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner);";

constexpr const wchar_t* kAddSize = L"ALTER TABLE BackupFiles ADD COLUMN size;";
constexpr const wchar_t* kAddCreateTime = L"ALTER TABLE BackupFiles ADD COLUMN createTime;";
constexpr const wchar_t* kAddModifyTime = L"ALTER TABLE BackupFiles ADD COLUMN modifyTime;";
constexpr const wchar_t* kAddAccessTime = L"ALTER TABLE BackupFiles ADD COLUMN accessTime;";
constexpr const wchar_t* kAddActorProcessName = L"ALTER TABLE BackupFiles ADD COLUMN actorProcessName;";
constexpr const wchar_t* kAddIsCreated = L"ALTER TABLE BackupFiles ADD COLUMN isCreated;";
constexpr const wchar_t* kAddFileAttribute = L"ALTER TABLE BackupFiles ADD COLUMN FileAttribute DEFAULT 32;";
constexpr const wchar_t* kAddAdditionalInfo = L"ALTER TABLE BackupItems ADD COLUMN additionalInfo;";

constexpr const wchar_t* kFilesTableSql = L"SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupFiles';";
constexpr const wchar_t* kItemsTableSql = L"SELECT sql FROM sqlite_master WHERE type='table' AND name='BackupItems';";
constexpr const wchar_t* kActorProcessNameColumn = L"actorProcessName";
constexpr const wchar_t* kFileAttributeColumn = L"FileAttribute";
constexpr const wchar_t* kAdditionalInfoColumn = L"additionalInfo";

constexpr const wchar_t* kCountSchemaRows = L"SELECT count(*) FROM sqlite_master;";
constexpr int64_t kSqliteNotADatabase = 26;  // SQLITE_NOTADB: "file is not a database"
// Every SQLite database file starts with these 16 bytes (the text and its terminating zero).
constexpr char kSqliteHeader[] = "SQLite format 3";
constexpr DWORD kSqliteHeaderSize = sizeof kSqliteHeader;

constexpr const wchar_t* kGuidFormat = L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";

// The creation text of a table, or false when the catalogue has no such table.
bool TableSql(ISQLInterface& connection, const wchar_t* query, std::wstring* sql) {
    QueryInfo info(query);
    connection.Execute(info);
    if (info.RowCount() == 0) return false;
    *sql = ColumnOf(info.Row(0), 0).WideTextView();
    return true;
}

SchemaState FilesTableState(const std::wstring& sql) {
    const bool hasActor = sql.find(kActorProcessNameColumn) != std::wstring::npos;
    const bool hasAttribute = sql.find(kFileAttributeColumn) != std::wstring::npos;
    if (!hasActor && !hasAttribute) return kSchemaFilesBasic;
    if (hasActor && !hasAttribute) return kSchemaFilesNoAttribute;
    return kSchemaCurrent;
}

SchemaState StateOfConnection(ISQLInterface& connection) {
    std::wstring sql;
    if (!TableSql(connection, kFilesTableSql, &sql)) return kSchemaMissing;
    const SchemaState files = FilesTableState(sql);
    if (files != kSchemaCurrent) return files;
    if (!TableSql(connection, kItemsTableSql, &sql)) return kSchemaMissing;
    return sql.find(kAdditionalInfoColumn) == std::wstring::npos ? kSchemaItemsNoInfo : kSchemaCurrent;
}

bool SqliteReportsNotADatabase(const std::wstring& folder, IConnectionMaker& connections) {
    std::unique_ptr<ISQLInterface> connection = OpenDatabase(folder, connections);
    if (!connection) return false;
    connection->Execute(kCountSchemaRows);
    const bool notADatabase = connection->GetLastErrorCode() == kSqliteNotADatabase;
    connection->Close(false);
    return notADatabase;
}

enum class Header { Unreadable, Empty, Sqlite, Foreign };

// Reads at most the header's size from the start of the file; other openers are not disturbed.
Header ReadHeader(const std::wstring& path) {
    UniqueFile file(CreateFileExtended(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (!file) return Header::Unreadable;
    char bytes[kSqliteHeaderSize];
    DWORD total = 0;
    while (total < kSqliteHeaderSize) {
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes + total, kSqliteHeaderSize - total, &read, nullptr)) return Header::Unreadable;
        if (read == 0) break;
        total += read;
    }
    if (total == 0) return Header::Empty;
    if (total < kSqliteHeaderSize) return Header::Foreign;
    return std::memcmp(bytes, kSqliteHeader, kSqliteHeaderSize) == 0 ? Header::Sqlite : Header::Foreign;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

unsigned HexValue(wchar_t c) {
    if (c <= L'9') return c - L'0';
    if (c >= L'a') return c - L'a' + 10;
    return c - L'A' + 10;
}

// Hexadecimal from `start`, at most `maxDigits` digits, up to the first non-hex character.
uint64_t ParseHexAt(const std::wstring& text, size_t start, size_t maxDigits) {
    uint64_t value = 0;
    for (size_t i = start; i < text.size() && i - start < maxDigits && IsHexDigit(text[i]); ++i)
        value = (value << 4) | HexValue(text[i]);
    return value;
}

}  // namespace

const StatementList& CreationStatements() {
    static const StatementList list = {kCreateBackupItems,  kCreateBackupVersions,     kCreateBackupAttrs,
                                       kCreateBackupFiles,  kCreateBackupCustomStream, kCreateBackupRegistry,
                                       kCreateFilesIndex,   kCreateRegistryIndex,      kCreateVersionsIndex};
    return list;
}

const StatementList& FullUpgradeStatements() {
    static const StatementList list = {kAddSize,           kAddCreateTime, kAddModifyTime,    kAddAccessTime,
                                       kAddActorProcessName, kAddIsCreated, kAddFileAttribute, kAddAdditionalInfo};
    return list;
}

const StatementList& AttributeUpgradeStatements() {
    static const StatementList list = {kAddFileAttribute, kAddAdditionalInfo};
    return list;
}

const StatementList& ItemUpgradeStatements() {
    static const StatementList list = {kAddAdditionalInfo};
    return list;
}

std::wstring DatabasePath(const std::wstring& folder) {
    if (folder.empty() || folder.size() > kMaxFolderLength) return std::wstring();
    return folder + kDatabaseFileName;
}

std::unique_ptr<ISQLInterface> OpenDatabase(const std::wstring& folder, IConnectionMaker& connections) {
    const std::wstring path = DatabasePath(folder);
    if (path.empty()) return nullptr;
    std::unique_ptr<ISQLInterface> connection = connections.MakeConnection();
    if (!connection || !connection->Open(path.c_str())) return nullptr;
    return connection;
}

bool DeleteDatabaseFile(const std::wstring& folder) {
    const std::wstring path = DatabasePath(folder);
    return !path.empty() && DeleteFileExtended(path);
}

bool IsNotADatabase(const std::wstring& folder, IConnectionMaker& connections) {
    const std::wstring path = DatabasePath(folder);
    if (path.empty()) return false;
    // SQLite looks first: it rolls a hot journal back before it reads the header, so a header torn by
    // a crashed writer is mended rather than judged.
    if (SqliteReportsNotADatabase(folder, connections)) return true;
    return ReadHeader(path) == Header::Foreign;
}

uint32_t RunStatements(const std::wstring& folder, const StatementList& statements, IConnectionMaker& connections) {
    std::unique_ptr<ISQLInterface> connection = OpenDatabase(folder, connections);
    if (!connection) return kStoreCannotOpen;
    uint32_t result = kStoreOk;
    for (const wchar_t* statement : statements) {
        connection->Execute(statement);
        if (connection->GetLastErrorCode() != 0) {
            result = kStoreSchemaFailed;
            break;
        }
    }
    connection->Close(false);
    return result;
}

SchemaState CheckSchema(const std::wstring& folder, std::unique_ptr<ISQLInterface>* kept,
                        IConnectionMaker& connections) {
    std::unique_ptr<ISQLInterface> connection = OpenDatabase(folder, connections);
    if (!connection) return kSchemaMissing;
    const SchemaState state = StateOfConnection(*connection);
    if (kept != nullptr && state != kSchemaMissing) {
        *kept = std::move(connection);
        return state;
    }
    connection->Close(false);
    return state;
}

std::wstring GuidToText(const GUID& guid) {
    return FormatText(kGuidFormat, guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                      guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

GUID GuidFromText(const std::wstring& text) {
    constexpr size_t kUnbounded = static_cast<size_t>(-1);
    GUID guid{};
    guid.Data1 = static_cast<unsigned long>(ParseHexAt(text, 0, kUnbounded));
    guid.Data2 = static_cast<unsigned short>(ParseHexAt(text, 9, kUnbounded));
    guid.Data3 = static_cast<unsigned short>(ParseHexAt(text, 14, kUnbounded));
    guid.Data4[0] = static_cast<unsigned char>(ParseHexAt(text, 19, 2));
    guid.Data4[1] = static_cast<unsigned char>(ParseHexAt(text, 21, 2));
    for (size_t i = 2; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(ParseHexAt(text, 24 + 2 * (i - 2), 2));
    return guid;
}

SYSTEMTIME ParseCreationTime(const std::wstring& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    swscanf(text.c_str(), kCreationTimeFormat, &year, &month, &day, &hour, &minute, &second);
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    return time;
}

}  // namespace vondrel
