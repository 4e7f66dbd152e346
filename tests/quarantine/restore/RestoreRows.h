// BackupFiles rows as the store hands them to the file restore, a context that records what the
// restore reports, and the log lines the restore tests look for.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quarantine/restore/FileEntryWriter.h"
#include "quarantine/store/QuarantineDatabase.h"
#include "quarantine/store/SqlAccess.h"
#include "tests/support/TestSupport.h"

namespace vondrel::test {

// One row in the column order of the BackupFiles SELECT.
inline SqlRow FileRow(SqlValue kind, const std::wstring& originalPath, const std::wstring& backupFilename,
                      SqlValue fileAttribute = SqlValue(int64_t{0x20})) {
    SqlRow row(12);
    row[kFileGuid] = SqlValue(L"6f1c2b3a-0000-4000-8000-00000000a001");
    row[kFileItemIndex] = SqlValue(int64_t{0});
    row[kFileBupOrSql] = std::move(kind);
    row[kFileOriginalPath] = SqlValue(originalPath);
    row[kFileBackupFilename] = SqlValue(backupFilename);
    row[kFileSize] = SqlValue(int64_t{0});
    row[kFileCreateTime] = SqlValue(int64_t{132000000000000000});
    row[kFileModifyTime] = SqlValue(int64_t{132000000000000001});
    row[kFileAccessTime] = SqlValue(int64_t{132000000000000002});
    row[kFileActorProcessName] = SqlValue(L"C:\\Windows\\explorer.exe");
    row[kFileIsCreated] = SqlValue(int64_t{0});
    row[kFileAttribute] = std::move(fileAttribute);
    return row;
}

inline SqlRow ZipRow(const std::wstring& originalPath, const std::wstring& zip,
                     SqlValue fileAttribute = SqlValue(int64_t{0x20})) {
    return FileRow(SqlValue(int64_t{1}), originalPath, zip, std::move(fileAttribute));
}

inline SqlRow LegacyRow(const std::wstring& originalPath, const std::wstring& backup) {
    return FileRow(SqlValue(int64_t{2}), originalPath, backup);
}

// A query object holding the given rows, as after the store ran the SELECT.
class FileRows : public QueryInfo {
public:
    explicit FileRows(std::vector<SqlRow> rows = {}) : QueryInfo(L"") {
        for (SqlRow& row : rows) AddRow(new SqlRow(std::move(row)));
    }
};

// Records every file the restore reports, with the counter as it was at that moment.
class RecordingEntries final : public IFileEntryWriter {
public:
    struct Entry {
        size_t index;
        std::wstring destination;
        unsigned countBefore;
    };

    explicit RecordingEntries(const unsigned* counter) : counter_(counter) {}
    void WriteFileEntry(const QueryInfo&, size_t index, const std::wstring& destinationPath) override {
        entries.push_back({index, destinationPath, *counter_});
    }

    std::vector<Entry> entries;

private:
    const unsigned* counter_;
};

inline bool HasLineStartingWith(const LogCapture& log, const std::wstring& prefix) {
    for (const std::wstring& line : log.Lines()) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// The lines of the form "QuarManager::RestoreFiles : ..." among the log's new ones, in order: other
// programs running at the same time write into the same log.
inline std::vector<std::wstring> RestoreCallLines(const LogCapture& log) {
    std::vector<std::wstring> lines;
    for (const std::wstring& line : log.Lines()) {
        if (line.rfind(L"QuarManager::RestoreFiles : ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// The restore's log lines about one destination.
inline std::wstring RestoredLine(const std::wstring& destination) {
    return L"Sucessfully restored file to : " + destination + L": ";
}
inline std::wstring FailedLine(unsigned code, const std::wstring& destination) {
    return L"Failed to (retVal " + std::to_wstring(code) + L") restore file to : " + destination + L": ";
}
constexpr const wchar_t* kFailedLinePrefix = L"Failed to (retVal ";
constexpr const wchar_t* kLinkSummaryPrefix =
    L"QuarManager::RestoreFiles : Destination path checked for symbolic links. Path has links: ";

}  // namespace vondrel::test
