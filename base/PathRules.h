// Path rules every file-system call of the tool follows: the long-path prefix for paths that are too
// long for a call or have a component ending in ".", full and long names without that prefix leaking
// into stored text, and the small file and directory operations built on them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace vondrel {

constexpr size_t kCreateFileLimit = 248;  // CreateFileW
constexpr size_t kDefaultPathLimit = 260;  // every other file-system call

// The text to hand to one system call: the caller's path, or a "\\?\" / "\\?\UNC\" prefixed copy.
class ExtendedPath {
public:
    ExtendedPath(const wchar_t* path, size_t limit);
    ExtendedPath(const std::wstring& path, size_t limit) : ExtendedPath(path.c_str(), limit) {}
    ExtendedPath(const ExtendedPath&) = delete;
    ExtendedPath& operator=(const ExtendedPath&) = delete;

    const wchar_t* c_str() const { return path_; }
    bool prefixed() const { return !owned_.empty(); }

private:
    const wchar_t* path_ = nullptr;
    std::wstring owned_;
};

// The separators a path's last component is cut at: "\" alone, or "\" and "/".
enum class Separators { Backslash, BackslashOrSlash };
// The text after the path's last separator; "" when it has none.
std::wstring FileNameOf(const std::wstring& path, Separators separators = Separators::Backslash);
// The same, but a path without a separator is its own last component.
std::wstring LastComponentOf(const std::wstring& path, Separators separators = Separators::Backslash);
std::wstring ParentWithSeparator(const std::wstring& path);
std::wstring CollapseSeparators(const std::wstring& path);
DWORD FullPathName(const wchar_t* path, DWORD bufferLength, wchar_t* buffer);
std::wstring FullPathString(const std::wstring& path);
std::wstring LongPathString(const std::wstring& path);
std::wstring FullPathOf(const std::wstring& path);
std::wstring LongPathOf(const std::wstring& path);

// LongPathOf for the files of one folder: GetLongPathNameW opens every ancestor folder, so the long
// form of the last parent is kept and a folder of files costs one walk, not one a file.
class LongPathResolver {
public:
    std::wstring Of(const std::wstring& path);

private:
    bool resolved_ = false;
    std::wstring parent_;
    std::wstring longParent_;
};
bool IsDirectory(const std::wstring& path);
// Whether something is there, each asked the way its callers have always asked it:
// FileExists: FindFirstFileW finds the path (a file or folder; a wildcard matches). False for null.
bool FileExists(const wchar_t* path);
// PathFileExistsW (a file or folder), through ExtendedPath.
bool PathExists(const std::wstring& path);
// GetFileAttributesW on the path as given: something is there and it is not a folder.
bool IsExistingFile(const std::wstring& path);
bool CreateDirectoryTree(const std::wstring& path);
bool CreateParentDirectories(const std::wstring& filePath);
DWORD RemoveDirectoryTree(const wchar_t* folder);

// Thin wrappers: the path goes through ExtendedPath with the call's limit.
HANDLE CreateFileExtended(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
HANDLE FindFirstFileExtended(const std::wstring& path, WIN32_FIND_DATAW* data);
BOOL DeleteFileExtended(const std::wstring& path);

}  // namespace vondrel
