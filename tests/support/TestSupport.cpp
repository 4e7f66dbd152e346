#include "tests/support/TestSupport.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "base/Handles.h"
#include "base/Log.h"
#include "base/PathRules.h"

namespace vondrel::test {

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
    GUID guid;
    CoCreateGuid(&guid);
    wchar_t name[64];
    swprintf(name, 64, L"vt_%08lx%04x", static_cast<unsigned long>(guid.Data1), guid.Data2);
    path_ = std::wstring(base) + name;
    if (!CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("CreateDirectoryW failed");
}

TempDir::~TempDir() {
    // Read-only files would stop the removal.
    std::wstring pattern = path_ + L"\\*";
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(pattern.c_str(), &data));
    if (find) {
        do {
            std::wstring full = path_ + L"\\" + data.cFileName;
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        } while (FindNextFileW(find.get(), &data));
    }
    RemoveDirectoryTree(path_.c_str());
}

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
    UniqueFile file(CreateFileExtended(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (!file) throw std::runtime_error("cannot open file for reading");
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
}

std::string ReadText(const std::wstring& path) {
    std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    UniqueFile file(CreateFileExtended(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    if (!file) throw std::runtime_error("cannot create file");
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size()))
        throw std::runtime_error("cannot write file");
}

void WriteText(const std::wstring& path, const std::string& bytes) {
    WriteBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::wstring> NamesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileExtended(folder + L"\\*", &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring FromUnixPath(const std::string& unixPath) {
    std::wstring out = L"Z:";
    for (char c : unixPath) out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    if (value != nullptr) return value;
    // The folders are known at build time too.
    if (std::string(name) == "VONDREL_SOURCE_DIR") return VONDREL_TEST_SOURCE_DIR;
    if (std::string(name) == "VONDREL_BINARY_DIR") return VONDREL_TEST_BINARY_DIR;
    return "";
}

std::wstring FixtureDir(const std::string& name) {
    return FromUnixPath(std::string(VONDREL_TEST_BINARY_DIR) + "/fixtures/" + name);
}

std::wstring SourceDir() { return FromUnixPath(VONDREL_TEST_SOURCE_DIR); }

namespace {

std::string LogBytesFrom(uint64_t offset) {
    UniqueFile file(CreateFileW(LogFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN);
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

}  // namespace

LogCapture::LogCapture() {
    CreateDirectoryW(L"C:\\ProgramData\\Norvane", nullptr);
    CreateDirectoryW(L"C:\\ProgramData\\Norvane\\Vondrel", nullptr);
    start_ = LogBytesFrom(0).size();
}

std::vector<std::string> LogCapture::RawLines() const {
    std::vector<std::string> lines;
    std::string bytes = LogBytesFrom(start_);
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::vector<std::wstring> LogCapture::Lines() const {
    std::vector<std::wstring> lines;
    for (const std::string& raw : RawLines()) {
        // "h:m:s d-m-y " is the first blank-separated field pair.
        size_t first = raw.find(' ');
        size_t second = first == std::string::npos ? std::string::npos : raw.find(' ', first + 1);
        std::string message = second == std::string::npos ? raw : raw.substr(second + 1);
        std::wstring wide;
        for (char c : message) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
        lines.push_back(wide);
    }
    return lines;
}

bool LogCapture::Contains(const std::wstring& message) const {
    for (const std::wstring& line : Lines())
        if (line == message) return true;
    return false;
}

}  // namespace vondrel::test
