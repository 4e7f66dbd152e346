#include "quarantine/restore/FileRestore.h"

#include "base/Handles.h"
#include "base/Log.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "base/TextWriter.h"
#include "packaging/FileWriter.h"
#include "packaging/ZipReader.h"
#include "packaging/ZipWriter.h"
#include "quarantine/restore/BupFile.h"
#include "quarantine/restore/FileEntryWriter.h"
#include "quarantine/store/SqlAccess.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kEnterMessage = L"QuarManager::RestoreFiles : ENTER";
constexpr const wchar_t* kExitMessage = L"QuarManager::RestoreFiles : EXIT, retval : %d";
constexpr const wchar_t* kDestinationPathMessage = L"QuarManager::RestoreFiles : Destination path %s";
constexpr const wchar_t* kDestinationAfterCheckMessage =
    L"QuarManager::RestoreFiles : Destination after check for . in path %s";
constexpr const wchar_t* kRestoredMessage = L"Sucessfully restored file to : %s: ";
constexpr const wchar_t* kRowFailedMessage = L"Failed to (retVal %d) restore file to : %s: ";

constexpr const wchar_t* kAttributesUnreadableMessage = L"Failed to read attributes of %s. Error: %d";
constexpr const wchar_t* kMachineNameMessage =
    L"Failed to read attributes of %s. Because it was a machine name, restore is OK to continue";
constexpr const wchar_t* kPrefixedDriveMessage =
    L"Failed to read attributes of %s. Because it is drive letter prefixed with \\\\?\\ , okay to restore at "
    L"this point";
constexpr const wchar_t* kDeviceNameMessage =
    L"Failed to read attributes of %s. Because it was a device name, restore is OK to continue";
constexpr const wchar_t* kReparseFlagMessage = L"%s has a reparse flag set";
constexpr const wchar_t* kSymbolicLinkMessage = L"Symbolic link found for %s";
constexpr const wchar_t* kNotSymbolicLinkMessage = L"Even though  %s had reparse flag, it was not a symbolic link";
constexpr const wchar_t* kLinkSummaryMessage =
    L"QuarManager::RestoreFiles : Destination path checked for symbolic links. Path has links: %d";

constexpr const wchar_t* kCopyFailedMessage = L"Failed to CopyFromZIPFile";
constexpr const wchar_t* kAttributesNotSetMessage = L"File attribute could not be set for restored file : %s: ";
constexpr const wchar_t* kToStreamFailedMessage = L"QuarManager::RestoreFiles, RestoreFileToStream failed";
constexpr const wchar_t* kHGlobalFailedMessage = L"QuarManager::RestoreFiles, GetHGlobalFromStream() failed";
constexpr const wchar_t* kStatFailedMessage = L"QuarManager::RestoreFiles, IStream::Stats() failed";
constexpr const wchar_t* kCreateFailedMessage = L"QuarManager::RestoreFiles, CreateFile failed, GetLastError() : %d";

// Tag bits of a symbolic link (IO_REPARSE_TAG_SYMLINK); a junction does not carry all of them.
constexpr DWORD kSymbolicLinkTagBits = 0xA000000C;
// The attribute bits a new file can be created with; the FILE_FLAG_ bits above them would change how
// the handle behaves (overlapped, delete on close, no buffering), so a stored value never passes them.
constexpr DWORD kCreatableAttributeBits = 0x0003FFFF;
// Largest single WriteFile of the memory route.
constexpr DWORD kMaxWriteChunk = 0x40000000;

// What one BackupFiles row says about its file.
struct RowFacts {
    int64_t kind = 0;
    std::wstring originalPath;
    std::wstring backupPath;
    RestoreAttributes attributes;
};

RowFacts ReadRow(const SqlRow& row) {
    RowFacts facts;
    facts.attributes = AttributesFromColumn(ColumnOf(row, kFileAttribute));
    facts.kind = ColumnOf(row, kFileBupOrSql).IntegerOrZero();
    facts.originalPath = ColumnOf(row, kFileOriginalPath).WideTextView();
    facts.backupPath = ColumnOf(row, kFileBackupFilename).WideTextView();
    return facts;
}

