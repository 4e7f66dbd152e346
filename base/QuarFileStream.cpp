#include "base/QuarFileStream.h"

#include <new>
#include <utility>

#include "base/Log.h"
#include "base/PathRules.h"

namespace vondrel {
namespace {

constexpr int kLogLevelNotImplemented = 2;
constexpr const wchar_t* kCopyToNotImplemented = L"Quarantine Library called ISTream::CopyTo. This should be impmented.";
constexpr const wchar_t* kCommitNotImplemented = L"Quarantine Library called ISTream::Commit. This should be impmented.";
constexpr const wchar_t* kRevertNotImplemented = L"Quarantine Library called ISTream::Revert. This should be impmented.";
constexpr const wchar_t* kLockRegionNotImplemented =
    L"Quarantine Library called ISTream::LockRegion. This should be impmented.";
constexpr const wchar_t* kUnlockRegionNotImplemented =
    L"Quarantine Library called ISTream::UnlockRegion. This should be impmented.";
constexpr const wchar_t* kCloneNotImplemented = L"Quarantine Library called ISTream::Clone. This should be impmented.";

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;

HRESULT NotImplemented(const wchar_t* message) {
    LogWrite(kLogLevelNotImplemented, kLogQuarantine, L"%s", message);
    return E_NOTIMPL;
}

HRESULT LastErrorResult() { return HresultFromWin32(GetLastError()); }

bool SeekMethod(DWORD origin, DWORD* method) {
    switch (origin) {
        case STREAM_SEEK_SET: *method = FILE_BEGIN; return true;
        case STREAM_SEEK_CUR: *method = FILE_CURRENT; return true;
        case STREAM_SEEK_END: *method = FILE_END; return true;
        default: return false;
    }
}

// The stored path in memory the caller frees with CoTaskMemFree.
wchar_t* TaskMemCopy(const std::wstring& text) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (copy != nullptr) memcpy(copy, text.c_str(), bytes);
    return copy;
}

}  // namespace

HRESULT HresultFromWin32(DWORD error) {
    if (error == 0) return S_OK;
    return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

QuarFileStream::QuarFileStream(UniqueFile handle, std::wstring path) noexcept
    : handle_(std::move(handle)), path_(std::move(path)) {}

QuarFileStream::~QuarFileStream() = default;

HRESULT QuarFileStream::Open(const wchar_t* path, IStream** stream) {
    if (stream == nullptr) return E_POINTER;
    *stream = nullptr;
    if (path == nullptr) return E_INVALIDARG;
    UniqueFile file(CreateFileW(ExtendedPath(path, kCreateFileLimit).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, kOpenFlags, nullptr));
    if (!file) return LastErrorResult();
    std::wstring copy;
    try {
        copy = path;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    auto* object = new (std::nothrow) QuarFileStream(std::move(file), std::move(copy));
    if (object == nullptr) return E_OUTOFMEMORY;
    *stream = object;
    return S_OK;
}

HRESULT QuarFileStream::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IStream && iid != IID_ISequentialStream) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
}

ULONG QuarFileStream::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG QuarFileStream::Release() {
    const LONG count = InterlockedDecrement(&references_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT QuarFileStream::Read(void* buffer, ULONG count, ULONG* read) {
    ULONG local = 0;
    if (read == nullptr) read = &local;
    if (!ReadFile(handle_.get(), buffer, count, read, nullptr)) return LastErrorResult();
    return S_OK;
}

HRESULT QuarFileStream::Write(const void* buffer, ULONG count, ULONG* written) {
    ULONG local = 0;
    if (written == nullptr) written = &local;
    if (!WriteFile(handle_.get(), buffer, count, written, nullptr)) return LastErrorResult();
    return S_OK;
}

HRESULT QuarFileStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
    DWORD method = FILE_BEGIN;
    if (!SeekMethod(origin, &method)) return STG_E_INVALIDFUNCTION;
    auto* newPosition = reinterpret_cast<LARGE_INTEGER*>(position);
    if (!SetFilePointerEx(handle_.get(), move, newPosition, method)) return LastErrorResult();
    return S_OK;
}

HRESULT QuarFileStream::SetSize(ULARGE_INTEGER size) {
    SetLastError(ERROR_SUCCESS);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size.QuadPart);
    if (!SetFilePointerEx(handle_.get(), end, nullptr, FILE_BEGIN)) return LastErrorResult();
    if (!SetEndOfFile(handle_.get())) return LastErrorResult();
    return S_OK;
}

HRESULT QuarFileStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    return NotImplemented(kCopyToNotImplemented);
}

HRESULT QuarFileStream::Commit(DWORD) { return NotImplemented(kCommitNotImplemented); }

HRESULT QuarFileStream::Revert() { return NotImplemented(kRevertNotImplemented); }

HRESULT QuarFileStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return NotImplemented(kLockRegionNotImplemented);
}

HRESULT QuarFileStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return NotImplemented(kUnlockRegionNotImplemented);
}

HRESULT QuarFileStream::Stat(STATSTG* stat, DWORD flag) {
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_.get(), &size)) return LastErrorResult();
    stat->cbSize.QuadPart = static_cast<ULONGLONG>(size.QuadPart);
    stat->pwcsName = nullptr;
    if (flag != STATFLAG_NONAME) {
        stat->pwcsName = TaskMemCopy(path_);
        if (stat->pwcsName == nullptr) return E_OUTOFMEMORY;
    }
    if (GetFileTime(handle_.get(), &stat->ctime, &stat->atime, &stat->mtime)) return S_OK;
    const HRESULT result = LastErrorResult();
    // The caller frees the name only on success.
    CoTaskMemFree(stat->pwcsName);
    stat->pwcsName = nullptr;
    return result;
}

HRESULT QuarFileStream::Clone(IStream** stream) {
    if (stream != nullptr) *stream = nullptr;
    return NotImplemented(kCloneNotImplemented);
}

}  // namespace vondrel
