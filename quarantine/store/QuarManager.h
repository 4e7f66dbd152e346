// The quarantine store's face to the tool: a session on a quarantine folder, the listing of its items
// as plain records, the removal and counting of one item's rows, and the one process-wide recursive
// lock that serialises every use of the store.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "quarantine/store/QuarantineItems.h"
#include "quarantine/store/SqlAccess.h"

namespace vondrel {

// Result codes of the store (0 = success).
constexpr uint32_t kStoreOk = 0;
constexpr uint32_t kStoreInvalidArgument = 1;   // missing path, handle, item or output; path too long
constexpr uint32_t kStoreCannotOpen = 2;        // database cannot be opened, or schema not current
constexpr uint32_t kStoreSchemaFailed = 3;      // a schema statement failed
constexpr uint32_t kStoreImportOff = 4;         // legacy import switched off
constexpr uint32_t kStoreOutOfMemory = 5;
constexpr uint32_t kStoreNoConnection = 7;
constexpr uint32_t kStoreWriteFailed = 8;       // a row could not be written
constexpr uint32_t kStoreListFailed = 9;        // folder not listed, file not opened or not added to a zip
constexpr uint32_t kStoreQueryFailed = 10;      // query failed, or a registry row with an unknown root
constexpr uint32_t kStoreNothingFound = 11;     // no version row; removal that changed nothing
constexpr uint32_t kStoreDeleteFailed = 13;     // a backup file could not be deleted
constexpr uint32_t kStoreRolledBack = 20;
constexpr uint32_t kStoreNoFolder = 24;         // the folder is missing and cannot be created

// A session's handle: the session's address, 0 for none.
using QuarantineHandle = int64_t;

// The object behind a session handle.
struct QuarManager {
    std::unique_ptr<ISQLInterface> connection;  // open for the session's whole life
    GUID pendingRemoval{};                      // removed when the session ends; never set by this tool
    std::wstring folder;
};

// The store's one process-wide recursive lock. Every store operation takes it itself, except GetItems
// and ReleaseBackup, around which the caller holds it.
void EnterStoreLock();
void LeaveStoreLock();

class StoreLockHolder {
public:
    StoreLockHolder() { EnterStoreLock(); }
    ~StoreLockHolder() { LeaveStoreLock(); }
    StoreLockHolder(const StoreLockHolder&) = delete;
    StoreLockHolder& operator=(const StoreLockHolder&) = delete;
};

// The live session behind a handle, or null for 0 and for handles no open session has. Call with the
// store lock held.
QuarManager* SessionFromHandle(QuarantineHandle handle);

// Opens a session on a quarantine folder: makes sure the folder exists, creates or upgrades the
// catalogue and keeps a connection to it. The first open of a folder without a catalogue creates one
// and still reports 4. Every connection of the open and of the session comes from `connections`.
uint32_t OpenBackup(const wchar_t* folder, QuarantineHandle* handle,
                    IConnectionMaker& connections = SqliteConnections());
// Ends a session (removing its pending item, if any). Caller holds the store lock.
void ReleaseBackup(QuarantineHandle handle);
// Lists every item of the catalogue; null on failure. Caller holds the store lock.
uint32_t GetItems(QuarantineHandle handle, QuarantineItemList** list);
// Frees a list from GetItems with everything in it; null is accepted. Returns 0.
uint32_t FreeItems(QuarantineItemList* list);

// The number of BackupFiles rows plus BackupRegistry rows of the item.
uint32_t CountItemRecords(QuarManager& session, const GUID& guid);
// Removes the item's rows in one transaction, then its backup container.
uint32_t RemoveItem(QuarManager& session, const GUID* guid);

// The item's encrypted zip backup: folder, "\" unless the folder ends in "\" or "/", "quarantine\",
// the GUID text, ".zip".
std::wstring ItemZipPath(const std::wstring& folder, const GUID& guid);

// The text without its first "{" and its first "}".
std::wstring StripBraces(const std::wstring& text);

}  // namespace vondrel
