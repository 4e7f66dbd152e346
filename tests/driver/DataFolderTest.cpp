#include "driver/DataFolder.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

// The descriptor of an SDDL text, with its owner and DACL (null when it has none).
DWORD DescriptorOf(const std::wstring& sddl, UniqueLocal& descriptor, PSID* owner, PACL* dacl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return GetLastError();
    descriptor.reset(sd);
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, owner, &defaulted);
    GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted);
    if (!present) *dacl = nullptr;
    return ERROR_SUCCESS;
}

// Answers the checks with a descriptor made from SDDL and with given attributes, as real Windows
// would show a junction, a symbolic link or a folder planted by another user. A DACL set through it
// replaces the one in the SDDL, as Windows keeps it (owner unchanged, protected flag set).
class FakeInspector final : public IFolderInspector {
public:
    FakeInspector(DWORD attributes, DWORD tag, const wchar_t* sddl) : attributes_(attributes), tag_(tag), sddl_(sddl) {}
    DWORD Attributes(const std::wstring&, DWORD* reparseTag) override {
        *reparseTag = tag_;
        return attributes_;
    }
    DWORD Security(const std::wstring&, UniqueLocal& descriptor, PSID* owner, PACL* dacl) override {
        return DescriptorOf(sddl_, descriptor, owner, dacl);
    }
    DWORD ProtectDacl(const std::wstring&, PACL dacl) override {
        ++protectCalls;
        if (protectError != ERROR_SUCCESS || ignoreProtect) return protectError;
        UniqueLocal old;
        PSID owner = nullptr;
        PACL oldDacl = nullptr;
        DWORD error = DescriptorOf(sddl_, old, &owner, &oldDacl);
        if (error != ERROR_SUCCESS) return error;
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&sd, owner, FALSE);
        SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        wchar_t* text = nullptr;
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
                &sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
            return GetLastError();
        UniqueLocal owned(text);
        sddl_ = text;
        return ERROR_SUCCESS;
    }
    DWORD LinkCount(const std::wstring&, DWORD* links) override {
        *links = links_;
        return linkError;
    }

    const std::wstring& Sddl() const { return sddl_; }

    int protectCalls = 0;
    DWORD protectError = ERROR_SUCCESS;
    bool ignoreProtect = false;  // reports success and leaves the DACL as it was
    DWORD links_ = 1;
    DWORD linkError = ERROR_SUCCESS;

private:
    DWORD attributes_;
    DWORD tag_;
    std::wstring sddl_;
};

constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

TEST(CheckFolder, RefusesWhatOthersCouldHavePlantedOrChanged) {
    struct Case {
        const char* what;
        DWORD attributes;
        DWORD tag;
        const wchar_t* sddl;
        FolderVerdict expected;
    } cases[] = {
        {"protected, owned by Administrators", kDir, 0, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", FolderVerdict::Safe},
        {"owned by SYSTEM, users may read", kDir, 0, L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FR;;;BU)", FolderVerdict::Safe},
        {"creator-owner rights only for the creator", kDir, 0, L"O:BAD:(A;OICIIO;FA;;;CO)(A;;FA;;;BA)", FolderVerdict::Safe},
        {"junction", kLink, IO_REPARSE_TAG_MOUNT_POINT, L"O:BAD:P(A;;FA;;;BA)", FolderVerdict::ReparsePoint},
        {"symbolic link", kLink, IO_REPARSE_TAG_SYMLINK, L"O:BAD:P(A;;FA;;;BA)", FolderVerdict::ReparsePoint},
        {"owned by Users", kDir, 0, L"O:BUD:P(A;;FA;;;BA)", FolderVerdict::UntrustedOwner},
        {"owned by Everyone", kDir, 0, L"O:WDD:P(A;;FA;;;BA)", FolderVerdict::UntrustedOwner},
        {"Everyone may write", kDir, 0, L"O:BAD:(A;OICI;FA;;;BA)(A;;FW;;;WD)", FolderVerdict::OthersMayWrite},
        {"Users may add files", kDir, 0, L"O:BAD:(A;;0x2;;;BU)", FolderVerdict::OthersMayWrite},
        {"Users may change the DACL", kDir, 0, L"O:BAD:(A;;WD;;;BU)", FolderVerdict::OthersMayWrite},
        {"Users get full control of new children", kDir, 0, L"O:BAD:(A;OICIIO;FA;;;BU)", FolderVerdict::OthersMayWrite},
        {"no DACL at all", kDir, 0, L"O:BA", FolderVerdict::OthersMayWrite},
        {"missing", INVALID_FILE_ATTRIBUTES, 0, L"O:BA", FolderVerdict::Missing},
        {"a file, not a folder", FILE_ATTRIBUTE_NORMAL, 0, L"O:BAD:P(A;;FA;;;BA)", FolderVerdict::Missing},
    };
    for (const Case& c : cases) {
        FakeInspector inspector(c.attributes, c.tag, c.sddl);
        EXPECT_EQ(c.expected, CheckFolder(L"C:\\ProgramData\\Norvane\\Vondrel", inspector)) << c.what;
    }
}

TEST(CreateProtectedFolder, GivesOnlySystemAndAdministratorsAccess) {
    test::TempDir dir;
    const std::wstring folder = dir / L"data";
    DWORD error = 0;
    ASSERT_TRUE(CreateProtectedFolder(folder, &error)) << error;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                                   nullptr, &dacl, nullptr, &sd));
    UniqueLocal descriptor(sd);
    ASSERT_NE(nullptr, dacl);
    ASSERT_GT(dacl->AceCount, 0u);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        EXPECT_TRUE(IsTrustedSid(sid)) << "ACE " << i;
    }
    EXPECT_FALSE(DaclLetsOthersWrite(dacl));
    SystemFolderInspector inspector;
    EXPECT_EQ(FolderVerdict::Safe, CheckFolder(folder, inspector));
    EXPECT_FALSE(CreateProtectedFolder(folder, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), error);
}

