#include "driver/Run.h"

#include <windows.h>
#include <objbase.h>

#include <ctime>

#include "base/Log.h"
#include "base/PathRules.h"
#include "base/TextConvert.h"
#include "base/TextWriter.h"
#include "driver/Backlog.h"
#include "driver/Messages.h"
#include "driver/QuarantineBackup.h"
#include "driver/SentItems.h"
#include "upload/Upload.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kNotTrustedLauncher = L"Vondrel.exe was not started by a trusted process %s, 0x%x";
constexpr const wchar_t* kRunAsAdministrator = L"Please run utility as administrator";
constexpr const wchar_t* kQuarantineFolderIs = L"Quarantine folder location is %s";
constexpr const wchar_t* kUploadDirFailed = L"Failed to create upload directory %s , 0x%x";
constexpr const wchar_t* kDirFailed = L"Failed to create directory %s , 0x%x";
constexpr const wchar_t* kUnsafeFolder = L"Folder %s may be changed by other users or is a link, stopping tool execution";
constexpr const wchar_t* kFolderRestricted =
    L"Folder %s could be changed by other users, its access was restricted to SYSTEM and Administrators";
constexpr const wchar_t* kCacheNotTrusted =
    L"Sent items cache %s was not written by this tool or has other links, it is not read and will be replaced";
constexpr const wchar_t* kExtractOnly = L"Extract only option supplied, skipping Ostrel upload";

constexpr unsigned kMaxWorkFolderAttempts = 99999;

void LogMain(const wchar_t* format) { LogWrite(kLogLevelMain, kLogMain, format); }

// CreateDirectoryW where an existing folder is as good as a new one.
bool CreateFolderOrExisting(const std::wstring& path, DWORD* error) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    *error = GetLastError();
    return *error == ERROR_ALREADY_EXISTS;
}

bool StopWith(const wchar_t* format, const std::wstring& path, DWORD error) {
    LogWrite(kLogLevelMain, kLogMain, format, path.c_str(), error);
    LogMain(kStoppingMessage);
    return false;
}

std::string WorkFolderPrefix() {
    GUID guid{};
    CoCreateGuid(&guid);
    std::wstring prefix = L"vdrel_";
    for (int i = 2; i < 8; ++i) prefix += FormatText(L"%02X", guid.Data4[i]);
    return WideToUtf8(prefix + L"_");
}

// "MMDDYY" and "HHMMSS" of the local time, each read when it is printed.
std::string LocalDigits(bool date) {
    __time64_t now = _time64(nullptr);
    struct tm local {};
    _localtime64_s(&local, &now);
    char text[16];
    if (date) {
        strftime(text, sizeof text, "%m%d%y", &local);
    } else {
        strftime(text, sizeof text, "%H%M%S", &local);
    }
    return text;
}

}  // namespace

bool RunExtractOnly(const RunSettings& settings) {
    const std::wstring extractFolder = settings.dataFolder + L"\\ExtractedItems";
    DWORD error = ERROR_SUCCESS;
    if (!CreateFolderOrExisting(extractFolder, &error)) return StopWith(kDirFailed, extractFolder, error);
    QuarantineBackup backup(settings.quarantineFolder, false, true);
    if (!backup.Open()) return false;
    bool nothingToSend = false;
    bool result = backup.CollectSegregated(extractFolder, nothingToSend);
    backup.Close();
    return result;
}

bool MakeWorkFolderPath(const std::string& parent, std::string& path) {
    const std::string prefix = WorkFolderPrefix();
    for (unsigned counter = 0; counter < kMaxWorkFolderAttempts; ++counter) {
        const std::string date = LocalDigits(true);
        path = parent + "\\" + prefix + date + "_" + LocalDigits(false);
        if (!IsExistingFile(Utf8ToWide(path))) return true;
    }
    path.clear();
    return false;
}

