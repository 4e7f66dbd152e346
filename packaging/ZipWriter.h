// Writes files as deflated entries, encrypted with the archive password, into a zip archive through
// minizip's 64-bit interface over the Win32 file API; also the entry-name and UTF-8 rules the reader
// shares with it.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <ioapi.h>
#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/Handles.h"
#include "base/PathRules.h"

namespace vondrel {

// Encrypts every entry written and decrypts every backup entry read.
constexpr char kArchivePassword[] = "vermilio";

// AddFileToZip's results.
constexpr DWORD kZipAddOk = 0;
constexpr DWORD kZipAddNullPath = 1;
constexpr DWORD kZipAddFailed = 9;

// The handle record of ZipFileFunctions: ok is the result of the last call on the handle. Reads go
// through a block of the file's bytes (minizip reads its headers a few bytes at a time and seeks
// between them): reads and seeks inside the block, and every tell, cost no call. position is where
// minizip stands; filePointer where the handle stands, moved only before a read or write.
struct ZipFileHandle {
    static constexpr size_t kBlockSize = 65536;
    static constexpr uint64_t kBlockAlignment = 32768;

    UniqueFile file;
    bool ok = false;
    std::unique_ptr<unsigned char[]> block;  // null when it could not be allocated: reads go direct
    uint64_t blockStart = 0;
    size_t blockLength = 0;
    uint64_t position = 0;
    uint64_t filePointer = 0;
};

// minizip's file-access callbacks over CreateFileW/ReadFile/WriteFile/SetFilePointerEx; the file
// name handed to zipOpen2_64/unzOpen2_64 is a UTF-16 path.
zlib_filefunc64_def ZipFileFunctions();

// Owns an archive opened by zipOpen2_64; closing keeps the comment an appended archive had.
struct ZipArchiveTraits {
    using pointer = zipFile;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer zip) noexcept { zipClose(zip, nullptr); }
};
using UniqueZipArchive = UniqueResource<ZipArchiveTraits>;

// The deflate settings of every entry written, and the size of the blocks the content is fed in.
constexpr int kCompressionLevel = 3;
constexpr int kMemoryLevel = 8;
constexpr ULONG kStreamBufferSize = 32768;

// A file time as the DOS date (high 16 bits) and time (low 16 bits) of a zip header.
uLong DosDateTimeOf(const FILETIME& time);

// Entries of this size and larger need the Zip64 extension.
constexpr uint64_t kZip64Threshold = 0xFFFFFFFFull;
inline bool NeedsZip64(uint64_t size) { return size >= kZip64Threshold; }

// An archive opened for adding (or created when that fails) on the first entry that reaches it, and
// closed once when the object goes: a folder of n files reads and rewrites the central directory once
// rather than n times. Until an entry reaches it, the file on disk is not touched.
class ZipArchiveAppender {
public:
    explicit ZipArchiveAppender(std::wstring zipPath);
    ZipArchiveAppender(const ZipArchiveAppender&) = delete;
    ZipArchiveAppender& operator=(const ZipArchiveAppender&) = delete;

    // The open archive; raises ZipEntryWriter::kOpenFailed when it cannot be opened (a later call
    // tries again).
    zipFile Archive();

private:
    std::wstring path_;
    zlib_filefunc64_def functions_;
    UniqueZipArchive zip_;
};

// One new entry in an archive: the constructor opens the entry (and, given a path, the archive),
// Write appends content, the destructor closes the entry and then an archive it opened. Failures
// raise std::runtime_error with the texts below.
class ZipEntryWriter {
public:
    static constexpr const char* kOpenFailed = "zipOpen2_64 failed.";
    static constexpr const char* kInvalidName = "zipOpen2_64 failed. (Invalid UTF-16).";
    static constexpr const char* kOpenEntryFailed = "zipOpenNewFileInZip3_64 failed.";
    static constexpr const char* kWriteFailed = "zipWriteInFileInZip failed";

    // dosDateTime: DOS date in the high 16 bits, time in the low 16 bits. crc: CRC-32 of the whole
    // content, which the encryption header needs before the content is written.
    ZipEntryWriter(zlib_filefunc64_def* functions, const wchar_t* zipPath, const wchar_t* entryName,
                   uLong dosDateTime, uint64_t size, uLong crc);
    // The entry goes into the appender's archive, which stays open after it.
    ZipEntryWriter(ZipArchiveAppender& archive, const wchar_t* entryName, uLong dosDateTime, uint64_t size,
                   uLong crc);
    // A raw entry: Write takes content deflated already with the settings above, which the entry
    // encrypts as it would its own; size and crc are those of the uncompressed content, and text is
    // what deflate judged the content to be (the central directory's text bit, which the writer's
    // own deflate sets).
    struct Raw {
        bool text;
    };
    ZipEntryWriter(ZipArchiveAppender& archive, const wchar_t* entryName, uLong dosDateTime, uint64_t size,
                   uLong crc, Raw);
    ~ZipEntryWriter();
    ZipEntryWriter(const ZipEntryWriter&) = delete;
    ZipEntryWriter& operator=(const ZipEntryWriter&) = delete;

    void Write(const void* buffer, unsigned length);

private:
    void OpenEntry(const wchar_t* entryName, uLong dosDateTime, uint64_t size, uLong crc, const Raw* raw);

    UniqueZipArchive owned_;
    zipFile zip_ = nullptr;
    bool entryOpen_ = false;
    bool raw_ = false;
    uint64_t rawSize_ = 0;
    uLong rawCrc_ = 0;
};

// Appends the whole stream (read from its start) as one entry; false when it could not be read or
// added.
bool AddStreamToZip(IStream* stream, const wchar_t* entryName, const wchar_t* zipPath);
bool AddStreamToZip(IStream* stream, const wchar_t* entryName, ZipArchiveAppender& archive);

// Adds one file under its file name: kZipAddOk, kZipAddNullPath, or kZipAddFailed.
DWORD AddFileToZip(const wchar_t* filePath, const wchar_t* zipPath);
// The same into an archive kept open across calls; the archive bytes are those of the calls above.
DWORD AddFileToZip(const wchar_t* filePath, ZipArchiveAppender& archive);
// The same for a path that is already long and full, as LongPathResolver gives it.
DWORD AddResolvedFileToZip(const std::wstring& path, ZipArchiveAppender& archive);

// Rewrites a Windows path in place into an entry name ("C:\a\b" and "\\srv\share\a\b" give "a/b");
// true when a drive or share prefix was recognised and dropped.
bool ZipEntryNameFromPath(std::wstring& path);

// What an entry's name asks for in its headers. A pure ASCII name: no flag bits and version made by 0
// (encryption adds flag bit 0). Any other name: the UTF-8 flag (general purpose bit 11) and version made
// by NTFS, so that every reader takes the bytes as UTF-8.
struct EntryNameEncoding {
    uLong flags = 0;
    uLong versionMadeBy = 0;
};
EntryNameEncoding EncodingOfEntryName(const std::string& utf8Name);

}  // namespace vondrel
