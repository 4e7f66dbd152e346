// The per-file entries of "quarantined_metadata.json": the file restore hands every file it writes to
// an IFileEntryWriter (its context), and the collection pass's MetadataFileWriter digests the file and
// appends its entry to the item's "FileList".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/TextWriter.h"
#include "quarantine/restore/FileEntryWriter.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {

class QueryInfo;

// The values of one file entry.
struct FileEntry {
    std::wstring fileName;          // last component of originalPath, "\" read as "/"
    int64_t createTime = 0;
    int64_t modifyTime = 0;
    int64_t accessTime = 0;
    std::wstring md5;               // hexadecimal, or "N/A"
    std::wstring sha256;            // hexadecimal, or "N/A"
    std::wstring actorProcessName;  // every "\" as "/"
};

// The entry's own line: line end, three tabs, "{ "FileName" : ... }" (no comma).
std::wstring FormatFileEntry(const FileEntry& entry);

// The collection pass's context for the restore: writes each restored file's entry into the metadata
// file, joining the entries of one item's file list with ",". The pass owns the file.
class MetadataFileWriter final : public IFileEntryWriter {
public:
    explicit MetadataFileWriter(TextFile& file) : file_(file) {}

    // Starts the file list of the next item: its first entry gets no comma before it.
    void BeginFileList() { entriesInList_ = 0; }
    size_t EntriesInList() const { return entriesInList_; }

    // Opens the written file again to digest it ("N/A" twice when it cannot be opened or is empty)
    // and appends its entry, made from fileRows[index].
    void WriteFileEntry(const QueryInfo& fileRows, size_t index, const std::wstring& destinationPath) override;

private:
    TextFile& file_;
    size_t entriesInList_ = 0;
};

}  // namespace vondrel
