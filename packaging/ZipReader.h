// Copies one named entry out of an encrypted zip backup into a FileWriter, finding it by a name
// comparison that ignores case and treats "/" and "\" alike.
#pragma once

#include <unzip.h>

#include <string>

#include "base/Handles.h"
#include "packaging/FileWriter.h"

namespace vondrel {

// Owns an archive opened for reading by unzOpen2_64.
struct UnzipArchiveTraits {
    using pointer = unzFile;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer zip) noexcept { unzClose(zip); }
};
using UniqueUnzipArchive = UniqueResource<UnzipArchiveTraits>;

// True when the whole entry was read, checked against its CRC and taken by the writer. The entry
// name is an entry name as ZipEntryNameFromPath makes it.
bool CopyFromZIPFile(const wchar_t* zipPath, const wchar_t* entryName, FileWriter& writer);

// Stored and requested names, both NUL-terminated UTF-8.
bool EntryNamesEqual(const char* stored, const char* requested);

// Every character lower-cased (through UTF-16); the input itself when it does not convert.
std::string LowerUtf8(const std::string& text);

}  // namespace vondrel
