#include "driver/Run.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/TextConvert.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

class FakeStartChecks final : public IStartChecks {
public:
    LauncherVerdict launcher{true, L"C:\\agent.exe", 0};
    bool administrator = true;
    LauncherVerdict CheckLauncher() override { return launcher; }
    bool IsAdministrator() override { return administrator; }
};

int RunWith(FakeStartChecks& checks, std::vector<std::wstring> args) {
    args.insert(args.begin(), L"Vondrel.exe");
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    SystemFolderInspector folders;
    return RunTool(static_cast<int>(argv.size()), argv.data(), checks, folders);
}

TEST(RunTool, ACallerWhoIsNoAdministratorIsStoppedBeforeTheCommandLine) {
    FakeStartChecks checks;
    checks.administrator = false;
    test::LogCapture log;
    EXPECT_EQ(1, RunWith(checks, {L"--Bogus"}));
    EXPECT_EQ(std::vector<std::wstring>{L"Please run utility as administrator"}, log.Lines());
}

TEST(RunTool, AnUntrustedLauncherIsLoggedWithItsImageAndResult) {
    FakeStartChecks checks;
    checks.launcher = {false, L"Z:\\opt\\agent.exe", static_cast<LONG>(0x800B0100)};
    test::LogCapture log;
    EXPECT_EQ(1, RunWith(checks, {L"--Email=a@b.c"}));
    EXPECT_EQ(std::vector<std::wstring>{L"Vondrel.exe was not started by a trusted process Z:\\opt\\agent.exe, 0x800b0100"},
              log.Lines());
}

TEST(MakeWorkFolderPath, NamesAFreshFolderFromAGuidAndTheLocalTime) {
    test::TempDir dir;
    const std::string parent = WideToUtf8(dir.path());
    std::string first, second;
    ASSERT_TRUE(MakeWorkFolderPath(parent, first));
    ASSERT_TRUE(MakeWorkFolderPath(parent, second));
    const std::regex form(R"(vdrel_[0-9A-F]{12}_[01]\d[0-3]\d\d\d_[0-2]\d[0-5]\d[0-6]\d)");
    ASSERT_EQ(parent + "\\", first.substr(0, parent.size() + 1));
    EXPECT_TRUE(std::regex_match(first.substr(parent.size() + 1), form)) << first;
    EXPECT_NE(first.substr(0, parent.size() + 19), second.substr(0, parent.size() + 19)) << "a new GUID per call";
}

}  // namespace
}  // namespace vondrel
