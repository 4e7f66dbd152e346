#include "packaging/FileWriter.h"

#include "base/PathRules.h"

namespace vondrel {

bool IStreamWriter::Open() { return target_ != nullptr; }

void IStreamWriter::Close() {}

bool IStreamWriter::Write(const void* buffer, DWORD length) {
    ULONG written = 0;
    const HRESULT result = target_->Write(buffer, length, &written);
    return SUCCEEDED(result) && written == length;
}

bool WinIOWriter::Open() {
    if (path_ == nullptr) return false;
    handle_.reset(CreateFileW(ExtendedPath(path_, kCreateFileLimit).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    return handle_.valid();
}

void WinIOWriter::Close() { handle_.reset(); }

bool WinIOWriter::Write(const void* buffer, DWORD length) {
    DWORD written = 0;
    if (!WriteFile(handle_.get(), buffer, length, &written, nullptr)) return false;
    return written == length;
}

}  // namespace vondrel
