// GetItems and FreeItems: the catalogue's items as plain records, read in five statements whatever the
// number of items.
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "base/Log.h"
#include "quarantine/store/QuarManager.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace vondrel {
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

// ---- the child tables' rows of every item, a few statements in all ----

using RowView = std::vector<const SqlRow*>;

// The distinct GUID texts of the listed items, each with its place in the JSON array that the grouped
// statements take as their one parameter.
class GuidKeys {
public:
    size_t Add(const std::wstring& guidText) {
        const auto found = places_.emplace(guidText, places_.size());
        if (found.second) {
            json_ += json_.empty() ? L"[\"" : L",\"";
            json_ += guidText;  // hexadecimal digits and dashes only: nothing to escape
            json_ += L"\"";
        }
        return found.first->second;
    }
    size_t Count() const { return places_.size(); }
    std::wstring JsonArray() const { return json_.empty() ? L"[]" : json_ + L"]"; }

private:
    std::map<std::wstring, size_t> places_;
    std::wstring json_;
};

// "SELECT columns FROM Table WHERE guid=?;" for every key at once: the keys are the outer loop, so
// each key's rows come in the order its own statement gives them, compared the same way (the column's
// affinity and collation against a value that has none), and the key's place ends every row.
std::wstring GroupedStatement(const std::wstring& itemStatement) {
    static const std::wstring kFrom = L" FROM ";
    static const std::wstring kWhere = L" WHERE guid=?;";
    const size_t from = itemStatement.find(kFrom);
    const size_t where = itemStatement.rfind(kWhere);
    const std::wstring columns = itemStatement.substr(0, from);
    const std::wstring table = itemStatement.substr(from + kFrom.size(), where - from - kFrom.size());
    return columns + L", k.key" + kFrom + L"json_each(?) AS k CROSS JOIN " + table + L" ON " + table +
           L".guid = k.value;";
}

// One child table's rows for every item. When the grouped statement fails, each item runs its own
// statement, so that a failure that may be one item's (a damaged page) stays that item's.
class ChildRows {
public:
    ChildRows(ISQLInterface& connection, const wchar_t* itemStatement, const GuidKeys& keys)
        : connection_(connection), itemStatement_(itemStatement), grouped_(GroupedStatement(itemStatement),
                                                                           SqlValue(keys.JsonArray())) {
        groupedOk_ = connection.Execute(grouped_);
        if (!groupedOk_) return;
        byKey_.resize(keys.Count());
        for (size_t i = 0; i < grouped_.RowCount(); ++i) {
            const SqlRow& row = grouped_.Row(i);
            const auto key = static_cast<size_t>(row.back().IntegerOrZero());
            if (key < byKey_.size()) byKey_[key].push_back(&row);
        }
    }

    // The rows of the item (valid until the next call); false when its statement failed.
    bool RowsOf(size_t key, const std::wstring& guidText, RowView& rows) {
        rows.clear();
        if (groupedOk_) {
            rows = byKey_[key];
            return true;
        }
        own_ = std::make_unique<QueryInfo>(itemStatement_, SqlValue(guidText));
        if (!connection_.Execute(*own_)) return false;
        for (size_t i = 0; i < own_->RowCount(); ++i) rows.push_back(&own_->Row(i));
        return true;
    }

private:
    ISQLInterface& connection_;
    const wchar_t* itemStatement_;
    QueryInfo grouped_;
    bool groupedOk_ = false;
    std::vector<RowView> byKey_;
    std::unique_ptr<QueryInfo> own_;
};

// The four child tables, each read once for all the items.
struct ItemChildren {
    ItemChildren(ISQLInterface& connection, const GuidKeys& keys)
        : files(connection, kSelectBackupFiles, keys),
          registry(connection, kSelectBackupRegistry, keys),
          streams(connection, kSelectCustomStreams, keys),
          versions(connection, kSelectBackupVersions, keys) {}

    ChildRows files;
    ChildRows registry;
    ChildRows streams;
    ChildRows versions;
    RowView rows;  // the current item's rows of one table
};

// ---- one item ----

