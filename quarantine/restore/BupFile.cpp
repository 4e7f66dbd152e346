#include "quarantine/restore/BupFile.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "base/PathRules.h"

namespace vondrel {

namespace {

constexpr uint8_t kScrambleKey = 0xA7;
constexpr DWORD kStreamAccess = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr ULONG kCopyBlock = 4096;

struct FreeBytes {
    void operator()(uint8_t* bytes) const noexcept { std::free(bytes); }
};

// The failed open's code: out of memory when the storage said so or the system's last error does.
uint32_t OpenFailureCode(HRESULT hr) {
    if (hr == E_OUTOFMEMORY || hr == STG_E_INSUFFICIENTMEMORY) return kBupOutOfMemory;
    DWORD error = ::GetLastError();
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ? kBupOutOfMemory : kBupNotOpened;
}

// Reads the whole "Details" stream, descrambles it and hands the text up to its first zero byte to
// the bag. A stream whose size cannot be read or held leaves the bag empty.
void LoadDetails(IStream& stream, CfgBall& bag) {
    STATSTG stat = {};
    if (FAILED(stream.Stat(&stat, STATFLAG_NONAME))) return;
    uint64_t size = stat.cbSize.QuadPart;
    if (size + 1 == 0 || size + 1 > SIZE_MAX) return;
    std::unique_ptr<uint8_t, FreeBytes> buffer(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size + 1), 1)));
    if (!buffer) return;
    ULONG read = 0;
    stream.Read(buffer.get(), static_cast<ULONG>(size), &read);
    // Only what arrived is descrambled: unread bytes stay zero and end the text there.
    ScrambleBytes(buffer.get(), read);
    bag.SetTextUtf8(reinterpret_cast<const char*>(buffer.get()), -1);
}

// Copies the stream into file in 4096-byte blocks, descrambling each; an empty stream counts as a
// failure, since it would leave an empty file in place of the content.
uint32_t CopyStream(IStorage* storage, const wchar_t* name, HANDLE file) {
    ComPtr<IStream> stream;
    if (storage == nullptr || FAILED(storage->OpenStream(name, nullptr, kStreamAccess, 0, stream.put()))) {
        return kBupNotWritten;
    }
    uint8_t block[kCopyBlock];
    bool wroteAny = false;
    ULONG read = 0;
    do {
        read = 0;
        stream->Read(block, kCopyBlock, &read);
        if (read == 0) return wroteAny ? kBupSuccess : kBupNotWritten;
        ScrambleBytes(block, read);
        DWORD written = 0;
        if (!::WriteFile(file, block, read, &written, nullptr) || written != read) return kBupNotWritten;
        wroteAny = true;
    } while (read == kCopyBlock);
    return kBupSuccess;
}

DWORD AttributesOf(const std::wstring& path) {
    return ::GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str());
}

bool SetAttributes(const std::wstring& path, DWORD attributes) {
    return ::SetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str(), attributes) != FALSE;
}

// True when the path was read-only and no longer is.
bool ClearReadOnly(const std::wstring& path) {
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
    return SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

void RestoreReadOnly(const std::wstring& path) {
    DWORD attributes = AttributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) SetAttributes(path, attributes | FILE_ATTRIBUTE_READONLY);
}

}  // namespace

void ScrambleBytes(void* buffer, size_t length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; ++i) bytes[i] ^= kScrambleKey;
}

uint32_t BupFile::Open(const wchar_t* path) {
    Release();
    bag = ComPtr<CfgBall>(CfgBallImp::Create());
    if (!bag) return OpenFailureCode(S_OK);
    // The storage calls need not set the last error; a stale value must not pass for theirs.
    ::SetLastError(ERROR_SUCCESS);
    HRESULT hr = ::StgOpenStorage(path, nullptr, kStreamAccess, nullptr, 0, storage.put());
    if (FAILED(hr)) return OpenFailureCode(hr);
    ComPtr<IStream> details;
    hr = storage->OpenStream(kBupDetailsStream, nullptr, kStreamAccess, 0, details.put());
    if (FAILED(hr)) return OpenFailureCode(hr);
    LoadDetails(*details.get(), *bag.get());
    return kBupSuccess;
}

void BupFile::Release() {
    storage.reset();
    bag.reset();
}

uint32_t RestoreStreamToFile(BupFile& bupFile, const wchar_t* streamName, const wchar_t* destination,
                             bool wasAdded) {
    std::wstring path(destination ? destination : L"");
    if (wasAdded) return DeleteFileExtended(path) ? kBupSuccess : kBupAddedNotDeleted;
    if (!CreateParentDirectories(path)) return kBupOutOfMemory;
    bool readOnlyCleared = ClearReadOnly(path);
    UniqueFile file(CreateFileExtended(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
    if (!file) {
        // Nothing was written: the file keeps what it had, its read-only bit included.
        if (readOnlyCleared) RestoreReadOnly(path);
        return kBupNotWritten;
    }
    uint32_t result = CopyStream(bupFile.storage.get(), streamName, file.get());
    file.reset();
    if (result != kBupSuccess) {
        DeleteFileExtended(path);
        return result;
    }
    if (readOnlyCleared) RestoreReadOnly(path);
    return kBupSuccess;
}

}  // namespace vondrel
