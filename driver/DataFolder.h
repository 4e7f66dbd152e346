// The tool's data folder lives below C:\ProgramData, where ordinary users may create files and folders.
// A folder the tool creates gets a protected DACL (SYSTEM and Administrators only); a folder that
// already exists is used only when nobody else could have planted or changed what is in it.
#pragma once

#include <windows.h>

#include <string>

#include "quarantine/restore/Handles.h"

namespace vondrel {

// The few calls the safety check reads; tests replace them where Wine cannot produce the condition
// (junctions, owners and DACLs other than its own).
class IFolderInspector {
public:
    virtual ~IFolderInspector() = default;
    // The folder's attributes (INVALID_FILE_ATTRIBUTES when it cannot be read) and, for a reparse
    // point, its tag.
    virtual DWORD Attributes(const std::wstring& folder, DWORD* reparseTag) = 0;
    // The folder's owner and DACL; ERROR_SUCCESS or the error of the read. The descriptor holds both.
    virtual DWORD Security(const std::wstring& folder, UniqueLocal& descriptor, PSID* owner, PACL* dacl) = 0;
};

class SystemFolderInspector final : public IFolderInspector {
public:
    DWORD Attributes(const std::wstring& folder, DWORD* reparseTag) override;
    DWORD Security(const std::wstring& folder, UniqueLocal& descriptor, PSID* owner, PACL* dacl) override;
};

enum class FolderVerdict { Safe, Missing, ReparsePoint, UntrustedOwner, OthersMayWrite, Unreadable };

// "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)": full control for SYSTEM and Administrators, nothing inherited.
constexpr const wchar_t* kProtectedFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// CreateDirectoryW with the protected DACL. False with *error set when it failed; ERROR_ALREADY_EXISTS
// is reported as a failure too, so that the caller checks the folder it did not make.
bool CreateProtectedFolder(const std::wstring& folder, DWORD* error);

// Whether an existing folder may be worked in: not a reparse point, owned by SYSTEM, Administrators or
// the running (administrator) user, and with a DACL that lets nobody else write.
FolderVerdict CheckFolder(const std::wstring& folder, IFolderInspector& inspector);

// Creates the folder protected, or checks the one that is there; true when it may be used.
bool PrepareFolder(const std::wstring& folder, IFolderInspector& inspector, DWORD* error, FolderVerdict* verdict);

// The parts of the check, on real descriptors.
bool IsTrustedSid(PSID sid);
bool DaclLetsOthersWrite(PACL dacl);

}  // namespace vondrel
