// The tool's data folder lives below C:\ProgramData, where ordinary users may create files and folders.
// A folder the tool creates gets a protected DACL (SYSTEM and Administrators only). A folder that
// already exists and is owned by a trusted principal gets that DACL too when others could write into
// it; one that is a link or belongs to anyone else is refused. The sent-item cache inside is read only
// when nobody else could have planted it.
#pragma once

#include <windows.h>

#include <string>

#include "base/Handles.h"

namespace vondrel {

// The few calls the safety check reads; tests replace them where Wine cannot produce the condition
// (junctions, owners and DACLs other than its own).
class IFolderInspector {
public:
    virtual ~IFolderInspector() = default;
    // The folder's attributes (INVALID_FILE_ATTRIBUTES when it cannot be read) and, for a reparse
    // point, its tag.
    virtual DWORD Attributes(const std::wstring& folder, DWORD* reparseTag) = 0;
    // The owner and DACL of a folder or file; ERROR_SUCCESS or the error of the read. The descriptor
    // holds both.
    virtual DWORD Security(const std::wstring& path, UniqueLocal& descriptor, PSID* owner, PACL* dacl) = 0;
    // Replaces the folder's DACL with dacl, marked protected so that nothing is inherited from above;
    // ERROR_SUCCESS or the error of the write.
    virtual DWORD ProtectDacl(const std::wstring& folder, PACL dacl) = 0;
    // How many names the file has; ERROR_SUCCESS, or the error of the open (ERROR_FILE_NOT_FOUND when
    // there is no such file).
    virtual DWORD LinkCount(const std::wstring& file, DWORD* links) = 0;
};

class SystemFolderInspector final : public IFolderInspector {
public:
    DWORD Attributes(const std::wstring& folder, DWORD* reparseTag) override;
    DWORD Security(const std::wstring& path, UniqueLocal& descriptor, PSID* owner, PACL* dacl) override;
    DWORD ProtectDacl(const std::wstring& folder, PACL dacl) override;
    DWORD LinkCount(const std::wstring& file, DWORD* links) override;
};

// Restricted: the folder let others write, had a trusted owner, and now has the protected DACL.
enum class FolderVerdict { Safe, Restricted, Missing, ReparsePoint, UntrustedOwner, OthersMayWrite, Unreadable };

// "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)": full control for SYSTEM and Administrators, nothing inherited.
constexpr const wchar_t* kProtectedFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// CreateDirectoryW with the protected DACL. False with *error set when it failed; ERROR_ALREADY_EXISTS
// is reported as a failure too, so that the caller checks the folder it did not make.
bool CreateProtectedFolder(const std::wstring& folder, DWORD* error);

// Whether an existing folder may be worked in: not a reparse point, owned by SYSTEM, Administrators or
// the running (administrator) user, and with a DACL that lets nobody else write.
FolderVerdict CheckFolder(const std::wstring& folder, IFolderInspector& inspector);

// Gives an existing folder the protected DACL and checks it again: Restricted when it is safe now, else
// the verdict of the second check (OthersMayWrite, with *error set, when the DACL could not be set).
FolderVerdict RestrictFolder(const std::wstring& folder, IFolderInspector& inspector, DWORD* error);

// Creates the folder protected, or checks the one that is there and restricts it when only its DACL
// was wrong; true when it may be used (verdict Safe or Restricted).
bool PrepareFolder(const std::wstring& folder, IFolderInspector& inspector, DWORD* error, FolderVerdict* verdict);

// Whether the sent-item cache file may be believed: true when there is none, or when it has one name
// only and a trusted owner. A file planted by another user could hide a sample for ever.
bool IsSentCacheTrustworthy(const std::wstring& file, IFolderInspector& inspector);

// The parts of the check, on real descriptors.
bool IsTrustedSid(PSID sid);
bool DaclLetsOthersWrite(PACL dacl);

}  // namespace vondrel
