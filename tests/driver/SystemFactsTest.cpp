#include "driver/SystemFacts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

SystemVersionFacts Version(DWORD major, DWORD minor, DWORD build, BYTE productType, WORD architecture,
                           DWORD edition = 0, const char* servicePack = "", WORD suiteMask = 0, int serverR2 = 0) {
    SystemVersionFacts f;
    f.versionRead = true;
    f.platformId = VER_PLATFORM_WIN32_NT;
    f.majorVersion = major;
    f.minorVersion = minor;
    f.buildNumber = build;
    f.productType = productType;
    f.architecture = architecture;
    f.editionType = edition;
    f.servicePack = servicePack;
    f.suiteMask = suiteMask;
    f.serverR2 = serverR2;
    return f;
}

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;
constexpr BYTE kServer = VER_NT_SERVER;
constexpr BYTE kDomainController = VER_NT_DOMAIN_CONTROLLER;
constexpr WORD kX86 = PROCESSOR_ARCHITECTURE_INTEL;
constexpr WORD kAmd64 = PROCESSOR_ARCHITECTURE_AMD64;
constexpr WORD kIa64 = PROCESSOR_ARCHITECTURE_IA64;
constexpr WORD kArm64 = 12;

struct OsCase {
    SystemVersionFacts facts;
    std::wstring expected;
};

