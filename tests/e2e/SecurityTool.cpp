// Makes and reads folder descriptors in the prefix the way an installer or an administrator would, for
// the data-folder runs. Usage:
//   security_tool.exe mkdir <folder> <SDDL>   CreateDirectoryW with the descriptor of the SDDL text
//   security_tool.exe show <path>             the owner and DACL read by GetNamedSecurityInfoW, as SDDL
// Exit code 0 on success, 1 with the Windows error on stderr otherwise, 2 for a wrong command line.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "%s failed: %lu\n", what, GetLastError());
    return 1;
}

int MakeFolder(const wchar_t* folder, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return Fail("ConvertStringSecurityDescriptorToSecurityDescriptorW");
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    const BOOL made = CreateDirectoryW(folder, &attributes);
    const DWORD error = GetLastError();
    LocalFree(sd);
    SetLastError(error);
    return made ? 0 : Fail("CreateDirectoryW");
}

int Show(const wchar_t* path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, nullptr, nullptr, &sd);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return Fail("GetNamedSecurityInfoW");
    }
    char* text = nullptr;
    const BOOL converted = ConvertSecurityDescriptorToStringSecurityDescriptorA(
        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    LocalFree(sd);
    if (!converted) return Fail("ConvertSecurityDescriptorToStringSecurityDescriptorA");
    std::printf("%s\n", text);
    LocalFree(text);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wcscmp(argv[1], L"mkdir") == 0) return MakeFolder(argv[2], argv[3]);
    if (argc == 3 && std::wcscmp(argv[1], L"show") == 0) return Show(argv[2]);
    return 2;
}
