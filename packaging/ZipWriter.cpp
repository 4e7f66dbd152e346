#include "packaging/ZipWriter.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

#include "base/PathRules.h"
#include "base/QuarFileStream.h"
#include "base/TextConvert.h"

namespace vondrel {
namespace {

// General purpose bit 11: the entry's name is UTF-8. Readers take a name without it as code page 437.
constexpr uLong kUtf8NameFlag = 0x800;
// Version made by, host NTFS (11): Info-ZIP's unzip converts the names of entries made on a FAT host
// (0) from the OEM code page whatever their flags say.
constexpr uLong kMadeOnNtfs = 11u << 8;
// 1980-01-01 00:00:00, the earliest time a DOS date can hold.
constexpr uLong kEarliestDosDateTime = (((0u << 9) | (1u << 5) | 1u) << 16) | 0u;

using Buffer = std::vector<unsigned char>;

bool SeekToStart(IStream* stream) {
    LARGE_INTEGER start{};
    return SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr));
}

// Reads the next block; false on a failing read, else *count is 0 at the end of the stream.
bool ReadBlock(IStream* stream, Buffer& buffer, ULONG* count) {
    *count = 0;
    return SUCCEEDED(stream->Read(buffer.data(), kStreamBufferSize, count));
}

// The CRC-32 of the whole stream, which the encryption header needs before any content is written.
bool StreamCrc(IStream* stream, Buffer& buffer, uLong* crc) {
    *crc = crc32(0L, Z_NULL, 0);
    if (!SeekToStart(stream)) return false;
    ULONG count = 0;
    while (ReadBlock(stream, buffer, &count)) {
        if (count == 0) return true;
        *crc = crc32(*crc, buffer.data(), count);
    }
    return false;
}

// Writes the stream into the entry; false when a read fails or the content is not the content the
// header's CRC was computed over (the file changed between the passes).
bool CopyStreamToEntry(IStream* stream, Buffer& buffer, uLong expectedCrc, ZipEntryWriter& writer) {
    uLong crc = crc32(0L, Z_NULL, 0);
    ULONG count = 0;
    while (ReadBlock(stream, buffer, &count)) {
        if (count == 0) return crc == expectedCrc;
        writer.Write(buffer.data(), count);
        crc = crc32(crc, buffer.data(), count);
    }
    return false;
}

zip_fileinfo EntryInfo(uLong dosDateTime) {
    zip_fileinfo info{};
    info.dosDate = dosDateTime;
    info.internal_fa = 0;
    info.external_fa = 0;
    return info;
}

// "\\server\share\rest" becomes "rest"; when the server or share part is not closed, the path keeps
// what it has become so far and the result is false.
bool DropServerAndShare(std::wstring& path) {
    const size_t serverEnd = path.find(L'\\', 3);
    if (serverEnd == std::wstring::npos) return false;
    path.erase(0, serverEnd + 1);
    if (path.empty()) return false;
    const size_t shareEnd = path.find(L'\\');
    if (shareEnd == std::wstring::npos) return false;
    path.erase(0, shareEnd + 1);
    return true;
}

bool IsAscii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F) return false;
    }
    return true;
}

// Opens the archive for adding, or creates it (truncating what is there) when that fails.
UniqueZipArchive OpenForAdding(zlib_filefunc64_def* functions, const wchar_t* zipPath) {
    UniqueZipArchive zip(zipOpen2_64(zipPath, APPEND_STATUS_ADDINZIP, nullptr, functions));
    if (!zip) zip.reset(zipOpen2_64(zipPath, APPEND_STATUS_CREATE, nullptr, functions));
    if (!zip) throw std::runtime_error(ZipEntryWriter::kOpenFailed);
    return zip;
}

}  // namespace

uLong DosDateTimeOf(const FILETIME& time) {
    WORD date = 0;
    WORD clock = 0;
    if (!FileTimeToDosDateTime(&time, &date, &clock)) return kEarliestDosDateTime;
    return (static_cast<uLong>(date) << 16) | clock;
}

EntryNameEncoding EncodingOfEntryName(const std::string& utf8Name) {
    if (IsAscii(utf8Name)) return {};
    return {kUtf8NameFlag, kMadeOnNtfs};
}

ZipArchiveAppender::ZipArchiveAppender(std::wstring zipPath)
    : path_(std::move(zipPath)), functions_(ZipFileFunctions()) {}

zipFile ZipArchiveAppender::Archive() {
    if (!zip_) zip_ = OpenForAdding(&functions_, path_.c_str());
    return zip_.get();
}

ZipEntryWriter::ZipEntryWriter(zlib_filefunc64_def* functions, const wchar_t* zipPath, const wchar_t* entryName,
                               uLong dosDateTime, uint64_t size, uLong crc) {
    owned_ = OpenForAdding(functions, zipPath);
    zip_ = owned_.get();
    OpenEntry(entryName, dosDateTime, size, crc, nullptr);
}

