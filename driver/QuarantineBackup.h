// The driver's handle on the quarantine store for one run, and the collection pass that turns the
// store's items into a work folder with its metadata file, its submission report and its archive.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/SentItems.h"

namespace vondrel {

// An item a pass took up, with the names of the files it restored into the work folder.
struct TakenUpItem {
    std::wstring guidText;
    std::vector<std::wstring> fileNames;
};

// "year-month-dayThour:minute:second", each number without leading zeros (2021-7-5T9:3:7).
std::wstring FormatItemTime(const SYSTEMTIME& time);

class QuarantineBackup {
public:
    QuarantineBackup(const std::wstring& quarantineFolder, bool ignoreSentCache, bool noUpload);
    ~QuarantineBackup();
    QuarantineBackup(const QuarantineBackup&) = delete;
    QuarantineBackup& operator=(const QuarantineBackup&) = delete;

    bool Open();
    bool Close();

    // The pass with report, archive (workFolder + ".zip") and removal of the work folder.
    bool CollectAndPack(const std::wstring& workFolder, const std::wstring& email, const std::wstring& comment,
                        bool& nothingToSend);
    // The pass proper: items, files and metadata file.
    bool CollectItems(const std::wstring& workFolder, bool& nothingToSend, unsigned& fileCount);
    bool PackWorkFolder(const std::wstring& folder);
    // CollectAndPack for the given items only, whatever the cache says and without reading it; true
    // when the archive was made.
    bool CollectAndPackItems(const std::wstring& workFolder, const SentItemSet& items, const std::wstring& email,
                             const std::wstring& comment);

    // The per-item pass of the extract-only path.
    int CountItems();
    bool CollectItem(const std::wstring& parentFolder, int index, std::wstring& itemFolder);
    bool CollectSegregated(const std::wstring& extractFolder, bool& nothingToSend);

    const SentItemSet& SentItems() const { return sentItems_; }
    // What the last pass found in the cache file (empty when it was not read), the items it took up in
    // list order, and those of them restored completely, which may be recorded once they are sent.
    const SentItemSet& CachedItems() const { return cachedItems_; }
    const std::vector<TakenUpItem>& TakenUp() const { return takenUp_; }
    const SentItemSet& Restored() const { return restored_; }
    // The cache file is not read: its items are sent again. Its next write replaces it.
    void DistrustSentCache() { readSentCache_ = false; }

private:
    int64_t handle_ = 0;
    std::wstring quarantineFolder_;
    SentItemSet sentItems_;
    bool ignoreSentCache_ = false;
    bool noUpload_ = false;
    bool readSentCache_ = true;
    const SentItemSet* onlyItems_ = nullptr;
    SentItemSet cachedItems_;
    std::vector<TakenUpItem> takenUp_;
    SentItemSet restored_;
};

}  // namespace vondrel
