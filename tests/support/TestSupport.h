// Helpers for the Windows test programs: temporary folders that clean up after themselves, whole-file
// reads and writes, and the Windows form of the fixture folders that the Linux-side set-up writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vondrel::test {

// A fresh folder under the prefix's temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::vector<uint8_t> ReadBytes(const std::wstring& path);
std::string ReadText(const std::wstring& path);  // the bytes as they are
void WriteBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::wstring& path, const std::string& bytes);

// The names directly inside a folder, "." and ".." left out, sorted.
std::vector<std::wstring> NamesIn(const std::wstring& folder);

// "/a/b" -> "Z:\a\b": a Unix path as Wine's Z: drive shows it.
std::wstring FromUnixPath(const std::string& unixPath);
// The value of an environment variable that ctest sets ("" when missing).
std::string Env(const char* name);
// A folder of fixtures made by a ctest set-up step: <build dir>/fixtures/<name>, Windows form.
std::wstring FixtureDir(const std::string& name);
// The source tree, Windows form.
std::wstring SourceDir();

// The lines the tool's log gained since construction (without their time stamps). Tests that use it
// take the data-folder resource lock, since every test program of the run shares the one log file.
class LogCapture {
public:
    LogCapture();  // creates the data folder when it is missing
    std::vector<std::wstring> Lines() const;       // messages only, time stamp removed
    std::vector<std::string> RawLines() const;      // whole lines as bytes, CR LF removed
    bool Contains(const std::wstring& message) const;

private:
    uint64_t start_ = 0;
};

}  // namespace vondrel::test