ZipEntryWriter::ZipEntryWriter(ZipArchiveAppender& archive, const wchar_t* entryName, uLong dosDateTime,
                               uint64_t size, uLong crc)
    : zip_(archive.Archive()) {
    OpenEntry(entryName, dosDateTime, size, crc, nullptr);
}

ZipEntryWriter::ZipEntryWriter(ZipArchiveAppender& archive, const wchar_t* entryName, uLong dosDateTime,
                               uint64_t size, uLong crc, Raw raw)
    : zip_(archive.Archive()), raw_(true), rawSize_(size), rawCrc_(crc) {
    OpenEntry(entryName, dosDateTime, size, crc, &raw);
}

void ZipEntryWriter::OpenEntry(const wchar_t* entryName, uLong dosDateTime, uint64_t size, uLong crc,
                               const Raw* raw) {
    std::string name;
    if (entryName == nullptr || !ToUtf8(entryName, name)) throw std::runtime_error(kInvalidName);
    zip_fileinfo info = EntryInfo(dosDateTime);
    if (raw != nullptr && raw->text) info.internal_fa = Z_TEXT;
    const EntryNameEncoding encoding = EncodingOfEntryName(name);
    const int rawData = raw != nullptr ? 1 : 0;
    const int result = zipOpenNewFileInZip4_64(zip_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                               Z_DEFLATED, kCompressionLevel, rawData, -MAX_WBITS, kMemoryLevel,
                                               Z_DEFAULT_STRATEGY, kArchivePassword, crc, encoding.versionMadeBy,
                                               encoding.flags, NeedsZip64(size) ? 1 : 0);
    if (result != ZIP_OK) throw std::runtime_error(kOpenEntryFailed);
    entryOpen_ = true;
}

ZipEntryWriter::~ZipEntryWriter() {
    if (!entryOpen_) return;
    if (raw_) zipCloseFileInZipRaw64(zip_, rawSize_, rawCrc_);
    else zipCloseFileInZip(zip_);
}

void ZipEntryWriter::Write(const void* buffer, unsigned length) {
    if (zip_ == nullptr || !entryOpen_) throw std::runtime_error(kWriteFailed);
    if (length == 0) return;
    if (zipWriteInFileInZip(zip_, buffer, length) != ZIP_OK) throw std::runtime_error(kWriteFailed);
}

bool AddStreamToZip(IStream* stream, const wchar_t* entryName, ZipArchiveAppender& archive) {
    if (stream == nullptr || entryName == nullptr) return false;
    try {
        std::wstring name(entryName);
        ZipEntryNameFromPath(name);
        Buffer buffer(kStreamBufferSize, 0);
        uLong crc = 0;
        if (!StreamCrc(stream, buffer, &crc) || !SeekToStart(stream)) return false;
        STATSTG stat{};
        if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return false;
        ZipEntryWriter writer(archive, name.c_str(), DosDateTimeOf(stat.mtime), stat.cbSize.QuadPart, crc);
        return CopyStreamToEntry(stream, buffer, crc, writer);
    } catch (const std::exception&) {
        return false;
    }
}

bool AddStreamToZip(IStream* stream, const wchar_t* entryName, const wchar_t* zipPath) {
    if (zipPath == nullptr) return false;
    try {
        ZipArchiveAppender archive(zipPath);
        return AddStreamToZip(stream, entryName, archive);
    } catch (const std::exception&) {
        return false;
    }
}

DWORD AddFileToZip(const wchar_t* filePath, ZipArchiveAppender& archive) {
    if (filePath == nullptr) return kZipAddNullPath;
    try {
        LongPathResolver longPaths;
        return AddResolvedFileToZip(longPaths.Of(FullPathOf(filePath)), archive);
    } catch (const std::exception&) {
        return kZipAddFailed;
    }
}

DWORD AddResolvedFileToZip(const std::wstring& path, ZipArchiveAppender& archive) {
    try {
        ComPtr<IStream> stream;
        if (FAILED(QuarFileStream::Open(path.c_str(), stream.put())) || !stream) return kZipAddFailed;
        const std::wstring name = FileNameOf(path);
        return AddStreamToZip(stream.get(), name.c_str(), archive) ? kZipAddOk : kZipAddFailed;
    } catch (const std::exception&) {
        return kZipAddFailed;
    }
}

DWORD AddFileToZip(const wchar_t* filePath, const wchar_t* zipPath) {
    if (filePath == nullptr || zipPath == nullptr) return kZipAddNullPath;
    try {
        ZipArchiveAppender archive(zipPath);
        return AddFileToZip(filePath, archive);
    } catch (const std::exception&) {
        return kZipAddFailed;
    }
}

bool ZipEntryNameFromPath(std::wstring& path) {
    bool recognised = false;
    if (path.size() > 2 && path[1] == L':') {
        path.erase(0, 3);
        recognised = true;
    } else if (path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\') {
        recognised = DropServerAndShare(path);
    }
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return recognised;
}

}  // namespace vondrel