// An item while its entries are gathered.
struct ItemUnderConstruction {
    ItemOwner item;
    std::wstring guidText;  // the catalogue form the child rows are compared with
    size_t key = 0;         // its place among the GuidKeys
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

uint32_t AddFileEntries(ItemChildren& children, ItemUnderConstruction& built) {
    RowView& rows = children.rows;
    if (!children.files.RowsOf(built.key, built.guidText, rows)) return kStoreQueryFailed;
    if (!rows.empty()) built.item->backupPath = NewShortText(Text(*rows[0], kFileBackupFilename));
    for (const SqlRow* row : rows) built.entries.push_back(FileEntry(*row));
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

uint32_t PopulateRegistryEntriesForGUID(ItemChildren& children, const std::wstring& folder,
                                        ItemUnderConstruction& built) {
    if (built.item->backupPath == nullptr) built.item->backupPath = NewText(ItemZipPath(folder, built.item->guid));
    RowView& rows = children.rows;
    if (!children.registry.RowsOf(built.key, built.guidText, rows)) return kStoreOk;
    for (const SqlRow* row : rows) {
        uint32_t rootKey = 0;
        if (!RootKeyOf(Text(*row, kRegistryKeyRoot), &rootKey)) {
            LogWrite(kLogLevelStoreError, kLogQuarantine, kInvalidRootMessage, built.guidText.c_str());
            return kStoreQueryFailed;
        }
        EntryOwner entry = NewEntry(RegistryKind(*row), Text(*row, kRegistryKeyName) + L"\\" + Text(*row, kRegistryValueName));
        entry->rootKey = rootKey;
        built.entries.push_back(std::move(entry));
    }
    return kStoreOk;
}

void AddCustomStreamEntries(ItemChildren& children, ItemUnderConstruction& built) {
    RowView& rows = children.rows;
    if (!children.streams.RowsOf(built.key, built.guidText, rows)) return;
    for (const SqlRow* row : rows) built.entries.push_back(NewEntry(kEntryCustomStream, Text(*row, 0)));
}

uint32_t AttachVersion(ItemChildren& children, ItemUnderConstruction& built) {
    RowView& rows = children.rows;
    if (!children.versions.RowsOf(built.key, built.guidText, rows)) return kStoreQueryFailed;
    if (rows.empty()) return kStoreNothingFound;
    const SqlRow& row = *rows[0];
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

// The item of a BackupItems row, its file entries, then its registry entries, then its custom streams,
// and its version; the first failure ends it.
uint32_t BuildItem(QuarManager& session, ItemChildren& children, ItemUnderConstruction& built) {
    uint32_t result = AddFileEntries(children, built);
    if (result == kStoreOk) result = PopulateRegistryEntriesForGUID(children, session.folder, built);
    if (result == kStoreOk) AddCustomStreamEntries(children, built);
    if (result == kStoreOk) result = AttachVersion(children, built);
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
    std::vector<ItemUnderConstruction> built(query.RowCount());
    GuidKeys keys;
    for (size_t i = 0; i < query.RowCount(); ++i) {
        built[i].item.reset(new QuarantineItem{});
        FillFromItemRow(query.Row(i), *built[i].item);
        built[i].guidText = GuidToText(built[i].item->guid);
        built[i].key = keys.Add(built[i].guidText);
    }
    if (built.empty()) {
        *out = list.release();
        return kStoreOk;
    }
    ItemChildren children(*session.connection, keys);
    std::vector<ItemOwner> items;
    for (ItemUnderConstruction& item : built) {
        const uint32_t result = BuildItem(session, children, item);
        items.push_back(std::move(item.item));
        if (result != kStoreOk) return result;
    }
    list->count = static_cast<uint32_t>(items.size());
    list->items = ReleaseIntoArray(items);
    *out = list.release();
    return kStoreOk;
}

}  // namespace

uint32_t GetItems(QuarantineHandle handle, QuarantineItemList** list) {
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

uint32_t FreeItems(QuarantineItemList* list) {
    if (list == nullptr) return kStoreOk;
    for (uint32_t i = 0; i < list->count; ++i) FreeItem(list->items[i]);
    delete[] list->items;
    delete list;
    return kStoreOk;
}

}  // namespace vondrel