bool ZipEntryNameOf(const std::wstring& originalPath, std::wstring& entryName) {
    entryName = originalPath;
    return ZipEntryNameFromPath(entryName);
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

size_t BackslashCount(const std::wstring& text) {
    size_t count = 0;
    for (wchar_t c : text) count += c == L'\\' ? 1 : 0;
    return count;
}

bool IsControlCharacter(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, whatever follows the first "." and blanks before it.
bool IsReservedDeviceName(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = UpperAscii(c);
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* device : kDevices) {
        if (base == device) return true;
    }
    if (base.size() != 4 || base[3] < L'1' || base[3] > L'9') return false;
    return StartsWith(base, L"COM") || StartsWith(base, L"LPT");
}

// ---- link walk ----

enum class WalkStep { Continue, NoLink, Link };

bool IsWalkRoot(const std::wstring& work) {
    return work == L"\\\\?\\" || work == L"\\\\.\\" || work == L"\\\\" || work == L"\\";
}

bool IsMachineName(const std::wstring& work) {
    const size_t backslashes = BackslashCount(work);
    if (backslashes == 2 && work.size() > 1 && StartsWith(work, L"\\\\")) return true;
    if (backslashes == 4 && work.size() > 7 && StartsWith(work, L"\\\\?\\UNC\\")) return true;
    return backslashes == 3 && work.size() > 3 && StartsWith(work, L"\\\\?\\") && work.find(L':') == std::wstring::npos;
}

bool IsPrefixedDrive(const std::wstring& work) {
    return work.size() == 6 && StartsWith(work, L"\\\\?\\") && work[5] == L':';
}

bool IsDeviceName(const std::wstring& work) {
    return BackslashCount(work) == 3 && work.size() > 3 && StartsWith(work, L"\\\\.\\");
}

// A parent whose attributes cannot be read: a machine or device part ends the walk, a drive written
// with the long-path prefix is checked again as the plain drive, anything else counts as a link.
WalkStep OnUnreadableParent(std::wstring& work, DWORD error, size_t& cut) {
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kAttributesUnreadableMessage, work.c_str(), error);
    if (IsMachineName(work)) {
        LogWrite(kLogLevelStoreInfo, kLogQuarantine, kMachineNameMessage, work.c_str());
        return WalkStep::NoLink;
    }
    if (IsPrefixedDrive(work)) {
        work = work.substr(4, 2);
        LogWrite(kLogLevelStoreInfo, kLogQuarantine, kPrefixedDriveMessage, work.c_str());
        cut = 2;
        return WalkStep::Continue;
    }
    if (IsDeviceName(work)) {
        LogWrite(kLogLevelStoreInfo, kLogQuarantine, kDeviceNameMessage, work.c_str());
        return WalkStep::NoLink;
    }
    return WalkStep::Link;
}

// A parent with the reparse flag blocks the restore only when it is a symbolic link.
WalkStep OnReparsePoint(const std::wstring& work, ILinkWalkCalls& calls) {
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kReparseFlagMessage, work.c_str());
    WIN32_FIND_DATAW data{};
    if (!calls.FindEntry(work, data)) return WalkStep::NoLink;
    if ((data.dwReserved0 & kSymbolicLinkTagBits) == kSymbolicLinkTagBits) {
        LogWrite(kLogLevelStoreInfo, kLogQuarantine, kSymbolicLinkMessage, data.cFileName);
        return WalkStep::Link;
    }
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kNotSymbolicLinkMessage, data.cFileName);
    return WalkStep::Continue;
}

WalkStep CheckParent(std::wstring& work, size_t& cut, ILinkWalkCalls& calls) {
    DWORD attributes = 0;
    DWORD error = 0;
    if (!calls.ReadAttributes(work, attributes, error)) return OnUnreadableParent(work, error, cut);
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return WalkStep::Continue;
    return OnReparsePoint(work, calls);
}

