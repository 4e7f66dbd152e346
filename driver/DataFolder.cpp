#include "driver/DataFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "base/PathRules.h"

namespace vondrel {
namespace {

// Rights that let a holder change what the folder holds or who may touch it.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL | MAXIMUM_ALLOWED;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

// The user of this process's token: the administrator running the tool.
std::vector<BYTE> ProcessUserSid() {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    std::vector<BYTE> copy(GetLengthSid(sid));
    CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
    return copy;
}

bool IsProcessUser(PSID sid) {
    static const std::vector<BYTE> user = ProcessUserSid();
    return !user.empty() && EqualSid(sid, const_cast<BYTE*>(user.data())) != FALSE;
}

}  // namespace

DWORD SystemFolderInspector::Attributes(const std::wstring& folder, DWORD* reparseTag) {
    *reparseTag = 0;
    const DWORD attributes = GetFileAttributesW(ExtendedPath(folder, kDefaultPathLimit).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return attributes;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileExtended(folder, &data));
    if (find) *reparseTag = data.dwReserved0;
    return attributes;
}

DWORD SystemFolderInspector::Security(const std::wstring& path, UniqueLocal& descriptor, PSID* owner, PACL* dacl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = GetNamedSecurityInfoW(ExtendedPath(path, kDefaultPathLimit).c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, owner, nullptr, dacl,
                                        nullptr, &sd);
    descriptor.reset(sd);
    return error;
}

DWORD SystemFolderInspector::ProtectDacl(const std::wstring& folder, PACL dacl) {
    const ExtendedPath extended(folder, kDefaultPathLimit);
    std::wstring path = extended.c_str();  // the call takes a writable name
    return SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 dacl, nullptr);
}

DWORD SystemFolderInspector::LinkCount(const std::wstring& file, DWORD* links) {
    *links = 0;
    UniqueFile handle(CreateFileExtended(file, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle) return GetLastError();
    FILE_STANDARD_INFO information{};  // unlike GetFileInformationByHandle, no volume query
    if (!GetFileInformationByHandleEx(handle.get(), FileStandardInfo, &information, sizeof(information))) {
        return GetLastError();
    }
    *links = information.NumberOfLinks;
    return ERROR_SUCCESS;
}

bool IsTrustedSid(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) return false;
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsProcessUser(sid);
}

bool DaclLetsOthersWrite(PACL dacl) {
    if (dacl == nullptr) return true;  // a null DACL grants everyone everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return true;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kWriteRights) == 0) continue;
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // What CREATOR OWNER is granted goes to whoever creates a child, so only the owner's own rights.
        if (IsWellKnown(sid, WinCreatorOwnerSid)) continue;
        if (!IsTrustedSid(sid)) return true;
    }
    return false;
}

namespace {

// The protected descriptor of kProtectedFolderSddl; false with *error set when it cannot be built.
bool ProtectedDescriptor(UniqueLocal& descriptor, DWORD* error) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, &sd, nullptr)) {
        *error = GetLastError();
        return false;
    }
    descriptor.reset(sd);
    return true;
}

}  // namespace

bool CreateProtectedFolder(const std::wstring& folder, DWORD* error) {
    UniqueLocal descriptor;
    if (!ProtectedDescriptor(descriptor, error)) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    if (CreateDirectoryW(ExtendedPath(folder, kDefaultPathLimit).c_str(), &attributes)) return true;
    *error = GetLastError();
    return false;
}

FolderVerdict CheckFolder(const std::wstring& folder, IFolderInspector& inspector) {
    DWORD tag = 0;
    const DWORD attributes = inspector.Attributes(folder, &tag);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FolderVerdict::Missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderVerdict::ReparsePoint;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderVerdict::Missing;
    UniqueLocal descriptor;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    if (inspector.Security(folder, descriptor, &owner, &dacl) != ERROR_SUCCESS) return FolderVerdict::Unreadable;
    if (!IsTrustedSid(owner)) return FolderVerdict::UntrustedOwner;
    if (DaclLetsOthersWrite(dacl)) return FolderVerdict::OthersMayWrite;
    return FolderVerdict::Safe;
}

FolderVerdict RestrictFolder(const std::wstring& folder, IFolderInspector& inspector, DWORD* error) {
    UniqueLocal descriptor;
    if (!ProtectedDescriptor(descriptor, error)) return FolderVerdict::OthersMayWrite;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        *error = ERROR_INVALID_SECURITY_DESCR;
        return FolderVerdict::OthersMayWrite;
    }
    *error = inspector.ProtectDacl(folder, dacl);
    if (*error != ERROR_SUCCESS) return FolderVerdict::OthersMayWrite;
    const FolderVerdict again = CheckFolder(folder, inspector);
    return again == FolderVerdict::Safe ? FolderVerdict::Restricted : again;
}

bool PrepareFolder(const std::wstring& folder, IFolderInspector& inspector, DWORD* error, FolderVerdict* verdict) {
    *error = ERROR_SUCCESS;
    *verdict = FolderVerdict::Safe;
    if (CreateProtectedFolder(folder, error)) return true;
    if (*error != ERROR_ALREADY_EXISTS) return false;
    *verdict = CheckFolder(folder, inspector);
    // Only the DACL is mended: a link or a folder of another owner may hold what that owner planted.
    if (*verdict == FolderVerdict::OthersMayWrite) *verdict = RestrictFolder(folder, inspector, error);
    return *verdict == FolderVerdict::Safe || *verdict == FolderVerdict::Restricted;
}

bool IsSentCacheTrustworthy(const std::wstring& file, IFolderInspector& inspector) {
    DWORD links = 0;
    const DWORD error = inspector.LinkCount(file, &links);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error != ERROR_SUCCESS || links != 1) return false;
    UniqueLocal descriptor;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    if (inspector.Security(file, descriptor, &owner, &dacl) != ERROR_SUCCESS) return false;
    return IsTrustedSid(owner);
}

}  // namespace vondrel