TEST(PrepareFolder, ChecksAFolderThatIsAlreadyThere) {
    test::TempDir dir;
    SystemFolderInspector inspector;
    DWORD error = 0;
    FolderVerdict verdict = FolderVerdict::Safe;
    EXPECT_TRUE(PrepareFolder(dir / L"new", inspector, &error, &verdict));
    EXPECT_TRUE(PrepareFolder(dir / L"new", inspector, &error, &verdict));
    EXPECT_FALSE(PrepareFolder(dir / L"missing\\parent", inspector, &error, &verdict));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
    EXPECT_EQ(FolderVerdict::Safe, verdict);
    FakeInspector junction(kLink, IO_REPARSE_TAG_MOUNT_POINT, L"O:BA");
    EXPECT_FALSE(PrepareFolder(dir / L"new", junction, &error, &verdict));
    EXPECT_EQ(FolderVerdict::ReparsePoint, verdict);
}

// What a folder made under C:\ProgramData with default security inherits: SYSTEM and Administrators
// full control, CREATOR OWNER full control of what it creates, Users read and execute, and Users may
// create files and folders (WD, AD, WEA, WA) here and in every subfolder.
constexpr const wchar_t* kProgramDataChildDacl =
    L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)";
constexpr const wchar_t* kRestrictedSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring Owned(const wchar_t* owner, const wchar_t* dacl) { return std::wstring(L"O:") + owner + dacl; }

TEST(PrepareFolder, AnExistingFolderOthersMayWriteIsRestrictedWhenItsOwnerIsTrusted) {
    struct Case {
        const char* what;
        DWORD attributes;
        DWORD tag;
        std::wstring sddl;
        bool usable;
        FolderVerdict verdict;
        int protectCalls;
    } cases[] = {
        {"default child of ProgramData, owned by Administrators", kDir, 0, Owned(L"BA", kProgramDataChildDacl), true,
         FolderVerdict::Restricted, 1},
        {"default child of ProgramData, owned by SYSTEM", kDir, 0, Owned(L"SY", kProgramDataChildDacl), true,
         FolderVerdict::Restricted, 1},
        {"no DACL at all, owned by Administrators", kDir, 0, L"O:BA", true, FolderVerdict::Restricted, 1},
        {"Everyone may write, owned by SYSTEM", kDir, 0, L"O:SYD:(A;OICI;FA;;;WD)", true, FolderVerdict::Restricted, 1},
        {"already protected", kDir, 0, Owned(L"BA", kRestrictedSddl), true, FolderVerdict::Safe, 0},
        {"default child of ProgramData, owned by Users", kDir, 0, Owned(L"BU", kProgramDataChildDacl), false,
         FolderVerdict::UntrustedOwner, 0},
        {"default child of ProgramData, owned by a domain user", kDir, 0,
         Owned(L"S-1-5-21-1004336348-1177238915-682003330-1105", kProgramDataChildDacl), false,
         FolderVerdict::UntrustedOwner, 0},
        {"junction", kLink, IO_REPARSE_TAG_MOUNT_POINT, Owned(L"BA", kProgramDataChildDacl), false,
         FolderVerdict::ReparsePoint, 0},
        {"symbolic link", kLink, IO_REPARSE_TAG_SYMLINK, Owned(L"BA", kProgramDataChildDacl), false,
         FolderVerdict::ReparsePoint, 0},
    };
    for (const Case& c : cases) {
        test::TempDir dir;  // exists, so the folder is not created anew
        FakeInspector inspector(c.attributes, c.tag, c.sddl.c_str());
        DWORD error = 0;
        FolderVerdict verdict = FolderVerdict::Safe;
        EXPECT_EQ(c.usable, PrepareFolder(dir.path(), inspector, &error, &verdict)) << c.what;
        EXPECT_EQ(c.verdict, verdict) << c.what;
        EXPECT_EQ(c.protectCalls, inspector.protectCalls) << c.what;
        if (c.verdict == FolderVerdict::Restricted) {
            EXPECT_EQ(std::wstring(L"O:") + c.sddl.substr(2, 2) + kRestrictedSddl, inspector.Sddl()) << c.what;
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error) << c.what;
        } else {
            EXPECT_EQ(c.sddl, inspector.Sddl()) << c.what << ": nothing may be changed";
        }
    }
}