bool WalkParents(std::wstring work, ILinkWalkCalls& calls) {
    size_t cut = work.rfind(L'\\');
    while (cut != std::wstring::npos) {
        work.resize(cut);
        if (IsWalkRoot(work)) return false;
        size_t nextCut = std::wstring::npos;  // set only where the walk goes on at a drive
        const WalkStep step = CheckParent(work, nextCut, calls);
        if (step != WalkStep::Continue) return step == WalkStep::Link;
        cut = nextCut != std::wstring::npos ? nextCut : work.rfind(L'\\');
    }
    return false;
}

// ---- zip branch ----

// Passes everything on to the file writer and remembers whether it created the destination, so that a
// failed row removes only the file it made itself.
class CreationTrackingWriter final : public FileWriter {
public:
    explicit CreationTrackingWriter(FileWriter& inner) : inner_(inner) {}
    bool Open() override {
        created_ = inner_.Open();
        return created_;
    }
    void Close() override { inner_.Close(); }
    bool Write(const void* buffer, DWORD length) override { return inner_.Write(buffer, length); }
    bool Created() const { return created_; }

private:
    FileWriter& inner_;
    bool created_ = false;
};

// Keeps a memory block locked while its address is in use.
class GlobalLockHolder {
public:
    explicit GlobalLockHolder(HGLOBAL memory) : memory_(memory), address_(GlobalLock(memory)) {}
    ~GlobalLockHolder() {
        if (address_) GlobalUnlock(memory_);
    }
    GlobalLockHolder(const GlobalLockHolder&) = delete;
    GlobalLockHolder& operator=(const GlobalLockHolder&) = delete;
    const uint8_t* address() const { return static_cast<const uint8_t*>(address_); }

private:
    HGLOBAL memory_;
    void* address_;
};

bool ExtractToFile(const RowFacts& facts, const std::wstring& entryName, const std::wstring& destination,
                   bool& created) {
    WinIOWriter file(destination.c_str());
    CreationTrackingWriter writer(file);
    const bool copied = CopyFromZIPFile(facts.backupPath.c_str(), entryName.c_str(), writer);
    created = writer.Created();
    return copied && FileExists(destination.c_str());
}

void ApplyAttributes(const RestoreAttributes& attributes, const std::wstring& destination) {
    if (!attributes.set) return;
    if (SetFileAttributesW(ExtendedPath(destination, kDefaultPathLimit).c_str(), attributes.value)) return;
    LogWrite(kLogLevelStoreWarning, kLogQuarantine, kAttributesNotSetMessage, destination.c_str());
}

bool WriteWhole(HANDLE file, const uint8_t* data, uint64_t size) {
    while (size > 0) {
        const DWORD chunk = size > kMaxWriteChunk ? kMaxWriteChunk : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written != chunk) return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

// Writes the stream's memory block into a new destination file; the file is removed again when the
// block cannot be written whole.
uint32_t WriteStreamToNewFile(HGLOBAL memory, uint64_t size, const RestoreAttributes& attributes,
                              const std::wstring& destination) {
    const DWORD flags = attributes.set ? attributes.value & kCreatableAttributeBits : FILE_ATTRIBUTE_NORMAL;
    UniqueFile file(CreateFileExtended(destination, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       CREATE_NEW, flags));
    if (!file) {
        const DWORD error = GetLastError();
        LogWrite(kLogLevelStoreWarning, kLogQuarantine, kCreateFailedMessage, error);
        return kRestoreFailed;
    }
    GlobalLockHolder block(memory);
    const bool written = size == 0 || (block.address() != nullptr && WriteWhole(file.get(), block.address(), size));
    if (written) return kRestoreOk;
    file.reset();
    DeleteFileExtended(destination);
    return kRestoreFailed;
}

// The fallback when the direct extraction failed: extract into memory, then write the file.
uint32_t RestoreThroughMemory(const QueryInfo& fileRows, size_t index, const RestoreAttributes& attributes,
                              const std::wstring& destination) {
    ComPtr<IStream> stream;
    if (RestoreFileToStream(fileRows, stream.put(), index) != kRestoreOk) {
        LogWrite(kLogLevelStoreWarning, kLogQuarantine, kToStreamFailedMessage);
        return kRestoreFailed;
    }
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream.get(), &memory))) {
        LogWrite(kLogLevelStoreWarning, kLogQuarantine, kHGlobalFailedMessage);
        return kRestoreFailed;
    }
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) {
        LogWrite(kLogLevelStoreWarning, kLogQuarantine, kStatFailedMessage);
        return kRestoreFailed;
    }
    return WriteStreamToNewFile(memory, stat.cbSize.QuadPart, attributes, destination);
}

