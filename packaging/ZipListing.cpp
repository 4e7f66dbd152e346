#include "packaging/ZipListing.h"

#include <unzip.h>

#include "base/TextConvert.h"
#include "packaging/ZipReader.h"
#include "packaging/ZipWriter.h"

namespace vondrel {
namespace {

// Local header (30 bytes) and central directory header (46 bytes), each followed by the name; a
// Zip64 extra field of up to 32 bytes in each for large entries.
constexpr uint64_t kHeaderBytes = 30 + 46;
constexpr uint64_t kZip64ExtraBytes = 2 * 32;

bool CurrentEntry(unzFile zip, ZipListingEntry& entry) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    std::string name(info.size_filename, '\0');
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    entry.name = Utf8ToWide(name);
    entry.archiveBytes = info.compressed_size + kHeaderBytes + 2 * name.size() + info.size_file_extra;
    if (NeedsZip64(info.uncompressed_size) || NeedsZip64(info.compressed_size)) entry.archiveBytes += kZip64ExtraBytes;
    return true;
}

}  // namespace

bool ListZipEntries(const std::wstring& zipPath, std::vector<ZipListingEntry>& entries) {
    entries.clear();
    zlib_filefunc64_def functions = ZipFileFunctions();
    UniqueUnzipArchive zip(unzOpen2_64(zipPath.c_str(), &functions));
    if (!zip) return false;
    int status = unzGoToFirstFile(zip.get());
    for (; status == UNZ_OK; status = unzGoToNextFile(zip.get())) {
        ZipListingEntry entry;
        if (!CurrentEntry(zip.get(), entry)) return false;
        entries.push_back(std::move(entry));
    }
    return status == UNZ_END_OF_LIST_OF_FILE;
}

}  // namespace vondrel