bool UploadArchive(const RunSettings& settings, const std::wstring& zipPath) {
    UploadClient client;
    if (!settings.proxyServer.empty()) {
        client.proxyServer = settings.proxyServer;
        client.proxyPort = settings.proxyPort;
        client.useProxy = true;
    } else if (!settings.configScript.empty()) {
        client.autoConfigUrl = settings.configScript;
        client.useProxy = true;
    }
    return SubmitArchive(client, zipPath);
}

bool RunSubmission(const RunSettings& settings, IFolderInspector& folders) {
    const std::wstring uploadFolder = settings.dataFolder + L"\\Upload";
    DWORD error = ERROR_SUCCESS;
    FolderVerdict verdict = FolderVerdict::Safe;
    if (!PrepareFolder(uploadFolder, folders, &error, &verdict)) {
        // A file in the folder's place is a failed creation; a link or a foreign folder is refused.
        if (verdict == FolderVerdict::Safe || verdict == FolderVerdict::Missing)
            return StopWith(kUploadDirFailed, uploadFolder, error);
        LogWrite(kLogLevelMain, kLogMain, kUnsafeFolder, uploadFolder.c_str());
        LogMain(kStoppingMessage);
        return false;
    }

    if (verdict == FolderVerdict::Restricted) LogWrite(kLogLevelMain, kLogMain, kFolderRestricted, uploadFolder.c_str());

    std::string workFolderUtf8;
    MakeWorkFolderPath(WideToUtf8(uploadFolder), workFolderUtf8);
    const std::wstring workFolder = Utf8ToWide(workFolderUtf8);
    if (!CreateDirectoryW(workFolder.c_str(), nullptr)) return StopWith(kWorkDirFailed, workFolder, GetLastError());

    QuarantineBackup backup(settings.quarantineFolder, settings.ignoreSentCache, settings.noUpload);
    const std::wstring cache = SentItemsFilePath(uploadFolder);
    if (!IsSentCacheTrustworthy(cache, folders)) {
        LogWrite(kLogLevelMain, kLogMain, kCacheNotTrusted, cache.c_str());
        backup.DistrustSentCache();
    }
    bool result = false;
    if (backup.Open()) {
        bool nothingToSend = false;
        const bool packed = backup.CollectAndPack(workFolder, settings.email, settings.comment, nothingToSend);
        if (!packed) {
            result = nothingToSend;
        } else if (nothingToSend) {
            result = true;
        } else if (settings.noUpload) {
            LogMain(kExtractOnly);
            result = true;
        } else {
            result = SendCollected(settings, uploadFolder, workFolder, backup);
        }
    }
    backup.Close();
    return result;
}

int RunTool(int argc, wchar_t** argv, IStartChecks& checks, IFolderInspector& folders) {
    RunSettings settings;
    DWORD error = ERROR_SUCCESS;
    FolderVerdict verdict = FolderVerdict::Safe;
    // The log lives in the data folder: one that is missing its parent, or that others could have
    // planted, ends the run before a line is written into it.
    if (!PrepareFolder(settings.dataFolder, folders, &error, &verdict)) return 1;
    if (verdict == FolderVerdict::Restricted)
        LogWrite(kLogLevelMain, kLogMain, kFolderRestricted, settings.dataFolder.c_str());

    const LauncherVerdict launcher = checks.CheckLauncher();
    if (!launcher.trusted) {
        LogWrite(kLogLevelMain, kLogMain, kNotTrustedLauncher, launcher.parentImage.c_str(),
                 static_cast<unsigned>(launcher.result));
        return 1;
    }
    if (!checks.IsAdministrator()) {
        LogMain(kRunAsAdministrator);
        return 1;
    }
    LogMain(kStartingMessage);
    if (!ParseCommandLine(argc, argv, settings)) return 1;
    if (!ValidateSettings(settings)) return 1;
    LogWrite(kLogLevelMain, kLogMain, kQuarantineFolderIs, settings.quarantineFolder.c_str());

    const bool ok =
        settings.noUpload && settings.segregate ? RunExtractOnly(settings) : RunSubmission(settings, folders);
    LogMain(kStoppingMessage);
    return ok ? 0 : 1;
}

}  // namespace vondrel
