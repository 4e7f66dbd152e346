// Sending what one pass collected. A pass whose archive fits the upload limit is uploaded as it is;
// a larger backlog goes out in as many archives as needed, each a whole submission of its own
// (work folder, metadata file, report), at most the limit, its items recorded as soon as it is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/QuarantineBackup.h"
#include "driver/RunSettings.h"

namespace vondrel {

// An item of the backlog with the bytes its files took up in the pass's archive.
struct SizedItem {
    std::wstring guidText;
    uint64_t bytes = 0;
};

struct ArchivePlan {
    std::vector<std::vector<std::wstring>> archives;  // GUID texts, in list order
    std::vector<std::wstring> oversized;               // items larger than the limit on their own
};

// Consecutive items into archives of at most budget bytes; an item larger than budget goes into an
// archive of its own, one larger than limit into none.
ArchivePlan PlanArchives(const std::vector<SizedItem>& items, uint64_t budget, uint64_t limit);

// Uploads the pass's archive (workFolder + ".zip", already made by backup's CollectAndPack) and
// records its items, or sends the pass's items in several archives when it is over the limit. True
// when everything was sent.
bool SendCollected(const RunSettings& settings, const std::wstring& uploadFolder, const std::wstring& workFolder,
                   QuarantineBackup& backup);

}  // namespace vondrel
