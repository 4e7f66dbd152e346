// The item listing as it ran before it read the child tables in grouped statements: four statements
// per item, each with the item's GUID text as its parameter. Kept as the reference that the listing
// must equal on every catalogue; it frees with FreeItems.
#include "tests/quarantine/store/ReferenceListing.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "base/Log.h"
#include "quarantine/store/QuarManager.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel::test {
namespace {

constexpr const wchar_t* kSelectBackupItems =
    L"SELECT guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, additionalInfo "
    L"FROM BackupItems;";
constexpr const wchar_t* kSelectBackupRegistry =
    L"SELECT guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, registryValue FROM BackupRegistry "
    L"WHERE guid=?;";
constexpr const wchar_t* kSelectCustomStreams = L"SELECT name FROM BackupCustomStream WHERE guid=?;";
constexpr const wchar_t* kSelectBackupVersions =
    L"SELECT guid, itemid, scanner, major, minor, creationdate, additional FROM BackupVersions WHERE guid=?;";
constexpr const wchar_t* kInvalidRootMessage = L"PopulateRegistryEntriesForGUID : Invalid HKEY in %ls.\n";

enum ItemsColumn : size_t { kItemGuid = 0, kItemCreationTime, kItemDetectType, kItemDetectionName, kItemVirusType = 5,
                            kItemAdditionalInfo = 7 };
enum RegistryColumn : size_t { kRegistryKeyRoot = 1, kRegistryKeyName, kRegistryValueName, kRegistryKeyIs64Bit = 5 };
enum VersionColumn : size_t { kVersionItemId = 1, kVersionMajor = 3, kVersionMinor, kVersionCreationDate,
                              kVersionAdditional };

struct RootKeyName {
    const wchar_t* name;
    HKEY key;
};

const RootKeyName kRootKeys[] = {
    {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKCU", HKEY_CURRENT_USER},   {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKU", HKEY_USERS},          {L"HKCC", HKEY_CURRENT_CONFIG},
};

// ---- owned texts and records ----

wchar_t* NewText(const std::wstring& text) {
    auto* copy = new wchar_t[text.size() + 1];
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// The catalogue's short texts are kept only when they have 1 to 259 characters.
wchar_t* NewShortText(const std::wstring& text) {
    if (text.empty() || text.size() > kMaxRecordTextLength) return nullptr;
    return NewText(text);
}

void FreeEntry(BackupEntry* entry) {
    if (entry == nullptr) return;
    delete[] entry->name;
    if (entry->file != nullptr) {
        delete[] entry->file->actorProcessName;
        delete entry->file;
    }
    delete entry;
}

void FreeItem(QuarantineItem* item) {
    if (item == nullptr) return;
    for (uint32_t i = 0; i < item->entryCount; ++i) FreeEntry(item->entries[i]);
    delete[] item->entries;
    if (item->version != nullptr) {
        delete[] item->version->additional;
        delete item->version;
    }
    delete[] item->detectionName;
    delete[] item->additionalInfo;
    delete[] item->backupPath;
    delete item;
}

struct EntryDeleter {
    void operator()(BackupEntry* entry) const { FreeEntry(entry); }
};
struct ItemDeleter {
    void operator()(QuarantineItem* item) const { FreeItem(item); }
};
using EntryOwner = std::unique_ptr<BackupEntry, EntryDeleter>;
using ItemOwner = std::unique_ptr<QuarantineItem, ItemDeleter>;

EntryOwner NewEntry(uint32_t kind, const std::wstring& name) {
    EntryOwner entry(new BackupEntry{});
    entry->cbSize = sizeof(BackupEntry);
    entry->kind = kind;
    entry->name = NewText(name);
    return entry;
}

template <typename Owner>
auto ReleaseIntoArray(std::vector<Owner>& owners) -> typename Owner::pointer* {
    if (owners.empty()) return nullptr;
    auto* array = new typename Owner::pointer[owners.size()];
    for (size_t i = 0; i < owners.size(); ++i) array[i] = owners[i].release();
    return array;
}

uint32_t U32(const SqlRow& row, size_t column) { return static_cast<uint32_t>(ColumnOf(row, column).IntegerOrZero()); }
uint64_t U64(const SqlRow& row, size_t column) { return static_cast<uint64_t>(ColumnOf(row, column).IntegerOrZero()); }
const std::wstring& Text(const SqlRow& row, size_t column) { return ColumnOf(row, column).WideTextView(); }

// ---- one item ----

// An item while its entries are gathered.
struct ItemUnderConstruction {
    ItemOwner item;
    std::wstring guidText;  // the catalogue form the WHERE guid=? queries compare with
    std::vector<EntryOwner> entries;
};

void FillFromItemRow(const SqlRow& row, QuarantineItem& item) {
    item.cbSize = sizeof(QuarantineItem);
    item.guid = GuidFromText(Text(row, kItemGuid));
    item.creationTime = ParseCreationTime(Text(row, kItemCreationTime));
    item.detectType = U32(row, kItemDetectType);
    item.detectionName = NewShortText(Text(row, kItemDetectionName));
    item.virusType = U32(row, kItemVirusType);
    const SqlValue& info = ColumnOf(row, kItemAdditionalInfo);
    if (info.kind == SqlKind::Blob && info.blobSize > 0) {
        item.additionalInfo = new uint8_t[info.blobSize];
        std::memcpy(item.additionalInfo, info.blob, info.blobSize);
        item.additionalInfoSize = info.blobSize;
    }
}

EntryOwner FileEntry(const SqlRow& row) {
    EntryOwner entry = NewEntry(kEntryFile, Text(row, kFileOriginalPath));
    entry->file = new BackupFileRecord{};
    BackupFileRecord& file = *entry->file;
    file.cbSize = sizeof(BackupFileRecord);
    file.size = U64(row, kFileSize);
    file.createTime = U64(row, kFileCreateTime);
    file.modifyTime = U64(row, kFileModifyTime);
    file.accessTime = U64(row, kFileAccessTime);
    file.actorProcessName = NewShortText(Text(row, kFileActorProcessName));
    file.isCreated = U32(row, kFileIsCreated);
    file.fileAttribute = U64(row, kFileAttribute);
    return entry;
}

uint32_t AddFileEntries(ISQLInterface& connection, ItemUnderConstruction& built) {
    QueryInfo query(kSelectBackupFiles, SqlValue(built.guidText));
    if (!connection.Execute(query)) return kStoreQueryFailed;
    if (query.RowCount() > 0) built.item->backupPath = NewShortText(Text(query.Row(0), kFileBackupFilename));
    for (size_t i = 0; i < query.RowCount(); ++i) built.entries.push_back(FileEntry(query.Row(i)));
    return kStoreOk;
}

bool RootKeyOf(const std::wstring& keyRoot, uint32_t* rootKey) {
    for (const RootKeyName& root : kRootKeys) {
        if (_wcsicmp(keyRoot.c_str(), root.name) != 0) continue;
        *rootKey = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(root.key));
        return true;
    }
    return false;
}

uint32_t RegistryKind(const SqlRow& row) {
    const bool is64Bit = ColumnOf(row, kRegistryKeyIs64Bit).IntegerOrZero() != 0;
    const bool isValue = !Text(row, kRegistryValueName).empty();
    if (is64Bit) return isValue ? kEntryRegistryValue64 : kEntryRegistryKey64;
    return isValue ? kEntryRegistryValue32 : kEntryRegistryKey32;
}

uint32_t PopulateRegistryEntriesForGUID(ISQLInterface& connection, const std::wstring& folder,
                                        ItemUnderConstruction& built) {
    if (built.item->backupPath == nullptr) built.item->backupPath = NewText(ItemZipPath(folder, built.item->guid));
    QueryInfo query(kSelectBackupRegistry, SqlValue(built.guidText));
    if (!connection.Execute(query)) return kStoreOk;
    for (size_t i = 0; i < query.RowCount(); ++i) {
        const SqlRow& row = query.Row(i);
        uint32_t rootKey = 0;
        if (!RootKeyOf(Text(row, kRegistryKeyRoot), &rootKey)) {
            LogWrite(kLogLevelStoreError, kLogQuarantine, kInvalidRootMessage, built.guidText.c_str());
            return kStoreQueryFailed;
        }
        EntryOwner entry = NewEntry(RegistryKind(row), Text(row, kRegistryKeyName) + L"\\" + Text(row, kRegistryValueName));
        entry->rootKey = rootKey;
        built.entries.push_back(std::move(entry));
    }
    return kStoreOk;
}

void AddCustomStreamEntries(ISQLInterface& connection, ItemUnderConstruction& built) {
    QueryInfo query(kSelectCustomStreams, SqlValue(built.guidText));
    if (!connection.Execute(query)) return;
    for (size_t i = 0; i < query.RowCount(); ++i) built.entries.push_back(NewEntry(kEntryCustomStream, Text(query.Row(i), 0)));
}

uint32_t AttachVersion(ISQLInterface& connection, ItemUnderConstruction& built) {
    QueryInfo query(kSelectBackupVersions, SqlValue(built.guidText));
    if (!connection.Execute(query)) return kStoreQueryFailed;
    if (query.RowCount() == 0) return kStoreNothingFound;
    const SqlRow& row = query.Row(0);
    auto* version = new BackupVersionRecord{};
    built.item->version = version;
    version->cbSize = sizeof(BackupVersionRecord);
    version->itemId = U32(row, kVersionItemId);
    version->major = U32(row, kVersionMajor);
    version->minor = U32(row, kVersionMinor);
    version->creationDate = U64(row, kVersionCreationDate);
    version->additional = NewText(Text(row, kVersionAdditional));
    return kStoreOk;
}

uint32_t BuildItem(QuarManager& session, const SqlRow& row, ItemUnderConstruction& built) {
    built.item.reset(new QuarantineItem{});
    FillFromItemRow(row, *built.item);
    built.guidText = GuidToText(built.item->guid);
    ISQLInterface& connection = *session.connection;
    uint32_t result = AddFileEntries(connection, built);
    if (result == kStoreOk) result = PopulateRegistryEntriesForGUID(connection, session.folder, built);
    if (result == kStoreOk) AddCustomStreamEntries(connection, built);
    if (result == kStoreOk) result = AttachVersion(connection, built);
    built.item->entryCount = static_cast<uint32_t>(built.entries.size());
    built.item->entries = ReleaseIntoArray(built.entries);
    return result;
}

struct ListDeleter {
    void operator()(QuarantineItemList* list) const { FreeItems(list); }
};

uint32_t BuildItemList(QuarManager& session, QuarantineItemList** out) {
    std::unique_ptr<QuarantineItemList, ListDeleter> list(new QuarantineItemList{});
    list->cbSize = sizeof(QuarantineItemList);
    QueryInfo query(kSelectBackupItems);
    session.connection->Execute(query);  // a failed listing is an empty one
    std::vector<ItemOwner> items;
    for (size_t i = 0; i < query.RowCount(); ++i) {
        ItemUnderConstruction built;
        const uint32_t result = BuildItem(session, query.Row(i), built);
        items.push_back(std::move(built.item));
        if (result != kStoreOk) return result;
    }
    list->count = static_cast<uint32_t>(items.size());
    list->items = ReleaseIntoArray(items);
    *out = list.release();
    return kStoreOk;
}

}  // namespace

uint32_t GetItemsOneByOne(QuarantineHandle handle, QuarantineItemList** list) {
    if (list == nullptr) return kStoreInvalidArgument;
    *list = nullptr;
    StoreLockHolder lock;
    QuarManager* session = SessionFromHandle(handle);
    if (session == nullptr) return kStoreInvalidArgument;
    if (!session->connection) return kStoreNoConnection;
    try {
        return BuildItemList(*session, list);
    } catch (const std::bad_alloc&) {
        return kStoreOutOfMemory;
    }
}

}  // namespace vondrel::test
