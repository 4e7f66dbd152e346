#include "packaging/ZipReader.h"

#include <unzip.h>

#include <vector>

#include "base/TextConvert.h"
#include "packaging/ZipWriter.h"

namespace vondrel {
namespace {

constexpr size_t kMaxNameBytes = 65536;
constexpr unsigned kReadBlockSize = 32768;

bool HasHighBit(char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; }

char FoldAscii(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    if (c == '/') return '\\';
    return c;
}

char FoldSeparator(char c) { return c == '/' ? '\\' : c; }

bool NonAsciiRestEqual(const char* a, const char* b) {
    const std::string lowerA = LowerUtf8(a);
    const std::string lowerB = LowerUtf8(b);
    if (lowerA.size() != lowerB.size()) return false;
    for (size_t i = 0; i < lowerA.size(); ++i) {
        if (FoldSeparator(lowerA[i]) != FoldSeparator(lowerB[i])) return false;
    }
    return true;
}

// Makes the first entry whose stored name matches the current one.
bool LocateEntry(unzFile zip, const std::string& name) {
    if (name.size() >= kMaxNameBytes) return false;
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK || global.number_entry == 0) return false;
    std::vector<char> stored(kMaxNameBytes + 1, '\0');
    for (int err = unzGoToFirstFile(zip); err == UNZ_OK; err = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, stored.data(), kMaxNameBytes, nullptr, 0, nullptr, 0) != UNZ_OK) {
            return false;
        }
        if (EntryNamesEqual(stored.data(), name.c_str())) return true;
    }
    return false;
}

// Inflates the current entry into the writer; true when it reached the end of the entry. A damaged
// stream can end at a spurious last block short of the entry's size, and then closing the entry checks
// no CRC, so only a stream that delivered every stated byte counts as read.
bool CopyEntryContent(unzFile zip, FileWriter& writer) {
    std::vector<char> block(kReadBlockSize, '\0');
    for (;;) {
        const int count = unzReadCurrentFile(zip, block.data(), kReadBlockSize);
        if (count == 0) return unzeof(zip) == 1;
        if (count < 0) return false;
        if (!writer.Write(block.data(), static_cast<DWORD>(count))) return false;
    }
}

bool CopyOpenedEntry(unzFile zip, FileWriter& writer) {
    if (!writer.Open()) {
        unzCloseCurrentFile(zip);
        return false;
    }
    bool copied = false;
    try {
        copied = CopyEntryContent(zip, writer);
    } catch (const std::bad_alloc&) {
        copied = false;
    }
    writer.Close();
    // Closing reports a CRC mismatch: corrupt content, or content decrypted with another password.
    const bool crcMatches = unzCloseCurrentFile(zip) == UNZ_OK;
    return copied && crcMatches;
}

}  // namespace

bool CopyFromZIPFile(const wchar_t* zipPath, const wchar_t* entryName, FileWriter& writer) {
    if (zipPath == nullptr || entryName == nullptr) return false;
    try {
        zlib_filefunc64_def functions = ZipFileFunctions();
        UniqueUnzipArchive zip(unzOpen2_64(zipPath, &functions));
        if (!zip) return false;
        std::string name;
        if (!ToUtf8(entryName, name)) return false;
        if (!LocateEntry(zip.get(), name)) return false;
        if (unzOpenCurrentFilePassword(zip.get(), kArchivePassword) != UNZ_OK) return false;
        return CopyOpenedEntry(zip.get(), writer);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool EntryNamesEqual(const char* stored, const char* requested) {
    size_t i = 0;
    for (; stored[i] != '\0'; ++i) {
        if (requested[i] == '\0') return false;
        if (HasHighBit(stored[i]) || HasHighBit(requested[i])) return NonAsciiRestEqual(stored + i, requested + i);
        if (FoldAscii(stored[i]) != FoldAscii(requested[i])) return false;
    }
    return requested[i] == '\0';
}

std::string LowerUtf8(const std::string& text) {
    if (text.empty()) return text;
    std::wstring wide = Utf8ToWide(text);
    if (wide.empty()) return text;
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    std::string lower = WideToUtf8(wide);
    return lower.empty() ? text : lower;
}

}  // namespace vondrel
