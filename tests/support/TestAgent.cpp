// The test stand-in for the management agent: signed at build time with the tests' code-signing
// certificate, it starts the program named by its first argument with the remaining arguments, waits
// for it and returns its exit code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/Handles.h"

namespace {

// Quotes one argument so that the child's argv parsing gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring commandLine = QuoteArgument(argv[1]);
    for (int i = 2; i < argc; ++i) commandLine += L" " + QuoteArgument(argv[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        // The test that sees exit code 3 needs the reason to tell a platform fault from its own.
        fwprintf(stderr, L"agent: CreateProcessW failed with error %lu\n", GetLastError());
        return 3;
    }
    vondrel::UniqueKernelHandle processHandle(process.hProcess);
    vondrel::UniqueKernelHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(processHandle.get(), &code);
    return static_cast<int>(code);
}
