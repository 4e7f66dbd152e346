// A small Windows front end to the zip writer and reader, so that Linux zip tools can check what they
// write and read under Wine:
//   zip_tool add <file> <zip>              AddFileToZip; the exit code is its result
//   zip_tool pack <folder> <zip>           every file directly in the folder into the archive opened once,
//                                          as PackFolder packs (entry workers for this machine); prints the
//                                          seconds taken, elapsed and of processor time (all threads)
//   zip_tool pack-serial <folder> <zip>    the same with no workers: one file after the other
//   zip_tool pack-each <folder> <zip>      the same with one AddFileToZip call (one archive open) per file
//   zip_tool extract <zip> <entry> <file>  CopyFromZIPFile into a new file; 0 on success, 1 otherwise
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "packaging/EntryPreparation.h"
#include "packaging/FileWriter.h"
#include "packaging/ZipReader.h"
#include "packaging/ZipWriter.h"

namespace {

using namespace vondrel;

constexpr int kUsage = 2;

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return files;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(folder + L"\\" + data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    return files;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// User plus kernel time of this process so far.
double ProcessorSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

enum class PackWay { Workers, Serial, EachOpensArchive };

int Pack(const std::wstring& folder, const std::wstring& zip, PackWay way) {
    const std::vector<std::wstring> files = FilesIn(folder);
    LARGE_INTEGER start, end;
    const double processorStart = ProcessorSeconds();
    QueryPerformanceCounter(&start);
    DWORD result = kZipAddOk;
    {
        ZipArchiveAppender archive(zip);
        if (way == PackWay::EachOpensArchive) {
            for (const std::wstring& file : files)
                if (AddFileToZip(file.c_str(), zip.c_str()) != kZipAddOk) result = kZipAddFailed;
        } else {
            const unsigned workers = way == PackWay::Workers ? PreparationWorkers() : 0;
            AddFilesToZip(files, archive, workers, [&result](size_t, bool added) {
                if (!added) result = kZipAddFailed;
            });
        }
    }
    QueryPerformanceCounter(&end);
    printf("%zu files %.6f s %.6f s cpu\n", files.size(), Seconds(start, end), ProcessorSeconds() - processorStart);
    return static_cast<int>(result);
}

int Extract(const wchar_t* zip, const wchar_t* entry, const wchar_t* destination) {
    WinIOWriter writer(destination);
    return CopyFromZIPFile(zip, entry, writer) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return kUsage;
    const std::wstring command = argv[1];
    if (command == L"add" && argc == 4) return static_cast<int>(AddFileToZip(argv[2], argv[3]));
    if (command == L"pack" && argc == 4) return Pack(argv[2], argv[3], PackWay::Workers);
    if (command == L"pack-serial" && argc == 4) return Pack(argv[2], argv[3], PackWay::Serial);
    if (command == L"pack-each" && argc == 4) return Pack(argv[2], argv[3], PackWay::EachOpensArchive);
    if (command == L"extract" && argc == 5) return Extract(argv[2], argv[3], argv[4]);
    return kUsage;
}
