#include "driver/DataFolder.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

// Answers the checks with a descriptor made from SDDL and with given attributes, as real Windows
// would show a junction, a symbolic link or a folder planted by another user.
class FakeInspector final : public IFolderInspector {
public:
    FakeInspector(DWORD attributes, DWORD tag, const wchar_t* sddl) : attributes_(attributes), tag_(tag), sddl_(sddl) {}
    DWORD Attributes(const std::wstring&, DWORD* reparseTag) override {
        *reparseTag = tag_;
        return attributes_;
    }
    DWORD Security(const std::wstring&, UniqueLocal& descriptor, PSID* owner, PACL* dacl) override {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl_, SDDL_REVISION_1, &sd, nullptr))
            return GetLastError();
        descriptor.reset(sd);
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(sd, owner, &defaulted);
        GetSecurityDescriptorDacl(sd, &present, dacl, &defaulted);
        if (!present) *dacl = nullptr;
        return ERROR_SUCCESS;
    }

private:
    DWORD attributes_;
    DWORD tag_;
    const wchar_t* sddl_;
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

TEST(CheckFolder, AUnixSymbolicLinkInThePrefixIsAReparsePoint) {
    // The fixture step made "link" a symbolic link to a folder: what a planted link looks like to Wine.
    SystemFolderInspector inspector;
    EXPECT_EQ(FolderVerdict::ReparsePoint, CheckFolder(test::FixtureDir("datafolder") + L"\\link", inspector));
    EXPECT_NE(FolderVerdict::ReparsePoint, CheckFolder(test::FixtureDir("datafolder") + L"\\target", inspector));
}

}  // namespace
}  // namespace vondrel
