#include "driver/QuarantineBackup.h"

#include "base/Log.h"
#include "base/PathRules.h"
#include "base/TextWriter.h"
#include "driver/FileEntries.h"
#include "driver/SubmissionReport.h"
#include "driver/SystemFacts.h"
#include "quarantine/restore/Handoffs.h"
#include "quarantine/store/QuarManager.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kAlreadyOpen = L"Quarantine backup handle is already open";
constexpr const wchar_t* kOpened = L"Successfully opened quarantine backup %s";
constexpr const wchar_t* kOpenFailed = L"Failed to open quarantine backup %s 0x%x";
constexpr const wchar_t* kZipped = L"Successfully zipped folder %s";
constexpr const wchar_t* kZipFailed = L"Failed to zip folder %s";
constexpr const wchar_t* kListFailed = L"Failed to get quarantined items 0x%x";
constexpr const wchar_t* kEmptyStore = L"Empty quarantined folder, nothing to extract, skipping further action";
constexpr const wchar_t* kSkippingSent = L"Skipping already sent guid %s";
constexpr const wchar_t* kInvalidIndex = L"Invalid item index";
constexpr const wchar_t* kItemDirFailed = L"Failed to create zip file directory %s , 0x%x";
constexpr const wchar_t* kZipExists = L"Zip file %s already exists, skipping further action";

constexpr const wchar_t* kMetadataFileName = L"\\quarantined_metadata.json";
constexpr const wchar_t* kMetadataOpen = L"{\n";
constexpr const wchar_t* kMetadataAgentLine = L"\t\"AgentGUID\" : \"%s\",\n";
constexpr const wchar_t* kMetadataClose = L"}\n";
constexpr const wchar_t* kItemHead =
    L"\t\"%s\" : {\n"
    L"\t\t\"CreationTime\" : \"%s\",\n"
    L"\t\t\"VirusType\" : %d,\n"
    L"\t\t\"DetectionType\" : %d,\n"
    L"\t\t\"DetectionName\" : \"%s\",\n"
    L"\t\t\"FileList\" :  [ ";
constexpr const wchar_t* kItemFileListEnd = L"\n\t\t]\n";
constexpr const wchar_t* kItemClose = L"\t}";  // line 8 of a block: ",\n" follows when another block does
constexpr const wchar_t* kItemSeparator = L",\n";
constexpr const wchar_t* kItemLastEnd = L"\n";
constexpr const wchar_t* kItemEnd = L"\t}\n";

void LogLine(const wchar_t* format) { LogWrite(kLogLevelMain, kLogMain, format); }

// The item's GUID in registry form: braces, upper-case hexadecimal, 38 characters.
std::wstring ItemGuidText(const GUID& guid) {
    wchar_t text[40] = {};
    if (StringFromGUID2(guid, text, 40) == 0) return std::wstring();
    return text;
}

// Lines 1 to 6 of an item's block; the file entries follow directly.
void WriteItemHead(TextFile& file, const QuarantineItem& item, const std::wstring& guidText) {
    file.Printf(kItemHead, guidText.c_str(), FormatItemTime(item.creationTime).c_str(),
                static_cast<int>(item.virusType), static_cast<int>(item.detectType),
                item.detectionName ? item.detectionName : L"");
}

// Passes each restored file on to the metadata file and notes its name for the item.
class FileNameRecorder final : public IFileEntryWriter {
public:
    FileNameRecorder(IFileEntryWriter& metadata, std::vector<std::wstring>& names) : metadata_(metadata), names_(names) {}
    void WriteFileEntry(const QueryInfo& fileRows, size_t index, const std::wstring& destinationPath) override {
        metadata_.WriteFileEntry(fileRows, index, destinationPath);
        names_.push_back(FileNameOf(destinationPath));
    }

private:
    IFileEntryWriter& metadata_;
    std::vector<std::wstring>& names_;
};

// The list of the store's items, freed when it goes.
class ItemList {
public:
    ~ItemList() { FreeItems(list_); }
    QuarantineItemList** put() { return &list_; }
    uint32_t count() const { return list_ ? list_->count : 0; }
    const QuarantineItem* at(uint32_t i) const { return list_->items[i]; }

private:
    QuarantineItemList* list_ = nullptr;
};