TEST(OsVersionText, NamesVersionsFromSixOn) {
    const OsCase cases[] = {
        {Version(6, 1, 7601, kWorkstation, kAmd64, 1, "Service Pack 1"),
         L"Microsoft Windows 7 Ultimate Edition Service Pack 1 (build 7601), 64-bit"},
        // An edition the table does not know leaves both blanks around it.
        {Version(10, 0, 19045, kWorkstation, kAmd64, 48), L"Microsoft Windows 10  (build 19045), 64-bit"},
        {Version(10, 0, 19045, kWorkstation, kX86, 4), L"Microsoft Windows 10 Enterprise Edition (build 19045), 32-bit"},
        {Version(10, 0, 22621, kWorkstation, kArm64, 10), L"Microsoft Windows 10 Enterprise Edition (build 22621)"},
        {Version(10, 0, 17763, kServer, kAmd64, 7),
         L"Microsoft Windows Server 2016Standard Edition (build 17763), 64-bit"},
        {Version(10, 0, 14393, kDomainController, kAmd64, 8),
         L"Microsoft Windows Server 2016Datacenter Edition (build 14393), 64-bit"},
        {Version(6, 0, 6002, kWorkstation, kX86, 3, "Service Pack 2"),
         L"Microsoft Windows Vista Home Premium Edition Service Pack 2 (build 6002), 32-bit"},
        {Version(6, 0, 6001, kServer, kAmd64, 12),
         L"Microsoft Windows Server 2008 Datacenter Edition (core installation) (build 6001), 64-bit"},
        {Version(6, 1, 7600, kServer, kIa64, 15),
         L"Microsoft Windows Server 2008 R2 Enterprise Edition for Itanium-based Systems (build 7600)"},
        {Version(6, 2, 9200, kWorkstation, kAmd64, 6), L"Microsoft Windows 8 Business Edition (build 9200), 64-bit"},
        {Version(6, 2, 9200, kServer, kAmd64, 25),
         L"Microsoft Windows Server 2012 Small Business Server Premium Edition (build 9200), 64-bit"},
        {Version(6, 3, 9600, kWorkstation, kAmd64, 28), L"Microsoft Windows 8.1  (build 9600), 64-bit"},
        {Version(6, 3, 9600, kServer, kAmd64, 17),
         L"Microsoft Windows Server 2012 R2 Web Server Edition (build 9600), 64-bit"},
        // Minor versions past 3 and majors 7 to 9 have no name, only the edition.
        {Version(6, 4, 9841, kWorkstation, kAmd64, 11), L"Microsoft Starter Edition (build 9841), 64-bit"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, OsVersionText(c.facts));
}

TEST(OsVersionText, NamesTheFiveSeries) {
    const OsCase cases[] = {
        {Version(5, 2, 3790, kServer, kX86, 0, "Service Pack 2", 0, 1),
         L"Microsoft Windows Server 2003 R2, Standard Edition Service Pack 2 (build 3790)"},
        {Version(5, 2, 3790, kServer, kX86, 0, "", VER_SUITE_STORAGE_SERVER),
         L"Microsoft Windows Storage Server 2003Standard Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kX86, 0, "", VER_SUITE_WH_SERVER),
         L"Microsoft Windows Home ServerStandard Edition (build 3790)"},
        {Version(5, 2, 3790, kWorkstation, kAmd64, 0, "Service Pack 2"),
         L"Microsoft Windows XP Professional x64 Edition Service Pack 2 (build 3790)"},
        {Version(5, 2, 3790, kServer, kIa64, 0, "", VER_SUITE_DATACENTER | VER_SUITE_ENTERPRISE),
         L"Microsoft Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
        {Version(5, 2, 3790, kServer, kIa64, 0, "", VER_SUITE_ENTERPRISE),
         L"Microsoft Windows Server 2003, Enterprise Edition for Itanium-based Systems (build 3790)"},
        {Version(5, 2, 3790, kServer, kIa64), L"Microsoft Windows Server 2003,  (build 3790)"},
        {Version(5, 2, 3790, kServer, kAmd64, 0, "", VER_SUITE_DATACENTER),
         L"Microsoft Windows Server 2003, Datacenter x64 Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kAmd64, 0, "", VER_SUITE_ENTERPRISE),
         L"Microsoft Windows Server 2003, Enterprise x64 Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kAmd64), L"Microsoft Windows Server 2003, Standard x64 Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kX86, 0, "", VER_SUITE_COMPUTE_SERVER | VER_SUITE_DATACENTER),
         L"Microsoft Windows Server 2003, Compute Cluster Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kX86, 0, "", VER_SUITE_DATACENTER | VER_SUITE_BLADE),
         L"Microsoft Windows Server 2003, Datacenter Edition (build 3790)"},
        {Version(5, 2, 3790, kDomainController, kX86, 0, "", VER_SUITE_ENTERPRISE),
         L"Microsoft Windows Server 2003, Enterprise Edition (build 3790)"},
        {Version(5, 2, 3790, kServer, kX86, 0, "", VER_SUITE_BLADE),
         L"Microsoft Windows Server 2003, Web Edition (build 3790)"},
        // A 5.2 workstation that is not x64 has no edition.
        {Version(5, 2, 3790, kWorkstation, kX86), L"Microsoft Windows Server 2003,  (build 3790)"},
        {Version(5, 1, 2600, kWorkstation, kX86, 0, "Service Pack 3", VER_SUITE_PERSONAL),
         L"Microsoft Windows XP Home Edition Service Pack 3 (build 2600)"},
        {Version(5, 1, 2600, kWorkstation, kX86), L"Microsoft Windows XP Professional (build 2600)"},
        {Version(5, 0, 2195, kWorkstation, kX86, 0, "Service Pack 4", VER_SUITE_DATACENTER),
         L"Microsoft Windows 2000 Professional Service Pack 4 (build 2195)"},
        {Version(5, 0, 2195, kServer, kX86, 0, "", VER_SUITE_DATACENTER | VER_SUITE_ENTERPRISE),
         L"Microsoft Windows 2000 Datacenter Server (build 2195)"},
        {Version(5, 0, 2195, kServer, kX86, 0, "", VER_SUITE_ENTERPRISE),
         L"Microsoft Windows 2000 Advanced Server (build 2195)"},
        {Version(5, 0, 2195, kServer, kX86), L"Microsoft Windows 2000 Server (build 2195)"},
        // The edition table belongs to version 6 on; the suffix too.
        {Version(5, 1, 2600, kWorkstation, kAmd64, 1), L"Microsoft Windows XP Professional (build 2600)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, OsVersionText(c.facts));
}

TEST(OsVersionText, GivesTheFallbacks) {
    EXPECT_EQ(L"Microsoft Windows", OsVersionText(SystemVersionFacts{}));
    SystemVersionFacts nt4 = Version(4, 0, 1381, kWorkstation, kX86);
    EXPECT_EQ(L"", OsVersionText(nt4));
    SystemVersionFacts win98 = Version(5, 0, 2222, kWorkstation, kX86);
    win98.platformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(L"", OsVersionText(win98));
}

TEST(OsVersionText, DescribesTheRunningSystem) {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)));
    const std::wstring text = OsVersionText();
    EXPECT_EQ(0u, text.find(L"Microsoft Windows")) << text;
    const std::wstring build = L"(build " + std::to_wstring(version.dwBuildNumber) + L")";
    EXPECT_NE(std::wstring::npos, text.find(build)) << text;
    if (version.szCSDVersion[0] != L'\0') {
        EXPECT_NE(std::wstring::npos, text.find(std::wstring(L" ") + version.szCSDVersion + L" (build")) << text;
    }
}

