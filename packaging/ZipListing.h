// The entries of a finished archive with the bytes each takes up in it, read from its central
// directory; the sending of a large backlog sizes its archives from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vondrel {

struct ZipListingEntry {
    std::wstring name;        // as stored, decoded from UTF-8
    uint64_t archiveBytes = 0;  // compressed content with its encryption header, plus both headers
};

// The archive's entries in their order; false when the archive cannot be read.
bool ListZipEntries(const std::wstring& zipPath, std::vector<ZipListingEntry>& entries);

}  // namespace vondrel
