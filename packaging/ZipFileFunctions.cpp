// minizip's file-access callbacks over the Win32 file API, reading through the handle's block. A
// handle whose last call failed stays failed: every later call on it reports failure at once.
#include <algorithm>
#include <cstring>
#include <new>

#include "base/PathRules.h"
#include "packaging/ZipWriter.h"

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
    if (mode & ZLIB_FILEFUNC_MODE_READ) record->block.reset(new (std::nothrow) unsigned char[ZipFileHandle::kBlockSize]);
    return record;
}

// Moves the handle to where minizip stands before a read or write.
bool SyncFilePointer(ZipFileHandle& h) {
    if (h.filePointer == h.position) return true;
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(h.position);
    h.ok = SetFilePointerEx(h.file.get(), move, nullptr, FILE_BEGIN) != FALSE;
    if (h.ok) h.filePointer = h.position;
    return h.ok;
}

// Reads at the handle's position; the bytes read, 0 on failure (ok then false).
DWORD ReadAtPosition(ZipFileHandle& h, void* buffer, DWORD size) {
    if (!SyncFilePointer(h)) return 0;
    DWORD read = 0;
    h.ok = ReadFile(h.file.get(), buffer, size, &read, nullptr) != FALSE;
    if (!h.ok) return 0;
    h.filePointer += read;
    return read;
}

// Copies what the block holds at the position; the bytes copied.
size_t CopyFromBlock(ZipFileHandle& h, unsigned char* out, size_t size) {
    if (h.position < h.blockStart || h.position >= h.blockStart + h.blockLength) return 0;
    const size_t offset = static_cast<size_t>(h.position - h.blockStart);
    const size_t count = std::min(size, h.blockLength - offset);
    std::memcpy(out, h.block.get() + offset, count);
    h.position += count;
    return count;
}

// Fills the block from an aligned start at or before the position, so that readers going backwards
// (the search for the end of the central directory) find their bytes in it as well.
bool FillBlock(ZipFileHandle& h) {
    const uint64_t wanted = h.position;
    h.blockLength = 0;
    h.blockStart = wanted - wanted % ZipFileHandle::kBlockAlignment;
    h.position = h.blockStart;
    const DWORD read = ReadAtPosition(h, h.block.get(), static_cast<DWORD>(ZipFileHandle::kBlockSize));
    h.position = wanted;
    if (!h.ok) return false;
    h.blockLength = read;
    return true;
}

uLong ZCALLBACK ReadFileCallback(voidpf, voidpf stream, void* buffer, uLong size) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    size_t copied = h->block ? CopyFromBlock(*h, out, size) : 0;
    const size_t rest = size - copied;
    if (rest == 0) return size;
    if (!h->block || rest >= ZipFileHandle::kBlockSize) {  // large reads gain nothing from the block
        const DWORD read = ReadAtPosition(*h, out + copied, static_cast<DWORD>(rest));
        if (!h->ok) return 0;
        h->position += read;
        return static_cast<uLong>(copied + read);
    }
    while (copied < size) {
        if (!FillBlock(*h)) return 0;
        const size_t count = CopyFromBlock(*h, out + copied, size - copied);
        if (count == 0) break;  // the end of the file
        copied += count;
    }
    return static_cast<uLong>(copied);
}

uLong ZCALLBACK WriteFileCallback(voidpf, voidpf stream, const void* buffer, uLong size) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok || !SyncFilePointer(*h)) return 0;
    DWORD written = 0;
    h->ok = WriteFile(h->file.get(), buffer, size, &written, nullptr) != FALSE;
    if (!h->ok) return 0;
    // The block no longer holds what the file holds where the write went.
    if (h->position < h->blockStart + h->blockLength && h->position + written > h->blockStart) h->blockLength = 0;
    h->filePointer += written;
    h->position += written;
    return written;
}

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf stream) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return static_cast<ZPOS64_T>(-1);
    return static_cast<ZPOS64_T>(h->position);
}

// The end of the file is known only to the handle: that seek is the one made at once.
bool SeekFromEnd(ZipFileHandle& h, ZPOS64_T offset) {
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(offset);
    LARGE_INTEGER reached{};
    h.ok = SetFilePointerEx(h.file.get(), move, &reached, FILE_END) != FALSE;
    if (h.ok) h.position = h.filePointer = static_cast<uint64_t>(reached.QuadPart);
    return h.ok;
}

// A position before the start fails as the handle's own seek would.
bool SeekTo(ZipFileHandle& h, LONGLONG target) {
    h.ok = target >= 0;
    if (h.ok) h.position = static_cast<uint64_t>(target);
    return h.ok;
}

long ZCALLBACK SeekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    ZipFileHandle* h = AsHandle(stream);
    if (h == nullptr || !h->ok) return -1;
    const auto move = static_cast<LONGLONG>(offset);
    bool moved = false;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: moved = SeekTo(*h, move); break;
        case ZLIB_FILEFUNC_SEEK_CUR: moved = SeekTo(*h, static_cast<LONGLONG>(h->position) + move); break;
        case ZLIB_FILEFUNC_SEEK_END: moved = SeekFromEnd(*h, offset); break;
        default: return -1;
    }
    return moved ? 0 : -1;
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
