#include "driver/FileEntries.h"

#include <windows.h>

#include <algorithm>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "driver/Digests.h"
#include "quarantine/store/SqlAccess.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kFileEntryFormat =
    L"\n\t\t\t{ \"FileName\" : \"%s\" ,\"CreateTime\" : %lld, \"ModifyTime\" : %lld, \"AccessTime\" : %lld, "
    L"\"MD5\" : \"%s\", \"SHA256\" : \"%s\", \"ActorProcessName\" : \"%s\" }";
constexpr const wchar_t* kFileEntrySeparator = L",";

std::wstring WithForwardSlashes(std::wstring path) {
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

FileEntry EntryFromRow(const SqlRow& row) {
    FileEntry entry;
    entry.fileName = LastComponentOf(ColumnOf(row, kFileOriginalPath).WideTextView(), Separators::BackslashOrSlash);
    entry.createTime = ColumnOf(row, kFileCreateTime).IntegerOrZero();
    entry.modifyTime = ColumnOf(row, kFileModifyTime).IntegerOrZero();
    entry.accessTime = ColumnOf(row, kFileAccessTime).IntegerOrZero();
    entry.actorProcessName = WithForwardSlashes(ColumnOf(row, kFileActorProcessName).WideTextView());
    return entry;
}

// The written file's digests, "N/A" for both when it cannot be opened again.
void DigestWrittenFile(const std::wstring& path, FileEntry& entry) {
    entry.md5 = kDigestUnavailable;
    entry.sha256 = kDigestUnavailable;
    UniqueFile file(
        CreateFileExtended(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (file) ComputeFileDigests(file.get(), entry.md5, entry.sha256);
}

}  // namespace

std::wstring FormatFileEntry(const FileEntry& entry) {
    return FormatText(kFileEntryFormat, entry.fileName.c_str(), static_cast<long long>(entry.createTime),
                      static_cast<long long>(entry.modifyTime), static_cast<long long>(entry.accessTime),
                      entry.md5.c_str(), entry.sha256.c_str(), entry.actorProcessName.c_str());
}

void MetadataFileWriter::WriteFileEntry(const QueryInfo& fileRows, size_t index, const std::wstring& destinationPath) {
    if (index >= fileRows.RowCount()) return;
    FileEntry entry = EntryFromRow(fileRows.Row(index));
    DigestWrittenFile(destinationPath, entry);
    std::wstring text = entriesInList_ == 0 ? L"" : kFileEntrySeparator;
    text += FormatFileEntry(entry);
    file_.Write(text);
    ++entriesInList_;
}

}  // namespace vondrel
