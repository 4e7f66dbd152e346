// What the file restore tells about every file it has written: its context, an IFileEntryWriter. The
// driver's collection pass gives the one that writes the metadata file's entries (driver/FileEntries.h).
#pragma once

#include <cstddef>
#include <string>

namespace vondrel {

class QueryInfo;

// fileRows holds the item's BackupFiles rows, index the row of the written file.
class IFileEntryWriter {
public:
    virtual ~IFileEntryWriter() = default;
    virtual void WriteFileEntry(const QueryInfo& fileRows, size_t index, const std::wstring& destinationPath) = 0;
};

// The restore's call: passes the file on to the context, if there is one.
inline void WriteFileEntry(IFileEntryWriter* context, const QueryInfo& fileRows, size_t index,
                           const std::wstring& destinationPath) {
    if (context) context->WriteFileEntry(fileRows, index, destinationPath);
}

}  // namespace vondrel
