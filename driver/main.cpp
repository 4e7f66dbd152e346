// Vondrel.exe: collects the anti-malware product's quarantined files and submits them to the back end.
#include "driver/Run.h"

int wmain(int argc, wchar_t** argv) {
    vondrel::SystemStartChecks checks;
    vondrel::SystemFolderInspector folders;
    return vondrel::RunTool(argc, argv, checks, folders);
}
