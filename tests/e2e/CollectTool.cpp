// Runs the submission path with the switches that no command-line option sets: "noupload" collects
// and packs but keeps the archive in the upload folder; "segregate" takes the extract-only path.
// Usage: collect_tool.exe noupload|segregate <quarantine folder> <email>. Exit code 0 when the path
// reported success.
#include <cwchar>

#include "driver/Run.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    vondrel::RunSettings settings;
    settings.noUpload = true;
    settings.segregate = wcscmp(argv[1], L"segregate") == 0;
    settings.quarantineFolder = argv[2];
    settings.email = argv[3];
    vondrel::SystemFolderInspector folders;
    DWORD error = 0;
    vondrel::FolderVerdict verdict;
    if (!vondrel::PrepareFolder(settings.dataFolder, folders, &error, &verdict)) return 1;
    if (!vondrel::ValidateSettings(settings)) return 1;
    const bool ok = settings.segregate ? vondrel::RunExtractOnly(settings) : vondrel::RunSubmission(settings, folders);
    return ok ? 0 : 1;
}
