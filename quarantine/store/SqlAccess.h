// The store's object layer over SQLite: a value, a row, a query object that carries its text, its
// parameters and its result rows, and a connection that runs queries. Callers never see a statement
// handle. Text comes back as UTF-16; a parameter may also carry UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace vondrel {

// Stored codes of the value kinds.
enum class SqlKind : uint32_t {
    Integer = 0,
    Utf8Text = 1,
    Blob = 2,
    Null = 3,
    Float = 5,
    WideText = 6,
};

// One parameter or one column value. Only the members of its kind are meaningful. An Integer or Float
// made from a number also fills the other number member (`integer`, `real`); a copy carries the payload
// of its kind only, a move carries every member.
class SqlValue {
public:
    SqlValue() = default;  // Null
    explicit SqlValue(const std::wstring& text);
    explicit SqlValue(const wchar_t* text);
    explicit SqlValue(int64_t value);
    SqlValue(const void* bytes, uint32_t size);  // Blob: the bytes are copied
    static SqlValue Utf8(std::string text);
    static SqlValue Float(double value);

    SqlValue(const SqlValue& other);
    SqlValue& operator=(const SqlValue& other);
    SqlValue(SqlValue&& other) noexcept;
    SqlValue& operator=(SqlValue&& other) noexcept;
    ~SqlValue();

    // WideText as it is, Utf8Text converted once and cached, "" for every other kind.
    const std::wstring& WideTextView() const;
    // `integer` when the kind is Integer, 0 otherwise.
    int64_t IntegerOrZero() const { return kind == SqlKind::Integer ? integer : 0; }
    bool IsInteger() const { return kind == SqlKind::Integer; }

    SqlKind kind = SqlKind::Null;
    int64_t integer = 0;
    std::string utf8Text;
    mutable std::wstring wideText;
    uint8_t* blob = nullptr;  // malloc'd, owned
    uint32_t blobSize = 0;
    double real = 0.0;

private:
    void CopyPayload(const SqlValue& other);
    void FreeBlob();
};

// One result row: one value per column, in the column order of the SELECT.
using SqlRow = std::vector<SqlValue>;

// The value of a column, or a Null value when the row is shorter.
const SqlValue& ColumnOf(const SqlRow& row, size_t column);

// One SQL text (possibly several statements), its parameters bound to ? 1, 2, 3 ... of every
// statement, and after Execute the rows the statements returned.
class QueryInfo {
public:
    explicit QueryInfo(std::wstring sql);
    QueryInfo(std::wstring sql, const SqlValue& firstParameter);
    QueryInfo(const QueryInfo&) = delete;
    QueryInfo& operator=(const QueryInfo&) = delete;
    virtual ~QueryInfo();

    // Takes ownership of the row; true.
    virtual bool AddRow(SqlRow* row);
    // The hook by which a query could ask for each result column's name and declared type; a plain
    // query declines.
    virtual bool WantsColumnInfo();
    virtual bool OnColumnInfo(const wchar_t* name, int columnIndex, const wchar_t* declaredType);

    const std::wstring& Sql() const { return sql_; }
    std::vector<SqlValue>& Parameters() { return parameters_; }
    const std::vector<SqlValue>& Parameters() const { return parameters_; }
    size_t RowCount() const { return rows_.size(); }
    const SqlRow& Row(size_t index) const { return *rows_[index]; }

private:
    std::wstring sql_;
    std::vector<SqlValue> parameters_;
    std::vector<std::unique_ptr<SqlRow>> rows_;
};

// A connection to one database.
class ISQLInterface {
public:
    virtual ~ISQLInterface() = default;
    virtual void Close(bool shutdownEngine) = 0;
    virtual bool Open(const wchar_t* path) = 0;
    virtual bool Open(const wchar_t* path, bool readOnly) = 0;
    // True only when the last statement of the text ran to completion.
    virtual bool Execute(QueryInfo& query) = 0;
    virtual bool Execute(const wchar_t* sql) = 0;
    virtual int64_t GetChanges() = 0;
    virtual int64_t GetLastInsertRowId() = 0;
    // Text and code of the last failed prepare; Execute clears the code (not the text) when it starts.
    virtual const char* GetLastErrorText() = 0;
    virtual int64_t GetLastErrorCode() = 0;
};

// The connection on the SQLite library.
class Csql_lite : public ISQLInterface {
public:
    Csql_lite() = default;
    Csql_lite(const Csql_lite&) = delete;
    Csql_lite& operator=(const Csql_lite&) = delete;
    ~Csql_lite() override;

    void Close(bool shutdownEngine) override;
    bool Open(const wchar_t* path) override;
    // Read-only, or read-write creating a missing file.
    bool Open(const wchar_t* path, bool readOnly) override;
    bool Execute(QueryInfo& query) override;
    bool Execute(const wchar_t* sql) override;
    int64_t GetChanges() override;
    int64_t GetLastInsertRowId() override;
    const char* GetLastErrorText() override;
    int64_t GetLastErrorCode() override;

private:
    sqlite3* db_ = nullptr;
    std::string lastErrorText_;
    int64_t lastErrorCode_ = 0;
    int32_t changes_ = 0;
};

// Makes the connections the store opens on a catalogue. The store's own maker gives Csql_lite; tests
// give connections that fail where SQLite can fail.
class IConnectionMaker {
public:
    virtual ~IConnectionMaker() = default;
    // A closed connection; null when out of memory.
    virtual std::unique_ptr<ISQLInterface> MakeConnection() = 0;
};

class SqliteConnectionMaker final : public IConnectionMaker {
public:
    std::unique_ptr<ISQLInterface> MakeConnection() override;
};

// The process's one SQLite connection maker.
IConnectionMaker& SqliteConnections();

}  // namespace vondrel
