#include "quarantine/restore/Handoffs.h"

#include "base/Handles.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "packaging/ZipWriter.h"
#include "quarantine/restore/FileRestore.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kListPattern = L"\\*";
constexpr const wchar_t* kArchiveSuffix = L".zip";

bool IsDirectoryEntry(const WIN32_FIND_DATAW& data) { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

}  // namespace

uint32_t RestoreItemFiles(IFileEntryWriter* context, const QuarantineItem* item, QuarantineHandle handle,
                          const wchar_t* destination, unsigned* restoredCount) {
    StoreLockHolder lock;
    QuarManager* session = SessionFromHandle(handle);
    if (session == nullptr || item == nullptr || restoredCount == nullptr) return kStoreInvalidArgument;
    *restoredCount = 0;
    if (destination == nullptr) return kStoreInvalidArgument;
    if (!session->connection) return kStoreNoConnection;
    if (CountItemRecords(*session, item->guid) == 0) return kStoreOk;

    QueryInfo fileRows(kSelectBackupFiles, SqlValue(GuidToText(item->guid)));
    if (!session->connection->Execute(fileRows)) return kStoreQueryFailed;
    return RestoreFiles(context, fileRows, destination, restoredCount);
}

uint32_t PackFolder(const wchar_t* folder, QuarantineHandle handle) {
    StoreLockHolder lock;
    if (SessionFromHandle(handle) == nullptr || folder == nullptr) return kStoreInvalidArgument;

    const std::wstring folderPath(folder);
    const std::wstring archivePath = folderPath + kArchiveSuffix;
    WIN32_FIND_DATAW data{};
    UniqueFind find(FindFirstFileExtended(folderPath + kListPattern, &data));
    if (!find) return kStoreListFailed;

    // Every file is tried; one that could not be added fails the whole archive, which must not be
    // sent as if it were complete. The archive stays open across the files and is closed once.
    ZipArchiveAppender archive(archivePath);
    uint32_t result = kStoreOk;
    do {
        if (IsDirectoryEntry(data)) continue;
        const std::wstring filePath = folderPath + L"\\" + data.cFileName;
        if (AddFileToZip(filePath.c_str(), archive) != kZipAddOk) result = kStoreListFailed;
        ReachTestPoint(TestPoint::FilePacked);
    } while (FindNextFileW(find.get(), &data));
    return result;
}

}  // namespace vondrel
