// Runs one hand-off of the restore code for the pytest modules, which check the outcome with Linux
// peers or run it under limits a Windows test program cannot set for itself.
//   restore_tool pack <quarantine folder> <folder> [<name of a file to hold locked>]
//   restore_tool restore <zip backup> <original path> <destination folder>
// Prints "code=<n>" (and " restored=<n>" for restore) and exits 0; 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/Handles.h"
#include "quarantine/restore/FileRestore.h"
#include "quarantine/restore/Handoffs.h"
#include "quarantine/store/QuarManager.h"
#include "tests/quarantine/restore/RestoreRows.h"

namespace {

using namespace vondrel;

int Pack(const std::wstring& quarantineFolder, const std::wstring& folder, const wchar_t* lockedName) {
    QuarantineHandle handle = 0;
    // The first open of a folder without catalogue creates it and reports the import step.
    if (OpenBackup(quarantineFolder.c_str(), &handle) != kStoreOk &&
        OpenBackup(quarantineFolder.c_str(), &handle) != kStoreOk) {
        std::printf("open failed\n");
        return 1;
    }
    UniqueFile locked;
    if (lockedName) {
        const std::wstring path = folder + L"\\" + lockedName;
        locked.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!locked) {
            std::printf("lock failed\n");
            return 1;
        }
    }
    std::printf("code=%u\n", PackFolder(folder.c_str(), handle));
    StoreLockHolder lock;
    ReleaseBackup(handle);
    return 0;
}

int Restore(const std::wstring& zip, const std::wstring& originalPath, const std::wstring& folder) {
    test::FileRows rows({test::ZipRow(originalPath, zip)});
    unsigned restored = 0;
    const uint32_t code = RestoreFiles(nullptr, rows, folder.c_str(), &restored);
    std::printf("code=%u restored=%u\n", code, restored);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"pack" && (argc == 4 || argc == 5)) return Pack(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (command == L"restore" && argc == 5) return Restore(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: restore_tool pack|restore ...\n");
    return 2;
}
