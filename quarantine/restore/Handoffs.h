// The two store operations the collection pass calls on an open session, each under the store lock:
// restoring one item's files into a folder, and packing a folder's files into its archive.
#pragma once

#include <cstdint>
#include <string>

#include "quarantine/store/QuarManager.h"

namespace vondrel {

class IFileEntryWriter;

// Runs the item's BackupFiles query and hands the rows to the file restore, which writes the files
// into destination and tells context about each. *restoredCount receives the number written.
uint32_t RestoreItemFiles(IFileEntryWriter* context, const QuarantineItem* item, QuarantineHandle handle,
                          const wchar_t* destination, unsigned* restoredCount);

// Adds every regular file directly inside folder to folder + ".zip". 0 when every file was added
// (or the folder held none), 9 when any could not be, 1 for a missing handle or folder.
uint32_t PackFolder(const wchar_t* folder, QuarantineHandle handle);

}  // namespace vondrel