uint32_t RestoreFromZip(const QueryInfo& fileRows, size_t index, const RowFacts& facts, const std::wstring& entryName,
                        const std::wstring& destination, ILinkWalkCalls& calls) {
    if (FileExists(destination.c_str())) return kRestoreFailed;
    if (DestinationHasLinks(destination, calls)) return kRestoreFailed;
    bool created = false;
    if (ExtractToFile(facts, entryName, destination, created)) {
        ApplyAttributes(facts.attributes, destination);
        return kRestoreOk;
    }
    LogWrite(kLogLevelStoreWarning, kLogQuarantine, kCopyFailedMessage);
    const uint32_t code = RestoreThroughMemory(fileRows, index, facts.attributes, destination);
    // A part-written file must not stay behind to be packed and sent as if it were the sample.
    if (code != kRestoreOk && created) DeleteFileExtended(destination);
    return code;
}

// ---- legacy branch ----

bool WasAdded(BupFile& backup, const std::wstring& section) {
    uint8_t flag = 0;
    backup.bag->GetInt(section.c_str(), kBupWasAddedKey, 1, &flag);
    return flag != 0;
}

// Writes the content streams from the highest number down; the first failure ends the loop.
uint32_t RestoreContentStreams(BupFile& backup, const std::wstring& destination) {
    if (!backup.bag) return kRestoreOk;
    int32_t count = 0;
    backup.bag->GetInt(kBupDetailsSection, kBupNumberOfFilesKey, 32, &count);
    uint32_t code = kRestoreOk;
    for (int32_t n = count; n >= 1 && code == kRestoreOk; --n) {
        const std::wstring name = FormatText(kBupContentStreamFormat, n - 1);
        code = RestoreStreamToFile(backup, name.c_str(), destination.c_str(), WasAdded(backup, name));
    }
    return code;
}

uint32_t RestoreFromLegacyBackup(const RowFacts& facts, const std::wstring& destination) {
    BupFile backup;
    const uint32_t opened = backup.Open(facts.backupPath.c_str());
    if (opened != kBupSuccess) return opened;
    const uint32_t code = RestoreContentStreams(backup, destination);
    backup.Release();
    return code;
}

// ---- rows ----

uint32_t RestoreContent(const QueryInfo& fileRows, size_t index, const RowFacts& facts, const std::wstring& entryName,
                        const std::wstring& destination, ILinkWalkCalls& calls) {
    if (!IsSafeDestinationName(DestinationNameOf(facts.originalPath))) return kRestoreFailed;
    if (facts.kind == kContentInZip) return RestoreFromZip(fileRows, index, facts, entryName, destination, calls);
    return RestoreFromLegacyBackup(facts, destination);
}

void ReportRow(uint32_t code, IFileEntryWriter* context, const QueryInfo& fileRows, size_t index,
               const std::wstring& destination, unsigned* restoredCount) {
    if (code != kRestoreOk) {
        LogWrite(kLogLevelStoreError, kLogQuarantine, kRowFailedMessage, code, destination.c_str());
        return;
    }
    WriteFileEntry(context, fileRows, index, destination);
    if (restoredCount) ++*restoredCount;
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kRestoredMessage, destination.c_str());
    ReachTestPoint(TestPoint::FileRestored);
}

