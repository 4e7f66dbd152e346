// An existing file (or folder) opened for reading, with full sharing and backup semantics, behind the
// COM IStream the zip writer reads from. Read, Seek and Stat work; CopyTo, Commit, Revert, the region
// locks and Clone log that they are not implemented and return E_NOTIMPL.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>

#include "base/Handles.h"

namespace vondrel {

class QuarFileStream final : public IStream {
public:
    // *stream is null unless S_OK is returned; the caller owns the one reference.
    static HRESULT Open(const wchar_t* path, IStream** stream);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;
    // Write and SetSize pass the request to the system, which refuses it on the read-only handle.
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* written) override;

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flag) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override;

private:
    QuarFileStream(UniqueFile handle, std::wstring path) noexcept;
    ~QuarFileStream();

    UniqueFile handle_;
    volatile LONG references_ = 1;
    std::wstring path_;  // as given to Open, without any long-path prefix
};

// A Win32 error as an HRESULT: 0x80070000 | (error & 0xFFFF); 0 stays 0.
HRESULT HresultFromWin32(DWORD error);

}  // namespace vondrel
