// The plain records in which quarantined items travel through the tool. The store allocates them in
// GetItems and frees them only in FreeItems; every record starts with its size, and every text is an
// owned, null-terminated UTF-16 string (null = absent).
#pragma once

#include <windows.h>

#include <cstdint>

namespace vondrel {

// Kinds of BackupEntry.
constexpr uint32_t kEntryFile = 1;
constexpr uint32_t kEntryRegistryValue32 = 2;
constexpr uint32_t kEntryRegistryKey32 = 3;
constexpr uint32_t kEntryRegistryValue64 = 4;
constexpr uint32_t kEntryRegistryKey64 = 5;
constexpr uint32_t kEntryCustomStream = 7;

// Texts of this length or longer are dropped (left null) where the catalogue's short texts are read.
constexpr size_t kMaxRecordTextLength = 259;

// One BackupFiles row of an item.
struct BackupFileRecord {
    uint32_t cbSize;
    uint64_t size;
    uint64_t createTime;
    uint64_t modifyTime;
    uint64_t accessTime;
    wchar_t* actorProcessName;
    uint32_t isCreated;
    uint64_t fileAttribute;
};

// One element of an item's entry list: a file (with its record), a registry key or value, or a
// custom stream.
struct BackupEntry {
    uint32_t cbSize;
    uint32_t kind;
    uint32_t rootKey;  // registry entries: the predefined root key's handle value; 0 otherwise
    wchar_t* name;     // originalPath; keyName "\" valueName; the stream's name
    BackupFileRecord* file;  // kind 1 only
};

// Registry entries (kinds 2 to 5) and custom streams (kind 7) carry nothing beyond the entry itself.
using BackupRegistryRecord = BackupEntry;
using CustomStreamRecord = BackupEntry;

// The item's first BackupVersions row.
struct BackupVersionRecord {
    uint32_t cbSize;
    uint32_t itemId;
    uint32_t major;
    uint32_t minor;
    uint64_t creationDate;
    wchar_t* additional;
};

// One BackupItems row and everything that belongs to it.
struct QuarantineItem {
    uint32_t cbSize;
    GUID guid;
    uint32_t entryCount;
    BackupEntry** entries;  // files, then registry entries, then custom streams
    SYSTEMTIME creationTime;  // day of week and milliseconds always 0
    uint32_t virusType;
    uint32_t detectType;
    wchar_t* detectionName;
    BackupVersionRecord* version;
    uint32_t additionalInfoSize;
    uint8_t* additionalInfo;
    // The first file row's backupFilename, else the item's zip in the folder's "quarantine" subfolder.
    wchar_t* backupPath;
};

struct QuarantineItemList {
    uint32_t cbSize;
    uint32_t count;
    QuarantineItem** items;  // in the order of the BackupItems rows
};

}  // namespace vondrel
