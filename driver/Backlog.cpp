#include "driver/Backlog.h"

#include <windows.h>

#include <deque>
#include <map>

#include "base/Log.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "base/TextConvert.h"
#include "driver/Messages.h"
#include "driver/Run.h"
#include "driver/SubmissionReport.h"
#include "packaging/ZipListing.h"
#include "upload/Upload.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kUploading = L"Uploading file %s to Norvane backend";
constexpr const wchar_t* kUploaded = L"Successfully uploaded file %s to Norvane backend";
constexpr const wchar_t* kUploadFailed = L"Failed to upload file %s to Norvane backend";
constexpr const wchar_t* kZipDeleted = L"Successfully deleted zip file %s";
constexpr const wchar_t* kZipNotDeleted = L"Unable to delete zip file %s , 0x%x";
constexpr const wchar_t* kOverLimit =
    L"Zip file %s of %I64u bytes is larger than the upload limit, sending its items in several archives";
constexpr const wchar_t* kItemOverLimit = L"Item %s is larger than the upload limit, it is not sent";

constexpr const wchar_t* kMetadataEntry = L"quarantined_metadata.json";
// What an archive needs besides its items' entries: its end records (with Zip64's) and room for a
// report whose counts have more digits than the pass's.
constexpr uint64_t kArchiveOverhead = 22 + 56 + 20 + 1024;

void DeleteArchive(const std::wstring& archive) {
    if (DeleteFileW(archive.c_str())) {
        LogWrite(kLogLevelMain, kLogMain, kZipDeleted, archive.c_str());
    } else {
        LogWrite(kLogLevelMain, kLogMain, kZipNotDeleted, archive.c_str(), GetLastError());
    }
}

// One archive up, and on success the recorded items written to the cache; the archive is deleted in
// every case.
bool UploadAndRecord(const RunSettings& settings, const std::wstring& archive, const std::wstring& cacheFolder,
                     const SentItemSet& recorded) {
    LogWrite(kLogLevelMain, kLogMain, kUploading, archive.c_str());
    const bool uploaded = UploadArchive(settings, archive);
    if (uploaded) {
        LogWrite(kLogLevelMain, kLogMain, kUploaded, archive.c_str());
        SaveSentItems(cacheFolder, recorded);
        ReachTestPoint(TestPoint::ArchiveRecorded);
    } else {
        LogWrite(kLogLevelMain, kLogMain, kUploadFailed, archive.c_str());
    }
    DeleteArchive(archive);
    return uploaded;
}

