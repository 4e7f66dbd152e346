// Copies one named entry out of an encrypted zip backup into a FileWriter, finding it by a name
// comparison that ignores case and treats "/" and "\" alike.
#pragma once

#include <string>

#include "packaging/FileWriter.h"

namespace vondrel {

// True when the whole entry was read, checked against its CRC and taken by the writer. The entry
// name is an entry name as ZipEntryNameFromPath makes it.
bool CopyFromZIPFile(const wchar_t* zipPath, const wchar_t* entryName, FileWriter& writer);

// Stored and requested names, both NUL-terminated UTF-8.
bool EntryNamesEqual(const char* stored, const char* requested);

// Every character lower-cased (through UTF-16); the input itself when it does not convert.
std::string LowerUtf8(const std::string& text);

}  // namespace vondrel
