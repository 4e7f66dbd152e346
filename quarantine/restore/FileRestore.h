// Writes the files of one quarantined item back to disk: for every BackupFiles row it checks the
// destination inside the target folder, takes the content out of the item's encrypted zip backup or
// legacy backup file, writes it, applies the stored attributes and reports the file to its context.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {

class IFileEntryWriter;
class QueryInfo;
class SqlValue;

// Codes of a row and of the call (legacy rows add the codes of BupFile).
constexpr uint32_t kRestoreOk = 0;
constexpr uint32_t kRestoreFailed = 17;

// What a row's FileAttribute column asks for: the value to apply, and whether to apply it after the
// extraction (NORMAL and the invalid value are not applied).
struct RestoreAttributes {
    DWORD value = 0;
    bool set = true;
};
RestoreAttributes AttributesFromColumn(const SqlValue& fileAttribute);

// The name the file gets in the destination folder: the text after the last "\" or "/" of the
// original path, so that no part of the original path can lead outside the folder.
std::wstring DestinationNameOf(const std::wstring& originalPath);
// False for names that would not make a plain file inside the folder: empty, "." or "..", a ":"
// (alternate data stream) or control character, or a device name such as CON or com1.txt.
bool IsSafeDestinationName(const std::wstring& name);
// destinationFolder + "\" + DestinationNameOf(originalPath).
std::wstring DestinationPathOf(const std::wstring& destinationFolder, const std::wstring& originalPath);

// The two file-system calls of the link walk over the destination's parents, so that reparse points
// the test platform cannot create are covered as well.
class ILinkWalkCalls {
public:
    virtual ~ILinkWalkCalls() = default;
    // GetFileAttributesW; on failure false with the thread's last error in error.
    virtual bool ReadAttributes(const std::wstring& path, DWORD& attributes, DWORD& error) = 0;
    // FindFirstFileW, the search closed again; false when nothing was found.
    virtual bool FindEntry(const std::wstring& path, WIN32_FIND_DATAW& data) = 0;
};

// The calls on the real file system, each path through ExtendedPath.
class FileSystemLinkWalkCalls final : public ILinkWalkCalls {
public:
    bool ReadAttributes(const std::wstring& path, DWORD& attributes, DWORD& error) override;
    bool FindEntry(const std::wstring& path, WIN32_FIND_DATAW& data) override;
};

// Walks up from the destination's folder to its root and reports whether a parent is a symbolic link
// or cannot be read (a missing folder counts as a link). Machine, device and prefixed drive parts
// that cannot be read end the walk without a link.
bool DestinationHasLinks(const std::wstring& destinationPath, ILinkWalkCalls& calls);

// Restores every row of fileRows (the item's BackupFiles rows) into destinationFolder. Each file
// written is handed to context and counted in *restoredCount. Returns the code of the last row (0
// when there are none). Called with the store lock held.
uint32_t RestoreFiles(IFileEntryWriter* context, const QueryInfo& fileRows, const wchar_t* destinationFolder,
                      unsigned* restoredCount);
uint32_t RestoreFiles(IFileEntryWriter* context, const QueryInfo& fileRows, const wchar_t* destinationFolder,
                      unsigned* restoredCount, ILinkWalkCalls& linkWalkCalls);

// Extracts the zip entry of row index into a new memory stream: 0, or 17 when the row has no entry
// name, is not a zip row or the entry cannot be read. *stream receives the stream whenever one was
// created, and null otherwise; the caller owns it.
uint32_t RestoreFileToStream(const QueryInfo& fileRows, IStream** stream, size_t index);

}  // namespace vondrel