// asctime's layout: "Www Mmm dd hh:mm:ss yyyy", the day right-aligned in two places.
std::wstring AsctimeOf(const SYSTEMTIME& t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2u %02u:%02u:%02u %u", kDays[t.wDayOfWeek], kMonths[t.wMonth - 1],
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wYear);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

TEST(RunDateText, IsTheLocalTimeInAsctimeLayout) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    const std::wstring text = RunDateText();
    GetLocalTime(&after);
    ASSERT_EQ(24u, text.size()) << text;
    const bool matches = text == AsctimeOf(before) || text == AsctimeOf(after);
    EXPECT_TRUE(matches) << text;
}

// Sets an environment variable for one test, and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        had_ = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (had_) old_.assign(buffer, length);
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring old_;
};

TEST(ComputerNameText, IsTheEnvironmentVariable) {
    {
        ScopedEnvironment name(L"COMPUTERNAME", L"HOST-7\u00e9");
        EXPECT_EQ(L"HOST-7\u00e9", ComputerNameText());
    }
    ScopedEnvironment unset(L"COMPUTERNAME", nullptr);
    EXPECT_EQ(L"", ComputerNameText());
}

TEST(ProgramFolderText, IsTheFolderOfThisProgram) {
    const std::wstring folder = ProgramFolderText();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(L'\\', folder.back());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\test_system_facts.exe").c_str())) << folder;
}

// The agent's key in the registry view the agent writes (the 32-bit one), taken over for a test: its
// values are saved first and put back afterwards, and a key that was not there is removed again.
class AgentKey : public ::testing::Test {
protected:
    static constexpr REGSAM kView = KEY_WOW64_32KEY;

    struct SavedValue {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };

    void SetUp() override {
        UniqueRegKey key;
        existed_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, KEY_READ | kView, key.put()) == ERROR_SUCCESS;
        if (existed_) saved_ = ValuesOf(key.get());
        DeleteKey();
    }

    void TearDown() override {
        DeleteKey();
        if (!existed_) return;
        UniqueRegKey key = CreateKey();
        for (const auto& v : saved_) {
            RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
        }
    }

    static UniqueRegKey CreateKey() {
        UniqueRegKey key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | kView, nullptr, key.put(), nullptr));
        return key;
    }

    static void SetValue(DWORD type, const void* data, DWORD bytes) {
        UniqueRegKey key = CreateKey();
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key.get(), kAgentGuidValueName, 0, type, static_cast<const BYTE*>(data), bytes));
    }

    static void SetText(const std::wstring& text, DWORD type = REG_SZ) {
        SetValue(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    static std::vector<SavedValue> ValuesOf(HKEY key) {
        std::vector<SavedValue> values;
        for (DWORD i = 0;; ++i) {
            wchar_t name[16384];
            DWORD nameLength = 16384, type = 0, bytes = 0;
            if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
            SavedValue v{std::wstring(name, nameLength), type, std::vector<BYTE>(bytes)};
            nameLength = 16384;
            RegEnumValueW(key, i, name, &nameLength, nullptr, &type, v.data.data(), &bytes);
            values.push_back(v);
        }
        return values;
    }

    static void DeleteKey() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, kView, 0); }

    bool existed_ = false;
    std::vector<SavedValue> saved_;
};

