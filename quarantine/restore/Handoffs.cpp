#include "quarantine/restore/Handoffs.h"

#include <vector>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "packaging/EntryPreparation.h"
#include "packaging/ZipWriter.h"
#include "quarantine/restore/FileRestore.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kListPattern = L"\\*";
constexpr const wchar_t* kArchiveSuffix = L".zip";

constexpr const wchar_t* kBeginRead = L"BEGIN DEFERRED TRANSACTION;";
constexpr const wchar_t* kEndRead = L"COMMIT TRANSACTION;";

bool IsDirectoryEntry(const WIN32_FIND_DATAW& data) { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// One item's reads under one shared lock of the catalogue instead of one per statement: every lock
// SQLite takes costs round trips to Wine's server and looks up the journal's names in the store's
// folder, which holds every backup. Held only for the reads, never while files are restored, so the
// product's writer waits at most for these few statements.
class ItemReadTransaction {
public:
    explicit ItemReadTransaction(ISQLInterface& connection)
        : connection_(connection), begun_(connection.Execute(kBeginRead)) {}
    ~ItemReadTransaction() { End(); }
    ItemReadTransaction(const ItemReadTransaction&) = delete;
    ItemReadTransaction& operator=(const ItemReadTransaction&) = delete;

    void End() {
        if (begun_) connection_.Execute(kEndRead);
        begun_ = false;
    }

private:
    ISQLInterface& connection_;
    bool begun_;
};

// The regular files directly inside the folder, as long full paths, in the order the listing gives.
bool ListFolderFiles(const std::wstring& folderPath, std::vector<std::wstring>& paths) {
    WIN32_FIND_DATAW data{};
    UniqueFind find(FindFirstFileExtended(folderPath + kListPattern, &data));
    if (!find) return false;
    LongPathResolver longPaths;
    do {
        if (IsDirectoryEntry(data)) continue;
        paths.push_back(longPaths.Of(FullPathOf(folderPath + L"\\" + data.cFileName)));
    } while (FindNextFileW(find.get(), &data));
    return true;
}

}  // namespace

uint32_t RestoreItemFiles(IFileEntryWriter* context, const QuarantineItem* item, QuarantineHandle handle,
                          const wchar_t* destination, unsigned* restoredCount) {
    StoreLockHolder lock;
    QuarManager* session = SessionFromHandle(handle);
    if (session == nullptr || item == nullptr || restoredCount == nullptr) return kStoreInvalidArgument;
    *restoredCount = 0;
    if (destination == nullptr) return kStoreInvalidArgument;
    if (!session->connection) return kStoreNoConnection;
    ItemReadTransaction reads(*session->connection);
    if (CountItemRecords(*session, item->guid) == 0) return kStoreOk;

    QueryInfo fileRows(kSelectBackupFiles, SqlValue(GuidToText(item->guid)));
    if (!session->connection->Execute(fileRows)) return kStoreQueryFailed;
    reads.End();
    return RestoreFiles(context, fileRows, destination, restoredCount);
}

uint32_t PackFolder(const wchar_t* folder, QuarantineHandle handle) {
    StoreLockHolder lock;
    if (SessionFromHandle(handle) == nullptr || folder == nullptr) return kStoreInvalidArgument;

    const std::wstring folderPath(folder);
    std::vector<std::wstring> paths;
    try {
        if (!ListFolderFiles(folderPath, paths)) return kStoreListFailed;
    } catch (const std::bad_alloc&) {
        return kStoreListFailed;
    }

    // Every file is tried; one that could not be added fails the whole archive, which must not be
    // sent as if it were complete. The archive stays open across the files and is closed once.
    ZipArchiveAppender archive(folderPath + kArchiveSuffix);
    uint32_t result = kStoreOk;
    AddFilesToZip(paths, archive, PreparationWorkers(), [&result](size_t, bool added) {
        if (!added) result = kStoreListFailed;
        ReachTestPoint(TestPoint::FilePacked);
    });
    return result;
}

}  // namespace vondrel
