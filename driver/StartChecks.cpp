#include "driver/StartChecks.h"

#include <softpub.h>
#include <tlhelp32.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "base/Handles.h"
#include "base/TextWriter.h"
#include "BuildSettings.h"

namespace vondrel {
namespace {

DWORD ParentProcessId(DWORD* error) {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        *error = GetLastError();
        return 0;
    }
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
    }
    *error = ERROR_NOT_FOUND;
    return 0;
}

// Ends the verification's state whatever happened after the verify step.
class TrustState {
public:
    explicit TrustState(WINTRUST_DATA& data) : data_(data) {}
    ~TrustState() {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

private:
    WINTRUST_DATA& data_;
};

std::wstring SignerThumbprint(HANDLE stateData) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
    if (provider == nullptr) return std::wstring();
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) return std::wstring();
    PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (certificate == nullptr || !CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size))
        return std::wstring();
    std::wstring hex;
    for (DWORD i = 0; i < size; ++i) hex += FormatText(L"%02X", hash[i]);
    return hex;
}

}  // namespace

std::wstring ParentProcessImage(DWORD* error) {
    *error = ERROR_SUCCESS;
    const DWORD parent = ParentProcessId(error);
    if (parent == 0) {
        if (*error == ERROR_SUCCESS) *error = ERROR_INVALID_PARAMETER;
        return std::wstring();
    }
    UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent));
    if (!process) {
        *error = GetLastError();
        return std::wstring();
    }
    wchar_t image[32768];
    DWORD length = ARRAYSIZE(image);
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &length)) {
        *error = GetLastError();
        return std::wstring();
    }
    return std::wstring(image, length);
}

LONG VerifySignature(const std::wstring& image, std::wstring* signerThumbprint) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = image.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    TrustState state(data);
    if (result == ERROR_SUCCESS) *signerThumbprint = SignerThumbprint(data.hWVTStateData);
    return result;
}

bool IsTrustedThumbprint(const std::wstring& thumbprint, const std::vector<std::wstring>& trusted) {
    if (thumbprint.empty()) return false;
    for (const std::wstring& candidate : trusted) {
        if (_wcsicmp(candidate.c_str(), thumbprint.c_str()) == 0) return true;
    }
    return false;
}

LauncherVerdict SystemStartChecks::CheckLauncher() {
    LauncherVerdict verdict;
    DWORD error = ERROR_SUCCESS;
    verdict.parentImage = ParentProcessImage(&error);
    if (verdict.parentImage.empty()) {
        verdict.result = HRESULT_FROM_WIN32(error);
        return verdict;
    }
    std::wstring thumbprint;
    verdict.result = VerifySignature(verdict.parentImage, &thumbprint);
    if (verdict.result != ERROR_SUCCESS) return verdict;
    const std::vector<std::wstring> trusted(std::begin(build::kTrustedThumbprints), std::end(build::kTrustedThumbprints));
    if (!IsTrustedThumbprint(thumbprint, trusted)) {
        verdict.result = TRUST_E_SUBJECT_NOT_TRUSTED;
        return verdict;
    }
    verdict.trusted = true;
    return verdict;
}

bool SystemStartChecks::IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, administrators.put()))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators.get(), &member)) return false;
    return member != FALSE;
}

}  // namespace vondrel