// The file's size; false when it cannot be read.
bool SizeOf(const std::wstring& path, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(ExtendedPath(path, kDefaultPathLimit).c_str(), GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool FitsTheLimit(const std::wstring& archive) {
    uint64_t size = 0;
    return SizeOf(archive, &size) && size <= kUploadLimit;
}

// The items of the pass with the bytes their files take up in its archive, and the bytes every archive
// needs for its own files (metadata file, report, end records).
std::vector<SizedItem> SizeItems(const std::vector<TakenUpItem>& items, const std::wstring& archive,
                                 uint64_t* overhead) {
    std::vector<ZipListingEntry> entries;
    ListZipEntries(archive, entries);  // unknown sizes count as 0: each archive's real size still decides
    std::map<std::wstring, uint64_t> bytesOf;
    for (const ZipListingEntry& entry : entries) bytesOf[entry.name] += entry.archiveBytes;
    *overhead = kArchiveOverhead + bytesOf[kMetadataEntry] + bytesOf[kSubmissionReportFileName];
    std::vector<SizedItem> sized;
    for (const TakenUpItem& item : items) {
        SizedItem entry{item.guidText, 0};
        for (const std::wstring& name : item.fileNames) entry.bytes += bytesOf[name];
        sized.push_back(entry);
    }
    return sized;
}

void LogOversized(const std::wstring& guidText) { LogWrite(kLogLevelMain, kLogMain, kItemOverLimit, guidText.c_str()); }

// Sends the planned archives in order, splitting one again when its real size is over the limit.
class BacklogSender {
public:
    BacklogSender(const RunSettings& settings, const std::wstring& uploadFolder, QuarantineBackup& backup)
        : settings_(settings), uploadFolder_(uploadFolder), backup_(backup), recorded_(backup.CachedItems()) {}

    bool Send(const ArchivePlan& plan) {
        bool ok = plan.oversized.empty();
        for (const std::wstring& item : plan.oversized) LogOversized(item);
        std::deque<std::vector<std::wstring>> pending(plan.archives.begin(), plan.archives.end());
        while (!pending.empty()) {
            std::vector<std::wstring> items = std::move(pending.front());
            pending.pop_front();
            const Outcome outcome = SendOne(items);
            if (outcome == Outcome::UploadFailed || outcome == Outcome::NoWorkFolder) return false;
            if (outcome == Outcome::NotPacked) ok = false;
            if (outcome != Outcome::OverLimit) continue;
            if (items.size() == 1) {
                LogOversized(items.front());
                ok = false;
                continue;
            }
            const auto middle = items.begin() + static_cast<std::ptrdiff_t>(items.size() / 2);
            pending.emplace_front(middle, items.end());
            pending.emplace_front(items.begin(), middle);
        }
        return ok;
    }

private:
    enum class Outcome { Sent, UploadFailed, NoWorkFolder, NotPacked, OverLimit };

    Outcome SendOne(const std::vector<std::wstring>& items) {
        std::string folderUtf8;
        MakeWorkFolderPath(WideToUtf8(uploadFolder_), folderUtf8);
        const std::wstring workFolder = Utf8ToWide(folderUtf8);
        if (!CreateDirectoryW(workFolder.c_str(), nullptr)) {
            LogWrite(kLogLevelMain, kLogMain, kWorkDirFailed, workFolder.c_str(), GetLastError());
            return Outcome::NoWorkFolder;
        }
        const SentItemSet wanted(items.begin(), items.end());
        if (!backup_.CollectAndPackItems(workFolder, wanted, settings_.email, settings_.comment))
            return Outcome::NotPacked;
        const std::wstring archive = workFolder + L".zip";
        if (!FitsTheLimit(archive)) {
            DeleteArchive(archive);
            return Outcome::OverLimit;
        }
        SentItemSet recorded = recorded_;
        recorded.insert(backup_.Restored().begin(), backup_.Restored().end());
        if (!UploadAndRecord(settings_, archive, uploadFolder_, recorded)) return Outcome::UploadFailed;
        recorded_ = std::move(recorded);
        // This archive's items are recorded in the cache; the next archive is not packed yet.
        return Outcome::Sent;
    }

    const RunSettings& settings_;
    const std::wstring& uploadFolder_;
    QuarantineBackup& backup_;
    SentItemSet recorded_;
};

}  // namespace

ArchivePlan PlanArchives(const std::vector<SizedItem>& items, uint64_t budget, uint64_t limit) {
    ArchivePlan plan;
    uint64_t filled = 0;
    for (const SizedItem& item : items) {
        if (item.bytes > limit) {
            plan.oversized.push_back(item.guidText);
            continue;
        }
        if (plan.archives.empty() || filled + item.bytes > budget) {
            plan.archives.emplace_back();
            filled = 0;
        }
        plan.archives.back().push_back(item.guidText);
        filled += item.bytes;
    }
    return plan;
}

bool SendCollected(const RunSettings& settings, const std::wstring& uploadFolder, const std::wstring& workFolder,
                   QuarantineBackup& backup) {
    const std::wstring archive = workFolder + L".zip";
    uint64_t size = 0;
    // An archive whose size cannot be read goes to the upload as today, which reports why it fails.
    if (!SizeOf(archive, &size) || size <= kUploadLimit)
        return UploadAndRecord(settings, archive, workFolder + L"\\..", backup.SentItems());

    LogWrite(kLogLevelMain, kLogMain, kOverLimit, archive.c_str(), size);
    uint64_t overhead = 0;
    const std::vector<SizedItem> items = SizeItems(backup.TakenUp(), archive, &overhead);
    DeleteArchive(archive);
    const uint64_t budget = overhead < kUploadLimit ? kUploadLimit - overhead : 0;
    BacklogSender sender(settings, uploadFolder, backup);
    return sender.Send(PlanArchives(items, budget, kUploadLimit));
}

}  // namespace vondrel