TEST(PrepareFolder, AFolderWhoseDaclCannotBeRestrictedIsRefused) {
    test::TempDir dir;
    const std::wstring sddl = Owned(L"BA", kProgramDataChildDacl);
    DWORD error = 0;
    FolderVerdict verdict = FolderVerdict::Safe;
    FakeInspector denied(kDir, 0, sddl.c_str());
    denied.protectError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(PrepareFolder(dir.path(), denied, &error, &verdict));
    EXPECT_EQ(FolderVerdict::OthersMayWrite, verdict);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
    // A write that reports success but leaves others' rights in place is caught by the second check.
    FakeInspector unchanged(kDir, 0, sddl.c_str());
    unchanged.ignoreProtect = true;
    EXPECT_FALSE(PrepareFolder(dir.path(), unchanged, &error, &verdict));
    EXPECT_EQ(FolderVerdict::OthersMayWrite, verdict);
    EXPECT_EQ(1, unchanged.protectCalls);
}

TEST(IsSentCacheTrustworthy, ACachePlantedByAnotherUserOrLinkedElsewhereIsNotBelieved) {
    struct Case {
        const char* what;
        const wchar_t* sddl;
        DWORD links;
        DWORD linkError;
        bool trusted;
    } cases[] = {
        {"no cache yet", L"O:BA", 0, ERROR_FILE_NOT_FOUND, true},
        {"owned by Administrators, one name", L"O:BAD:(A;;FA;;;BA)(A;;FR;;;BU)", 1, ERROR_SUCCESS, true},
        {"owned by SYSTEM, one name", L"O:SYD:(A;;FA;;;SY)", 1, ERROR_SUCCESS, true},
        {"owned by Users", L"O:BUD:(A;;FA;;;BU)", 1, ERROR_SUCCESS, false},
        {"owned by Everyone", L"O:WDD:(A;;FA;;;WD)", 1, ERROR_SUCCESS, false},
        {"owned by a domain user", L"O:S-1-5-21-1004336348-1177238915-682003330-1105", 1, ERROR_SUCCESS, false},
        {"a second hard link elsewhere", L"O:BAD:(A;;FA;;;BA)", 2, ERROR_SUCCESS, false},
        {"cannot be opened", L"O:BA", 0, ERROR_ACCESS_DENIED, false},
        {"owner cannot be read", L"not SDDL", 1, ERROR_SUCCESS, false},
    };
    for (const Case& c : cases) {
        FakeInspector inspector(FILE_ATTRIBUTE_ARCHIVE, 0, c.sddl);
        inspector.links_ = c.links;
        inspector.linkError = c.linkError;
        EXPECT_EQ(c.trusted, IsSentCacheTrustworthy(L"C:\\ProgramData\\Norvane\\Vondrel\\Upload\\guid_cache.txt", inspector))
            << c.what;
    }
}

TEST(IsSentCacheTrustworthy, ARealHardLinkIsSeen) {
    test::TempDir dir;
    const std::wstring cache = dir / L"guid_cache.txt";
    test::WriteText(cache, "{00000000-0000-0000-0000-000000000000}\r\n");
    SystemFolderInspector inspector;
    EXPECT_TRUE(IsSentCacheTrustworthy(cache, inspector));
    EXPECT_TRUE(IsSentCacheTrustworthy(dir / L"missing.txt", inspector));
    ASSERT_TRUE(CreateHardLinkW((dir / L"planted.txt").c_str(), cache.c_str(), nullptr));
    EXPECT_FALSE(IsSentCacheTrustworthy(cache, inspector));
}

TEST(CheckFolder, AUnixSymbolicLinkInThePrefixIsAReparsePoint) {
    // The fixture step made "link" a symbolic link to a folder: what a planted link looks like to Wine.
    SystemFolderInspector inspector;
    EXPECT_EQ(FolderVerdict::ReparsePoint, CheckFolder(test::FixtureDir("datafolder") + L"\\link", inspector));
    EXPECT_NE(FolderVerdict::ReparsePoint, CheckFolder(test::FixtureDir("datafolder") + L"\\target", inspector));
}

}  // namespace
}  // namespace vondrel
