#include "base/PathRules.h"

#include <shlobj.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "base/Handles.h"

namespace vondrel {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool IsAbsoluteForPrefix(const wchar_t* path, size_t n) {
    if (n >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) return true;
    return n >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// A component after the first separator that ends in "." would be trimmed by the Win32 name rules;
// only the prefixed form keeps it.
bool HasComponentEndingInDot(const wchar_t* path, size_t n) {
    size_t i = 0;
    while (i < n && !IsSeparator(path[i])) ++i;
    while (i < n) {
        size_t start = ++i;
        while (i < n && !IsSeparator(path[i])) ++i;
        size_t length = i - start;
        if (length == 0) continue;
        if (length == 1 && path[start] == L'.') continue;
        if (length == 2 && path[start] == L'.' && path[start + 1] == L'.') continue;
        if (path[i - 1] == L'.') return true;
    }
    return false;
}

size_t LastSeparator(const std::wstring& path, Separators separators) {
    return path.find_last_of(separators == Separators::Backslash ? L"\\" : L"\\/");
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// Calls a "size first, then fill" path function twice; the input when either call sets the error.
template <typename Call>
std::wstring QueryPathText(const std::wstring& path, Call call) {
    SetLastError(ERROR_SUCCESS);
    DWORD n = call(0, nullptr);
    if (GetLastError() != ERROR_SUCCESS || n == 0) return path;
    std::vector<wchar_t> buffer(n + 1, L'\0');
    SetLastError(ERROR_SUCCESS);
    DWORD written = call(n, buffer.data());
    if (GetLastError() != ERROR_SUCCESS || written == 0 || written >= n + 1) return path;
    return std::wstring(buffer.data(), written);
}

}  // namespace

ExtendedPath::ExtendedPath(const wchar_t* path, size_t limit) : path_(path) {
    if (path == nullptr) return;
    const size_t n = wcslen(path);
    if (!IsAbsoluteForPrefix(path, n)) return;
    if (n <= limit && !HasComponentEndingInDot(path, n)) return;
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) return;
    try {
        if (IsSeparator(path[0]) && IsSeparator(path[1])) {
            owned_ = L"\\\\?\\UNC\\";
            owned_.append(path + 2, n - 2);
        } else {
            owned_ = L"\\\\?\\";
            owned_.append(path, n);
        }
        path_ = owned_.c_str();
    } catch (const std::bad_alloc&) {
        owned_.clear();
        path_ = path;
    }
}

std::wstring FileNameOf(const std::wstring& path, Separators separators) {
    const size_t separator = LastSeparator(path, separators);
    return separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
}

std::wstring LastComponentOf(const std::wstring& path, Separators separators) {
    const size_t separator = LastSeparator(path, separators);
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring ParentWithSeparator(const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash + 1);
}

std::wstring CollapseSeparators(const std::wstring& path) {
    if (path.size() <= 2) return path;
    std::wstring out(1, path[0]);
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == L'\\' && out.back() == L'\\' && out.size() > 1) continue;
        out += path[i];
    }
    return out;
}

DWORD FullPathName(const wchar_t* path, DWORD bufferLength, wchar_t* buffer) {
    ExtendedPath extended(path, kDefaultPathLimit);
    DWORD r = GetFullPathNameW(extended.c_str(), bufferLength, buffer, nullptr);
    if (r == 0 || r >= bufferLength) return r;
    if (StartsWith(buffer, L"\\\\?\\UNC\\")) {
        wmemmove(buffer + 2, buffer + 8, r - 8 + 1);
        return r - 6;
    }
    if (StartsWith(buffer, L"\\\\?\\")) {
        wmemmove(buffer, buffer + 4, r - 4 + 1);
        return r - 4;
    }
    return r;
}

std::wstring FullPathString(const std::wstring& path) {
    return QueryPathText(path, [&](DWORD n, wchar_t* buffer) { return FullPathName(path.c_str(), n, buffer); });
}

std::wstring LongPathString(const std::wstring& path) {
    ExtendedPath extended(path, kDefaultPathLimit);
    return QueryPathText(path, [&](DWORD n, wchar_t* buffer) { return GetLongPathNameW(extended.c_str(), buffer, n); });
}

std::wstring FullPathOf(const std::wstring& path) {
    const bool drivePath = path.size() >= 2 && path[1] == L':';
    const bool prefixedDrivePath = path.size() > 5 && path[5] == L':' && StartsWith(path.c_str(), L"\\\\?\\");
    if (drivePath || prefixedDrivePath) return CollapseSeparators(path);
    if (path.find(L'\\') == std::wstring::npos) return FullPathString(path);
    std::wstring parent = ParentWithSeparator(path);
    const std::wstring name = FileNameOf(path);
    std::wstring full = FullPathString(parent);
    if (full.find(L"\\\\.\\") == std::wstring::npos) parent = full;
    return CollapseSeparators(parent + L"\\" + name);
}

std::wstring LongPathResolver::Of(const std::wstring& path) {
    const std::wstring name = FileNameOf(path);
    if (name.find(L'~') != std::wstring::npos) return LongPathString(path);
    std::wstring parent = ParentWithSeparator(path);
    if (!resolved_ || parent != parent_) {
        longParent_ = LongPathString(parent);
        parent_ = std::move(parent);
        resolved_ = true;
    }
    return CollapseSeparators(longParent_ + L"\\" + name);
}

