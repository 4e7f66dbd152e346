// Legacy backup files: compound files (OLE structured storage) whose "Details" stream describes the
// backed-up files in property-bag text and whose "File_%d" streams hold their bytes, both scrambled.
// This opens such a file and writes one content stream back to disk.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstdint>

#include "base/Handles.h"
#include "quarantine/restore/CfgBall.h"

namespace vondrel {

// Result codes of Open and RestoreStreamToFile.
constexpr uint32_t kBupSuccess = 0;
constexpr uint32_t kBupOutOfMemory = 5;
constexpr uint32_t kBupAddedNotDeleted = 13;  // an added file's destination could not be deleted
constexpr uint32_t kBupNotWritten = 14;       // destination not creatable, content missing, empty or not writable
constexpr uint32_t kBupNotOpened = 19;        // the file or its "Details" stream could not be opened

// Names inside the file: the description stream, its section and key for the stream count, and the
// per-stream section (named like the stream) with its "added file" flag.
constexpr const wchar_t* kBupDetailsStream = L"Details";
constexpr const wchar_t* kBupDetailsSection = L"Details";
constexpr const wchar_t* kBupNumberOfFilesKey = L"NumberOfFiles";
constexpr const wchar_t* kBupContentStreamFormat = L"File_%d";
constexpr const wchar_t* kBupWasAddedKey = L"WasAdded";

// XORs every byte with 0xA7; its own inverse.
void ScrambleBytes(void* buffer, size_t length);

// An opened legacy backup file. It owns what Open created, even when Open failed, and releases the
// storage first, the bag second.
struct BupFile {
    ComPtr<CfgBall> bag;       // the "Details" text; empty when the stream could not be read
    ComPtr<IStorage> storage;  // the root storage

    // 0, kBupOutOfMemory or kBupNotOpened.
    uint32_t Open(const wchar_t* path);
    void Release();  // storage first, bag second
};

// Writes the content stream streamName of an opened file to destination (created or overwritten, its
// read-only bit kept), or, when wasAdded, deletes destination instead. 0, kBupOutOfMemory,
// kBupAddedNotDeleted or kBupNotWritten.
uint32_t RestoreStreamToFile(BupFile& bupFile, const wchar_t* streamName, const wchar_t* destination,
                             bool wasAdded);

}  // namespace vondrel
