#include "quarantine/store/SqlAccess.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <new>
#include <utility>

#include "base/TextConvert.h"

namespace vondrel {

// ---- SqlValue ----

SqlValue::SqlValue(const std::wstring& text) : kind(SqlKind::WideText), wideText(text) {}

SqlValue::SqlValue(const wchar_t* text) : kind(SqlKind::WideText), wideText(text ? text : L"") {}

SqlValue::SqlValue(int64_t value) : kind(SqlKind::Integer), integer(value), real(static_cast<double>(value)) {}

SqlValue::SqlValue(const void* bytes, uint32_t size) : kind(SqlKind::Blob) {
    if (size == 0) return;
    blob = static_cast<uint8_t*>(std::malloc(size));
    if (blob == nullptr) return;
    std::memcpy(blob, bytes, size);
    blobSize = size;
}

SqlValue SqlValue::Utf8(std::string text) {
    SqlValue value;
    value.kind = SqlKind::Utf8Text;
    value.utf8Text = std::move(text);
    return value;
}

SqlValue SqlValue::Float(double value) {
    SqlValue result;
    result.kind = SqlKind::Float;
    result.real = value;
    result.integer = static_cast<int64_t>(value);
    return result;
}

SqlValue::SqlValue(const SqlValue& other) { CopyPayload(other); }

SqlValue& SqlValue::operator=(const SqlValue& other) {
    if (this != &other) *this = SqlValue(other);
    return *this;
}

SqlValue::SqlValue(SqlValue&& other) noexcept
    : kind(other.kind),
      integer(other.integer),
      utf8Text(std::move(other.utf8Text)),
      wideText(std::move(other.wideText)),
      blob(std::exchange(other.blob, nullptr)),
      blobSize(std::exchange(other.blobSize, 0)),
      real(other.real) {
    other.kind = SqlKind::Null;
}

SqlValue& SqlValue::operator=(SqlValue&& other) noexcept {
    if (this == &other) return *this;
    FreeBlob();
    kind = std::exchange(other.kind, SqlKind::Null);
    integer = other.integer;
    utf8Text = std::move(other.utf8Text);
    wideText = std::move(other.wideText);
    blob = std::exchange(other.blob, nullptr);
    blobSize = std::exchange(other.blobSize, 0);
    real = other.real;
    return *this;
}

SqlValue::~SqlValue() { FreeBlob(); }

// A copy carries the payload of its kind only.
void SqlValue::CopyPayload(const SqlValue& other) {
    kind = other.kind;
    switch (other.kind) {
    case SqlKind::Integer: integer = other.integer; break;
    case SqlKind::Utf8Text: utf8Text = other.utf8Text; break;
    case SqlKind::WideText: wideText = other.wideText; break;
    case SqlKind::Float: real = other.real; break;
    case SqlKind::Blob:
        if (other.blobSize == 0) break;
        blob = static_cast<uint8_t*>(std::malloc(other.blobSize));
        if (blob == nullptr) break;
        std::memcpy(blob, other.blob, other.blobSize);
        blobSize = other.blobSize;
        break;
    case SqlKind::Null: break;
    }
}

void SqlValue::FreeBlob() {
    std::free(blob);
    blob = nullptr;
    blobSize = 0;
}

const std::wstring& SqlValue::WideTextView() const {
    static const std::wstring empty;
    if (kind == SqlKind::WideText) return wideText;
    if (kind != SqlKind::Utf8Text) return empty;
    if (wideText.empty() && !utf8Text.empty()) wideText = Utf8ToWide(utf8Text);
    return wideText;
}

const SqlValue& ColumnOf(const SqlRow& row, size_t column) {
    static const SqlValue null;
    return column < row.size() ? row[column] : null;
}

// ---- QueryInfo ----

QueryInfo::QueryInfo(std::wstring sql) : sql_(std::move(sql)) {}

QueryInfo::QueryInfo(std::wstring sql, const SqlValue& firstParameter) : sql_(std::move(sql)) {
    parameters_.push_back(firstParameter);
}

QueryInfo::~QueryInfo() {
    rows_.clear();
    parameters_.clear();
}

bool QueryInfo::AddRow(SqlRow* row) {
    rows_.emplace_back(row);
    return true;
}

bool QueryInfo::WantsColumnInfo() { return false; }

bool QueryInfo::OnColumnInfo(const wchar_t*, int, const wchar_t*) { return true; }

// ---- Csql_lite ----

namespace {

int BindValue(sqlite3_stmt* statement, int index, const SqlValue& value) {
    switch (value.kind) {
    case SqlKind::Integer: return sqlite3_bind_int64(statement, index, value.integer);
    case SqlKind::Utf8Text:
        return sqlite3_bind_text(statement, index, value.utf8Text.data(), static_cast<int>(value.utf8Text.size()),
                                 SQLITE_STATIC);
    case SqlKind::Blob: return sqlite3_bind_blob(statement, index, value.blob, static_cast<int>(value.blobSize), SQLITE_STATIC);
    case SqlKind::Null: return sqlite3_bind_null(statement, index);
    case SqlKind::Float: return sqlite3_bind_double(statement, index, value.real);
    case SqlKind::WideText:
        return sqlite3_bind_text16(statement, index, value.wideText.data(),
                                   static_cast<int>(value.wideText.size() * sizeof(wchar_t)), SQLITE_STATIC);
    }
    return SQLITE_MISUSE;
}

// Binds the whole list in order; stops at the first bind that fails.
bool BindParameters(sqlite3_stmt* statement, const std::vector<SqlValue>& parameters) {
    for (size_t i = 0; i < parameters.size(); ++i)
        if (BindValue(statement, static_cast<int>(i + 1), parameters[i]) != SQLITE_OK) return false;
    return true;
}

void ReportColumns(sqlite3_stmt* statement, QueryInfo& query) {
    const int columns = sqlite3_column_count(statement);
    for (int i = 0; i < columns; ++i)
        query.OnColumnInfo(static_cast<const wchar_t*>(sqlite3_column_name16(statement, i)), i,
                           static_cast<const wchar_t*>(sqlite3_column_decltype16(statement, i)));
}

SqlValue ColumnValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER: return SqlValue(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT: return SqlValue::Float(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
        const auto* text = static_cast<const wchar_t*>(sqlite3_column_text16(statement, column));
        const int bytes = sqlite3_column_bytes16(statement, column);
        return SqlValue(text ? std::wstring(text, static_cast<size_t>(bytes) / sizeof(wchar_t)) : std::wstring());
    }
    case SQLITE_BLOB: {
        const void* bytes = sqlite3_column_blob(statement, column);
        const int size = sqlite3_column_bytes(statement, column);
        return SqlValue(bytes, bytes ? static_cast<uint32_t>(size) : 0);
    }
    default: return SqlValue();
    }
}

// A row that cannot be allocated is skipped.
void AddCurrentRow(sqlite3_stmt* statement, QueryInfo& query) {
    std::unique_ptr<SqlRow> row(new (std::nothrow) SqlRow());
    if (!row) return;
    try {
        const int columns = sqlite3_column_count(statement);
        row->reserve(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) row->push_back(ColumnValue(statement, i));
    } catch (const std::bad_alloc&) {
        return;
    }
    query.AddRow(row.release());
}

// Connections open in this process. Shutting the engine down frees its heap, and with it every other
// open connection, so it happens only when none is left.
std::atomic<int> openConnections{0};

void ShutdownEngineIfUnused() {
    if (openConnections.load() == 0) sqlite3_shutdown();
}

const wchar_t* SkipWhiteSpace(const wchar_t* text) {
    while (*text != L'\0' && std::iswspace(*text)) ++text;
    return text;
}

}  // namespace