std::wstring LongPathOf(const std::wstring& path) { return LongPathResolver().Of(path); }

bool IsDirectory(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(ExtendedPath(path, kDefaultPathLimit).c_str(), GetFileExInfoStandard, &data)) return false;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const wchar_t* path) {
    if (path == nullptr) return false;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(ExtendedPath(path, kDefaultPathLimit).c_str(), &data));
    return find.valid();
}

bool PathExists(const std::wstring& path) {
    return PathFileExistsW(ExtendedPath(path, kDefaultPathLimit).c_str()) != FALSE;
}

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectoryTree(const std::wstring& path) {
    std::wstring full = QueryPathText(std::wstring(), [&](DWORD n, wchar_t* buffer) {
        return FullPathName(path.c_str(), n, buffer);
    });
    if (full.empty()) return false;
    if (IsDirectory(full)) return true;
    int r = SHCreateDirectory(nullptr, full.c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_EXISTS && r != ERROR_ALREADY_EXISTS) return false;
    // "Exists" also answers for a file of that name, and a path beyond the shell's limit can be
    // reported as made without being there: only a directory that is there counts.
    return IsDirectory(full);
}

bool CreateParentDirectories(const std::wstring& filePath) {
    std::wstring copy;
    try {
        copy = filePath;
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t last = copy.rfind(L'\\');
    if (last == std::wstring::npos) return true;
    copy.resize(last);
    size_t first = copy.find(L'\\');
    if (first == std::wstring::npos) return true;
    for (size_t i = copy.find(L'\\', first + 1); i != std::wstring::npos; i = copy.find(L'\\', i + 1)) {
        std::wstring prefix = copy.substr(0, i);
        CreateDirectoryW(ExtendedPath(prefix, kDefaultPathLimit).c_str(), nullptr);
    }
    CreateDirectoryW(ExtendedPath(copy, kDefaultPathLimit).c_str(), nullptr);
    return true;
}

namespace {

// The content of a work folder is deleted here, one call per file and folder: the shell's own walk
// costs milliseconds a folder under Wine, and a work folder holds a folder tree per sample. Restored
// files keep their read-only bit, which would keep them (and so the folder) from going; it is cleared
// first. Names that need the long-path prefix (MAX_PATH or longer, or a component ending in ".") go
// through their prefixed form: Windows' shell refuses them, and Wine's was seen deleting files of the
// process's current folder instead. Links are not followed; what cannot be deleted here is left to the
// shell, whose error code then tells the caller.
constexpr size_t kDeletePathLimit = MAX_PATH - 1;  // the longest name deleted without the prefix

// True when every entry of the folder went, so that the folder is empty now.
bool DeleteTreeContent(const std::wstring& folder, int depth) {
    if (depth > 64) return false;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileExtended(folder + L"\\*", &data));
    if (!find) return false;
    bool allGone = true;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        const bool isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDirectory && isLink) {
            const bool prefixed = ExtendedPath(path, kDeletePathLimit).prefixed();
            allGone = prefixed && RemoveDirectoryW(ExtendedPath(path, 0).c_str()) && allGone;
            continue;
        }
        const ExtendedPath extended(path, kDeletePathLimit);
        if (isDirectory) {
            const bool emptied = DeleteTreeContent(path, depth + 1);
            allGone = RemoveDirectoryW(extended.c_str()) && emptied && allGone;
            continue;
        }
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(extended.c_str(), data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        }
        allGone = DeleteFileW(extended.c_str()) && allGone;
    } while (FindNextFileW(find.get(), &data));
    return allGone && GetLastError() == ERROR_NO_MORE_FILES;
}

// The shell deletes without a word: nobody sits at the console of a run.
constexpr FILEOP_FLAGS kQuietDelete = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;

}  // namespace

DWORD RemoveDirectoryTree(const wchar_t* folder) {
    if (folder == nullptr || *folder == L'\0') return ERROR_INVALID_PARAMETER;
    const ExtendedPath extended(folder, kDefaultPathLimit);
    if (DeleteTreeContent(folder, 0)) return RemoveDirectoryW(extended.c_str()) ? ERROR_SUCCESS : GetLastError();
    std::wstring source(folder);
    source += L"\\*.*";
    source.push_back(L'\0');
    source.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = source.c_str();
    operation.fFlags = kQuietDelete;
    DWORD result = static_cast<DWORD>(SHFileOperationW(&operation));
    if (result == 0 && !RemoveDirectoryW(extended.c_str())) result = GetLastError();
    return result;
}

HANDLE CreateFileExtended(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return CreateFileW(ExtendedPath(path, kCreateFileLimit).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

HANDLE FindFirstFileExtended(const std::wstring& path, WIN32_FIND_DATAW* data) {
    return FindFirstFileW(ExtendedPath(path, kDefaultPathLimit).c_str(), data);
}

BOOL DeleteFileExtended(const std::wstring& path) {
    return DeleteFileW(ExtendedPath(path, kDefaultPathLimit).c_str());
}

}  // namespace vondrel
