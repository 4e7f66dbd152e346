// Puts a DER certificate into the machine's Root store of the prefix it runs in, so that WinHTTP and
// WinVerifyTrust trust the tests' CA.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "base/Handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    vondrel::UniqueFile file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 3;
    std::vector<BYTE> der(GetFileSize(file.get(), nullptr));
    DWORD got = 0;
    if (!ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &got, nullptr) || got != der.size()) return 4;
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
        fwprintf(stderr, L"CertAddEncodedCertificateToSystemStoreW failed: %lu\n", GetLastError());
        return 5;
    }
    return 0;
}