Csql_lite::~Csql_lite() { Close(false); }

void Csql_lite::Close(bool shutdownEngine) {
    if (db_ == nullptr) return;
    sqlite3_close(db_);
    db_ = nullptr;
    --openConnections;
    if (shutdownEngine) ShutdownEngineIfUnused();
}

bool Csql_lite::Open(const wchar_t* path) { return Open(path, false); }

bool Csql_lite::Open(const wchar_t* path, bool readOnly) {
    // A second open would orphan the first connection and its file handle.
    if (db_ != nullptr) return false;
    const std::string utf8 = WideToUtf8(path ? path : L"");
    const int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(utf8.c_str(), &handle, flags, nullptr) == SQLITE_OK) {
        db_ = handle;
        ++openConnections;
        return true;
    }
    sqlite3_close(handle);
    ShutdownEngineIfUnused();
    return false;
}

bool Csql_lite::Execute(QueryInfo& query) {
    lastErrorCode_ = 0;
    if (db_ == nullptr) return false;
    const wchar_t* cursor = query.Sql().c_str();
    int lastResult = SQLITE_OK;
    while (*cursor != L'\0') {
        sqlite3_stmt* statement = nullptr;
        const void* tail = nullptr;
        const int bytes = static_cast<int>((wcslen(cursor) + 1) * sizeof(wchar_t));
        lastResult = sqlite3_prepare16_v2(db_, cursor, bytes, &statement, &tail);
        if (lastResult != SQLITE_OK) {
            lastErrorText_ = sqlite3_errmsg(db_);
            lastErrorCode_ = lastResult;
            break;
        }
        if (statement == nullptr) break;  // only white space or a comment was left
        if (BindParameters(statement, query.Parameters()) && query.WantsColumnInfo()) ReportColumns(statement, query);
        while ((lastResult = sqlite3_step(statement)) == SQLITE_ROW) AddCurrentRow(statement, query);
        sqlite3_finalize(statement);
        cursor = SkipWhiteSpace(static_cast<const wchar_t*>(tail));
    }
    changes_ = sqlite3_changes(db_);
    return lastResult == SQLITE_DONE;
}

bool Csql_lite::Execute(const wchar_t* sql) {
    QueryInfo query(sql ? sql : L"");
    return Execute(query);
}

int64_t Csql_lite::GetChanges() { return changes_; }

int64_t Csql_lite::GetLastInsertRowId() { return db_ ? sqlite3_last_insert_rowid(db_) : 0; }

const char* Csql_lite::GetLastErrorText() { return lastErrorText_.c_str(); }

int64_t Csql_lite::GetLastErrorCode() { return lastErrorCode_; }

std::unique_ptr<ISQLInterface> SqliteConnectionMaker::MakeConnection() {
    return std::unique_ptr<ISQLInterface>(new (std::nothrow) Csql_lite());
}

IConnectionMaker& SqliteConnections() {
    static SqliteConnectionMaker maker;
    return maker;
}

}  // namespace vondrel
