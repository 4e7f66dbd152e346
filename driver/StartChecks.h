// The checks a run passes before it reads its command line: started by a trusted process of the
// management agent (an Authenticode-signed image whose signer is one of the built-in thumbprints),
// and a caller that belongs to the Administrators group.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vondrel {

struct LauncherVerdict {
    bool trusted = false;
    std::wstring parentImage;  // empty when the parent could not be found or opened
    LONG result = 0;           // WinVerifyTrust's result, or the error that stopped the check
};

// The start checks as the run sees them; tests replace them where Wine cannot answer otherwise
// (it always reports Administrators membership).
class IStartChecks {
public:
    virtual ~IStartChecks() = default;
    virtual LauncherVerdict CheckLauncher() = 0;
    virtual bool IsAdministrator() = 0;
};

class SystemStartChecks final : public IStartChecks {
public:
    LauncherVerdict CheckLauncher() override;
    bool IsAdministrator() override;
};

// The image of the process that started this one; empty when it is gone or cannot be opened.
std::wstring ParentProcessImage(DWORD* error);

// WinVerifyTrust of the file's Authenticode signature (no UI, no network revocation check) and, when
// it holds, the SHA-1 thumbprint (upper-case hex) of the signer's certificate.
LONG VerifySignature(const std::wstring& image, std::wstring* signerThumbprint);

// True when thumbprint (any case) is one of the list.
bool IsTrustedThumbprint(const std::wstring& thumbprint, const std::vector<std::wstring>& trusted);

}  // namespace vondrel
