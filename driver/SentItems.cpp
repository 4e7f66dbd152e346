#include "driver/SentItems.h"

#include <windows.h>

#include <string>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "base/TextWriter.h"

namespace vondrel {
namespace {

// Beside the cache, so that moving it over the cache stays on one volume.
constexpr const wchar_t* kSentItemsTempSuffix = L".tmp";

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    UniqueFile file(CreateFileExtended(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL));
    if (!file) return false;
    bytes.clear();
    char block[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), block, sizeof block, &read, nullptr) && read != 0) bytes.append(block, read);
    return true;
}

// The lines of a text-mode file: CR LF read as a line feed, each byte one character, a last line
// without its line end kept.
SentItemSet LinesOf(const std::string& bytes) {
    SentItemSet lines;
    std::wstring line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        if (byte != '\n') {
            line += static_cast<wchar_t>(byte);
            continue;
        }
        lines.insert(line);
        line.clear();
    }
    if (!line.empty()) lines.insert(line);
    return lines;
}

bool WriteSentItemsFile(const std::wstring& path, const SentItemSet& sentItems) {
    TextFile file;
    if (!file.Open(path, TextFile::Mode::CreateAlways)) return false;
    for (const auto& item : sentItems) {
        if (!file.Write(item + L"\n")) return false;
    }
    return file.Flush();
}

}  // namespace

std::wstring SentItemsFilePath(const std::wstring& folder) { return folder + L"\\" + kSentItemsFileName; }

bool LoadSentItems(const std::wstring& folder, SentItemSet& sentItems) {
    if (folder.empty()) return false;
    std::string bytes;
    if (!ReadWholeFile(SentItemsFilePath(folder), bytes)) return false;
    sentItems = LinesOf(bytes);
    return true;
}

bool SaveSentItems(const std::wstring& folder, const SentItemSet& sentItems) {
    if (folder.empty()) return false;
    const std::wstring path = SentItemsFilePath(folder);
    const std::wstring temporary = path + kSentItemsTempSuffix;
    if (!WriteSentItemsFile(temporary, sentItems)) {
        DeleteFileExtended(temporary);
        return false;
    }
    ReachTestPoint(TestPoint::CacheWritten);
    const bool replaced = MoveFileExW(ExtendedPath(temporary, kDefaultPathLimit).c_str(),
                                      ExtendedPath(path, kDefaultPathLimit).c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!replaced) DeleteFileExtended(temporary);
    return replaced;
}

}  // namespace vondrel
