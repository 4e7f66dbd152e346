#include "quarantine/store/QuarManager.h"

#include <cwchar>
#include <new>
#include <set>

#include "base/PathRules.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kQuarantineSubfolder = L"quarantine";
constexpr const wchar_t* kZipExtension = L".zip";

// A recursive critical section that lives for the whole process.
CRITICAL_SECTION& StoreLock() {
    static CRITICAL_SECTION* lock = [] {
        static CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        return &section;
    }();
    return *lock;
}

// Made at program start, so the first store call never races its creation.
const bool kStoreLockReady = (StoreLock(), true);

// Library state shared by all sessions; guarded by the store lock.
struct LibraryState {
    std::wstring lastFolder;
    std::set<QuarManager*> sessions;
};

LibraryState& Library() {
    static LibraryState state;
    return state;
}

constexpr size_t kFolderStateLimit = 260;  // the last opened folder is kept in 260 characters

// Copies a folder other than the last one into the library state; false when it does not fit.
bool RememberFolder(const wchar_t* folder) {
    LibraryState& library = Library();
    if (_wcsicmp(folder, library.lastFolder.c_str()) == 0) return true;
    if (wcslen(folder) >= kFolderStateLimit) return false;
    library.lastFolder = folder;
    return true;
}

// The import of the product's older containers into the catalogue is not part of this tool: the step
// reports it as switched off, so the open that creates a catalogue ends with 4.
uint32_t RunLegacyImport() { return kStoreImportOff; }

// A missing catalogue, or one without its tables, gets the full schema. Only a file that is positively
// no database is replaced: any other failure (locked, damaged, an I/O error, out of memory) leaves the
// product's records and their journal as they are, and the next open tries again.
uint32_t CreateSchema(const std::wstring& folder, IConnectionMaker& connections) {
    uint32_t result = RunStatements(folder, CreationStatements(), connections);
    if (result != kStoreOk) {
        if (!IsNotADatabase(folder, connections)) return result;
        if (!DeleteDatabaseFile(folder)) return result;
        if (CheckSchema(folder, nullptr, connections) != kSchemaMissing) return result;
        result = RunStatements(folder, CreationStatements(), connections);
        if (result != kStoreOk) return result;
    }
    return RunLegacyImport();
}

uint32_t BringSchemaUpToDate(const std::wstring& folder, IConnectionMaker& connections) {
    switch (CheckSchema(folder, nullptr, connections)) {
    case kSchemaMissing: return CreateSchema(folder, connections);
    case kSchemaFilesBasic: return RunStatements(folder, FullUpgradeStatements(), connections);
    case kSchemaFilesNoAttribute: return RunStatements(folder, AttributeUpgradeStatements(), connections);
    case kSchemaItemsNoInfo: return RunStatements(folder, ItemUpgradeStatements(), connections);
    case kSchemaCurrent: break;
    }
    return kStoreOk;
}

// Nothing in this tool sets the pending removal: the all-zero GUID means none, so that an item the
// catalogue holds under that GUID keeps its rows and its backup when the session ends.
bool HasPendingRemoval(const QuarManager& session) { return !IsEqualGUID(session.pendingRemoval, GUID{}); }

void DestroySession(QuarManager* session) {
    if (session->connection) {
        if (HasPendingRemoval(*session)) RemoveItem(*session, &session->pendingRemoval);
        session->connection->Close(false);
        session->connection.reset();
    }
    delete session;
}

// Steps from the allocated session on: the session keeps the connection of a current schema.
uint32_t StartSession(const std::wstring& folder, QuarantineHandle* handle, IConnectionMaker& connections) {
    std::unique_ptr<QuarManager> session(new (std::nothrow) QuarManager());
    if (!session) return kStoreOutOfMemory;
    session->folder = folder;
    if (folder.size() + wcslen(kDatabaseFileName) + 1 > kDatabasePathLimit) {
        DestroySession(session.release());
        return kStoreInvalidArgument;
    }
    if (CheckSchema(folder, &session->connection, connections) != kSchemaCurrent) {
        DestroySession(session.release());
        return kStoreCannotOpen;
    }
    Library().sessions.insert(session.get());
    *handle = reinterpret_cast<QuarantineHandle>(session.release());
    return kStoreOk;
}

}  // namespace

void EnterStoreLock() { EnterCriticalSection(&StoreLock()); }

void LeaveStoreLock() { LeaveCriticalSection(&StoreLock()); }

QuarManager* SessionFromHandle(QuarantineHandle handle) {
    if (handle == 0) return nullptr;
    auto* session = reinterpret_cast<QuarManager*>(handle);
    return Library().sessions.count(session) ? session : nullptr;
}

uint32_t OpenBackup(const wchar_t* folder, QuarantineHandle* handle, IConnectionMaker& connections) {
    StoreLockHolder lock;
    if (folder == nullptr || *folder == L'\0' || handle == nullptr) return kStoreInvalidArgument;
    try {
        if (!RememberFolder(folder)) return kStoreInvalidArgument;
        if (!CreateDirectoryTree(folder)) return kStoreNoFolder;
        const uint32_t schema = BringSchemaUpToDate(folder, connections);
        if (schema != kStoreOk) return schema;
        *handle = 0;
        return StartSession(folder, handle, connections);
    } catch (const std::bad_alloc&) {
        return kStoreOutOfMemory;
    }
}

void ReleaseBackup(QuarantineHandle handle) {
    StoreLockHolder lock;
    QuarManager* session = SessionFromHandle(handle);
    if (session == nullptr) return;
    Library().sessions.erase(session);
    DestroySession(session);
}

std::wstring ItemZipPath(const std::wstring& folder, const GUID& guid) {
    std::wstring path = folder;
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path += L'\\';
    path += kQuarantineSubfolder;
    path += L'\\';
    path += GuidToText(guid);
    path += kZipExtension;
    return path;
}

std::wstring StripBraces(const std::wstring& text) {
    std::wstring result = text;
    const size_t open = result.find(L'{');
    if (open != std::wstring::npos) result.erase(open, 1);
    const size_t close = result.find(L'}');
    if (close != std::wstring::npos) result.erase(close, 1);
    return result;
}

}  // namespace vondrel
