// minizip's file-access callbacks over the Win32 file API. A handle whose last call failed stays
// failed: every later call on it reports failure at once.
#include <new>

#include "packaging/ZipWriter.h"
#include "quarantine/restore/PathRules.h"

namespace vondrel {
namespace {

ZipFileHandle* AsHandle(voidpf stream) { return static_cast<ZipFileHandle*>(stream); }

voidpf ZCALLBACK OpenFile(voidpf, const void* filename, int mode) {
    auto* record = new (std::nothrow) ZipFileHandle;
    if (record == nullptr) return nullptr;
    const auto* name = static_cast<const wchar_t*>(filename);
    DWORD access = 0;
    if (mode & ZLIB_FILEFUNC_MODE_READ) access |= GENERIC_READ;
    if (mode & ZLIB_FILEFUNC_MODE_WRITE) access |= GENERIC_WRITE;
    const DWORD disposition = (mode & ZLIB_FILEFUNC_MODE_CREATE) ? CREATE_ALWAYS : OPEN_EXISTING;
    if (name != nullptr) {
        record->file.reset(CreateFileW(ExtendedPath(name, kCreateFileLimit).c_str(), access, FILE_SHARE_READ,
                                       nullptr, disposition, 0, nullptr));
    }
    record->ok = record->file.valid();
    return record;
}

uLong ZCALLBACK ReadFileCallback(voidpf, voidpf stream, void* buffer, uLong size) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return 0;
    DWORD read = 0;
    h->ok = ReadFile(h->file.get(), buffer, size, &read, nullptr) != FALSE;
    return h->ok ? read : 0;
}

uLong ZCALLBACK WriteFileCallback(voidpf, voidpf stream, const void* buffer, uLong size) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return 0;
    DWORD written = 0;
    h->ok = WriteFile(h->file.get(), buffer, size, &written, nullptr) != FALSE;
    return h->ok ? written : 0;
}

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf stream) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return static_cast<ZPOS64_T>(-1);
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    h->ok = SetFilePointerEx(h->file.get(), zero, &position, FILE_CURRENT) != FALSE;
    return h->ok ? static_cast<ZPOS64_T>(position.QuadPart) : static_cast<ZPOS64_T>(-1);
}

bool MoveMethodOf(int origin, DWORD* method) {
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: *method = FILE_BEGIN; return true;
        case ZLIB_FILEFUNC_SEEK_CUR: *method = FILE_CURRENT; return true;
        case ZLIB_FILEFUNC_SEEK_END: *method = FILE_END; return true;
        default: return false;
    }
}

long ZCALLBACK SeekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    ZipFileHandle* h = AsHandle(stream);
    DWORD method = FILE_BEGIN;
    if (h == nullptr || !h->ok || !MoveMethodOf(origin, &method)) return -1;
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(offset);
    h->ok = SetFilePointerEx(h->file.get(), move, nullptr, method) != FALSE;
    return h->ok ? 0 : -1;
}

int ZCALLBACK CloseFile(voidpf, voidpf stream) {
    delete AsHandle(stream);
    return 0;
}

int ZCALLBACK TestError(voidpf, voidpf stream) {
    ZipFileHandle* h = AsHandle(stream);
    return (h == nullptr || !h->ok) ? 1 : 0;
}

}  // namespace

zlib_filefunc64_def ZipFileFunctions() {
    zlib_filefunc64_def functions{};
    functions.zopen64_file = OpenFile;
    functions.zread_file = ReadFileCallback;
    functions.zwrite_file = WriteFileCallback;
    functions.ztell64_file = TellFile;
    functions.zseek64_file = SeekFile;
    functions.zclose_file = CloseFile;
    functions.zerror_file = TestError;
    functions.opaque = nullptr;
    return functions;
}

}  // namespace vondrel