uint32_t RestoreRow(IFileEntryWriter* context, const QueryInfo& fileRows, size_t index, const std::wstring& folder,
                    unsigned* restoredCount, ILinkWalkCalls& calls) {
    const RowFacts facts = ReadRow(fileRows.Row(index));
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kDestinationPathMessage, facts.originalPath.c_str());
    const std::wstring destination = DestinationPathOf(folder, facts.originalPath);
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kDestinationAfterCheckMessage, destination.c_str());
    std::wstring entryName;
    if (!ZipEntryNameOf(facts.originalPath, entryName)) return kRestoreFailed;
    if (facts.kind != kContentInZip && facts.kind != kContentInLegacyBackup) return kRestoreFailed;
    const uint32_t code = RestoreContent(fileRows, index, facts, entryName, destination, calls);
    ReportRow(code, context, fileRows, index, destination, restoredCount);
    return code;
}

}  // namespace

RestoreAttributes AttributesFromColumn(const SqlValue& fileAttribute) {
    RestoreAttributes attributes;
    if (!fileAttribute.IsInteger()) return attributes;
    attributes.value = static_cast<DWORD>(fileAttribute.integer);
    attributes.set = attributes.value != INVALID_FILE_ATTRIBUTES && attributes.value != FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

std::wstring DestinationNameOf(const std::wstring& originalPath) {
    return FileNameOf(originalPath, Separators::BackslashOrSlash);
}

bool IsSafeDestinationName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c == L':' || IsControlCharacter(c)) return false;
    }
    return !IsReservedDeviceName(name);
}

std::wstring DestinationPathOf(const std::wstring& destinationFolder, const std::wstring& originalPath) {
    return destinationFolder + L"\\" + DestinationNameOf(originalPath);
}

bool FileSystemLinkWalkCalls::ReadAttributes(const std::wstring& path, DWORD& attributes, DWORD& error) {
    attributes = GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str());
    error = GetLastError();
    return attributes != INVALID_FILE_ATTRIBUTES;
}

bool FileSystemLinkWalkCalls::FindEntry(const std::wstring& path, WIN32_FIND_DATAW& data) {
    UniqueFind find(FindFirstFileExtended(path, &data));
    return find.valid();
}

bool DestinationHasLinks(const std::wstring& destinationPath, ILinkWalkCalls& calls) {
    const bool links = WalkParents(destinationPath, calls);
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kLinkSummaryMessage, links ? 1 : 0);
    return links;
}

uint32_t RestoreFiles(IFileEntryWriter* context, const QueryInfo& fileRows, const wchar_t* destinationFolder,
                      unsigned* restoredCount) {
    FileSystemLinkWalkCalls calls;
    return RestoreFiles(context, fileRows, destinationFolder, restoredCount, calls);
}

uint32_t RestoreFiles(IFileEntryWriter* context, const QueryInfo& fileRows, const wchar_t* destinationFolder,
                      unsigned* restoredCount, ILinkWalkCalls& linkWalkCalls) {
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kEnterMessage);
    uint32_t code = destinationFolder ? kRestoreOk : kRestoreFailed;
    for (size_t i = 0; destinationFolder && i < fileRows.RowCount(); ++i) {
        code = RestoreRow(context, fileRows, i, destinationFolder, restoredCount, linkWalkCalls);
    }
    LogWrite(kLogLevelStoreInfo, kLogQuarantine, kExitMessage, code);
    return code;
}

uint32_t RestoreFileToStream(const QueryInfo& fileRows, IStream** stream, size_t index) {
    if (stream == nullptr) return kRestoreFailed;
    *stream = nullptr;
    if (index >= fileRows.RowCount()) return kRestoreFailed;
    const RowFacts facts = ReadRow(fileRows.Row(index));
    std::wstring entryName;
    if (!ZipEntryNameOf(facts.originalPath, entryName)) return kRestoreFailed;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream))) {
        *stream = nullptr;
        return kRestoreFailed;
    }
    if (facts.kind != kContentInZip) return kRestoreFailed;
    IStreamWriter writer(*stream);
    return CopyFromZIPFile(facts.backupPath.c_str(), entryName.c_str(), writer) ? kRestoreOk : kRestoreFailed;
}

}  // namespace vondrel