TEST_F(AgentKey, ReadsTheAgentsTextValue) {
    const std::wstring guid = L"{6A2F0C3E-5D41-4B7A-9E08-1C2D3E4F5A6B}";
    const struct {
        std::wstring text;
        DWORD type;
    } cases[] = {
        {guid, REG_SZ},
        {guid, REG_EXPAND_SZ},
        {std::wstring(48, L'7'), REG_SZ},
        {L"", REG_SZ},
    };
    for (const auto& c : cases) {
        SetText(c.text, c.type);
        test::LogCapture log;
        EXPECT_EQ(c.text, ReadAgentGuid());
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST_F(AgentKey, LogsTheRegistryCodeOfAValueItCannotUse) {
    const DWORD number = 7;
    const std::wstring binary = L"{6A2F0C3E}";
    const BYTE oddBytes[] = {'a', 0, 0};
    const std::wstring full49(49, L'7'), full50(50, L'7');
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        const wchar_t* message;
    } cases[] = {
        {"REG_DWORD", REG_DWORD, &number, sizeof number, L"Unable to read RV registry key, 0xd"},
        {"REG_BINARY", REG_BINARY, binary.c_str(), 22, L"Unable to read RV registry key, 0xd"},
        {"odd byte count", REG_SZ, oddBytes, sizeof oddBytes, L"Unable to read RV registry key, 0xd"},
        {"49 characters", REG_SZ, full49.c_str(), 100, L"Unable to read RV registry key, 0xea"},
        {"50 characters", REG_SZ, full50.c_str(), 102, L"Unable to read RV registry key, 0xea"},
    };
    for (const auto& c : cases) {
        SetValue(c.type, c.data, c.bytes);
        test::LogCapture log;
        EXPECT_EQ(L"", ReadAgentGuid()) << c.name;
        EXPECT_EQ(std::vector<std::wstring>{c.message}, log.Lines()) << c.name;
    }
}

// The registry under Wine supplies a missing terminator where the buffer has room for it and refuses a
// value that leaves no room, so the checks of what was read are run on buffers made here.
TEST(AgentGuidFromValue, AcceptsOnlyTerminatedTextsThatFitTheBuffer) {
    const std::wstring guid = L"{6A2F0C3E-5D41-4B7A-9E08-1C2D3E4F5A6B}";
    const std::wstring full48(48, L'7'), full49(49, L'7');
    const std::wstring unterminated(50, L'7');
    const std::wstring withNull(L"{6A2F\0C3E", 10);
    const struct {
        const char* name;
        DWORD type;
        const std::wstring& data;
        DWORD bytes;
        LSTATUS status;
        std::wstring text;
    } cases[] = {
        {"REG_SZ", REG_SZ, guid, 78, ERROR_SUCCESS, guid},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, guid, 78, ERROR_SUCCESS, guid},
        {"48 characters", REG_SZ, full48, 98, ERROR_SUCCESS, full48},
        {"49 characters fill the buffer", REG_SZ, full49, 100, ERROR_MORE_DATA, L""},
        {"no terminator", REG_SZ, unterminated, 100, ERROR_INVALID_DATA, L""},
        {"no terminator, short", REG_SZ, guid, 76, ERROR_INVALID_DATA, L""},
        {"odd byte count", REG_SZ, guid, 77, ERROR_INVALID_DATA, L""},
        {"REG_MULTI_SZ", REG_MULTI_SZ, guid, 78, ERROR_INVALID_DATA, L""},
        {"REG_DWORD", REG_DWORD, guid, 4, ERROR_INVALID_DATA, L""},
        {"just the terminator", REG_SZ, guid.substr(38), 2, ERROR_SUCCESS, L""},
        {"a null inside", REG_SZ, withNull, 22, ERROR_SUCCESS, L"{6A2F"},
        {"no bytes", REG_SZ, guid, 0, ERROR_SUCCESS, L""},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> buffer(kAgentGuidBufferChars, L'#');
        std::copy(c.data.begin(), c.data.end(), buffer.begin());
        if (c.data.size() < buffer.size()) buffer[c.data.size()] = L'\0';
        std::wstring text = L"left over";
        EXPECT_EQ(c.status, AgentGuidFromValue(c.type, buffer.data(), c.bytes, text)) << c.name;
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(c.text, text) << c.name;
        }
    }
}

TEST_F(AgentKey, LogsAMissingKeyOrValue) {
    {
        test::LogCapture log;
        EXPECT_EQ(L"", ReadAgentGuid());
        EXPECT_EQ(std::vector<std::wstring>{L"Unable to open RV registry key, 0x2"}, log.Lines());
    }
    CreateKey();
    test::LogCapture log;
    EXPECT_EQ(L"", ReadAgentGuid());
    EXPECT_EQ(std::vector<std::wstring>{L"Unable to read RV registry key, 0x2"}, log.Lines());
}

// The agent is a 32-bit program: a value only in the 64-bit view is not the agent's.
TEST_F(AgentKey, ReadsOnlyTheThirtyTwoBitView) {
    UniqueRegKey native;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, native.put(), nullptr));
    const std::wstring text = L"{00000000-0000-0000-0000-000000000064}";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(native.get(), kAgentGuidValueName, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(text.c_str()),
                                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
    native.reset();
    EXPECT_EQ(L"", ReadAgentGuid());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, KEY_WOW64_64KEY, 0);
}

}  // namespace
}  // namespace vondrel