// GetItems under the store lock, as its callers must hold it; code 1 for a closed session.
uint32_t ListItems(int64_t handle, ItemList& list) {
    if (handle == 0) return kStoreInvalidArgument;
    StoreLockHolder lock;
    return GetItems(handle, list.put());
}

}  // namespace

std::wstring FormatItemTime(const SYSTEMTIME& time) {
    return FormatText(L"%d-%d-%dT%d:%d:%d", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
}

QuarantineBackup::QuarantineBackup(const std::wstring& quarantineFolder, bool ignoreSentCache, bool noUpload)
    : quarantineFolder_(quarantineFolder), ignoreSentCache_(ignoreSentCache), noUpload_(noUpload) {}

QuarantineBackup::~QuarantineBackup() { Close(); }

bool QuarantineBackup::Open() {
    if (handle_ != 0) {
        LogLine(kAlreadyOpen);
        return false;
    }
    const uint32_t code = OpenBackup(quarantineFolder_.c_str(), &handle_);
    if (code != kStoreOk) {
        handle_ = 0;
        LogWrite(kLogLevelMain, kLogMain, kOpenFailed, quarantineFolder_.c_str(), code);
        return false;
    }
    LogWrite(kLogLevelMain, kLogMain, kOpened, quarantineFolder_.c_str());
    return true;
}

bool QuarantineBackup::Close() {
    if (handle_ == 0) return false;
    StoreLockHolder lock;
    ReleaseBackup(handle_);
    handle_ = 0;
    return true;
}

bool QuarantineBackup::CollectAndPack(const std::wstring& workFolder, const std::wstring& email,
                                      const std::wstring& comment, bool& nothingToSend) {
    if (workFolder.empty() || handle_ == 0) return false;
    unsigned fileCount = 0;
    bool ok = CollectItems(workFolder, nothingToSend, fileCount);
    if (ok && !nothingToSend) {
        WriteSubmissionReport(workFolder, fileCount, email, comment);
        ok = PackWorkFolder(workFolder);
        LogWrite(kLogLevelMain, kLogMain, ok ? kZipped : kZipFailed, workFolder.c_str());
        // A partial archive of quarantined files must not stay behind in the upload folder.
        if (!ok) DeleteFileExtended(workFolder + L".zip");
    }
    RemoveDirectoryTree(workFolder.c_str());
    return ok;
}

bool QuarantineBackup::CollectAndPackItems(const std::wstring& workFolder, const SentItemSet& items,
                                           const std::wstring& email, const std::wstring& comment) {
    onlyItems_ = &items;
    bool nothingToSend = false;
    const bool packed = CollectAndPack(workFolder, email, comment, nothingToSend);
    onlyItems_ = nullptr;
    return packed && !nothingToSend;
}

bool QuarantineBackup::PackWorkFolder(const std::wstring& folder) {
    if (folder.empty()) return false;
    return PackFolder(folder.c_str(), handle_) == kStoreOk;
}

bool QuarantineBackup::CollectItems(const std::wstring& workFolder, bool& nothingToSend, unsigned& fileCount) {
    fileCount = 0;
    ItemList list;
    const uint32_t code = ListItems(handle_, list);
    if (code != kStoreOk) {
        LogWrite(kLogLevelMain, kLogMain, kListFailed, code);
        return false;
    }
    nothingToSend = false;
    if (list.count() == 0) {
        nothingToSend = true;
        LogLine(kEmptyStore);
        return true;
    }
    const std::wstring cacheFolder = workFolder + L"\\..";
    if (onlyItems_ == nullptr) {
        if (readSentCache_) LoadSentItems(cacheFolder, sentItems_);
        cachedItems_ = sentItems_;
    }
    takenUp_.clear();
    restored_.clear();

    TextFile metadata;
    metadata.Open(workFolder + kMetadataFileName, TextFile::Mode::CreateAlways);
    metadata.Write(kMetadataOpen);
    metadata.Printf(kMetadataAgentLine, ReadAgentGuid().c_str());
    MetadataFileWriter entries(metadata);

    bool result = false;
    bool anyTakenUp = false;
    for (uint32_t i = 0; i < list.count(); ++i) {
        const QuarantineItem& item = *list.at(i);
        const std::wstring guidText = ItemGuidText(item.guid);
        if (onlyItems_ != nullptr) {
            if (onlyItems_->count(guidText) == 0) continue;
        } else if (!ignoreSentCache_ && sentItems_.count(guidText) != 0) {
            LogWrite(kLogLevelMain, kLogMain, kSkippingSent, guidText.c_str());
            continue;
        }
        // The previous block's closing brace gets its comma only now that another block follows, so
        // the file stays well-formed when the list ends with skipped items.
        if (anyTakenUp) metadata.Write(kItemSeparator);
        anyTakenUp = true;
        WriteItemHead(metadata, item, guidText);
        entries.BeginFileList();
        takenUp_.push_back({guidText, {}});
        FileNameRecorder recorder(entries, takenUp_.back().fileNames);
        unsigned restored = 0;
        if (RestoreItemFiles(&recorder, &item, handle_, workFolder.c_str(), &restored) == kStoreOk) {
            sentItems_.insert(guidText);
            restored_.insert(guidText);
            result = true;
            fileCount += restored;
        }
        metadata.Write(kItemFileListEnd);
        metadata.Write(kItemClose);
    }
    if (anyTakenUp) metadata.Write(kItemLastEnd);
    // Only a pass that took up no item at all has nothing to send; new items are sent wherever the
    // skipped ones stand in the list.
    nothingToSend = !anyTakenUp;
    metadata.Write(kMetadataClose);
    if (noUpload_) SaveSentItems(cacheFolder, sentItems_);
    return result;
}

int QuarantineBackup::CountItems() {
    ItemList list;
    const uint32_t code = ListItems(handle_, list);
    if (code != kStoreOk) {
        LogWrite(kLogLevelMain, kLogMain, kListFailed, code);
        return -1;
    }
    return static_cast<int>(list.count());
}

bool QuarantineBackup::CollectItem(const std::wstring& parentFolder, int index, std::wstring& itemFolder) {
    ItemList list;
    const uint32_t code = ListItems(handle_, list);
    if (code != kStoreOk) {
        LogWrite(kLogLevelMain, kLogMain, kListFailed, code);
        return false;
    }
    if (list.count() == 0) {
        LogLine(kEmptyStore);
        return false;
    }
    if (index < 0 || static_cast<uint32_t>(index) >= list.count()) {
        LogLine(kInvalidIndex);
        return false;
    }
    const QuarantineItem& item = *list.at(static_cast<uint32_t>(index));
    const std::wstring guidText = ItemGuidText(item.guid);
    itemFolder = parentFolder + L"\\" + StripBraces(guidText);
    if (!CreateDirectoryW(ExtendedPath(itemFolder, kDefaultPathLimit).c_str(), nullptr)) {
        LogWrite(kLogLevelMain, kLogMain, kItemDirFailed, itemFolder.c_str(), GetLastError());
        return false;
    }
    TextFile metadata;
    metadata.Open(itemFolder + kMetadataFileName, TextFile::Mode::CreateAlways);
    metadata.Write(kMetadataOpen);
    WriteItemHead(metadata, item, guidText);
    MetadataFileWriter entries(metadata);
    unsigned restored = 0;
    const bool result = RestoreItemFiles(&entries, &item, handle_, itemFolder.c_str(), &restored) == kStoreOk;
    metadata.Write(kItemFileListEnd);
    metadata.Write(kItemEnd);
    metadata.Write(kMetadataClose);
    return result;
}

bool QuarantineBackup::CollectSegregated(const std::wstring& extractFolder, bool& nothingToSend) {
    if (extractFolder.empty() || handle_ == 0) return false;
    const int count = CountItems();
    if (count < 0) return false;
    if (count == 0) {
        nothingToSend = true;
        return true;
    }
    bool ok = false;
    for (int index = 0; index < count; ++index) {
        std::wstring itemFolder;
        ok = CollectItem(extractFolder, index, itemFolder);
        if (ok) {
            const std::wstring archive = itemFolder + L".zip";
            if (PathExists(archive)) {
                LogWrite(kLogLevelMain, kLogMain, kZipExists, archive.c_str());
            } else {
                ok = PackWorkFolder(itemFolder);
                LogWrite(kLogLevelMain, kLogMain, ok ? kZipped : kZipFailed, itemFolder.c_str());
            }
        }
        if (!itemFolder.empty()) RemoveDirectoryTree(itemFolder.c_str());
    }
    return ok;
}

}  // namespace vondrel
