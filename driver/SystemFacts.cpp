#include "driver/SystemFacts.h"

#include <ctime>
#include <cwchar>
#include <string>

#include "base/Handles.h"
#include "base/Log.h"
#include "base/TextConvert.h"

namespace vondrel {
namespace {

constexpr const char* kUnknownWindows = "Microsoft Windows";

struct EditionName {
    DWORD type;
    const char* text;
};

// GetProductInfo's types that the text names; every other type adds nothing.
constexpr EditionName kEditions[] = {
    {PRODUCT_ULTIMATE, "Ultimate Edition"},
    {PRODUCT_HOME_BASIC, "Home Basic Edition"},
    {PRODUCT_HOME_PREMIUM, "Home Premium Edition"},
    {PRODUCT_ENTERPRISE, "Enterprise Edition"},
    {PRODUCT_ENTERPRISE_SERVER, "Enterprise Edition"},
    {PRODUCT_BUSINESS, "Business Edition"},
    {PRODUCT_STANDARD_SERVER, "Standard Edition"},
    {PRODUCT_DATACENTER_SERVER, "Datacenter Edition"},
    {PRODUCT_SMALLBUSINESS_SERVER, "Small Business Server"},
    {PRODUCT_STARTER, "Starter Edition"},
    {PRODUCT_DATACENTER_SERVER_CORE, "Datacenter Edition (core installation)"},
    {PRODUCT_STANDARD_SERVER_CORE, "Standard Edition (core installation)"},
    {PRODUCT_ENTERPRISE_SERVER_CORE, "Enterprise Edition (core installation)"},
    {PRODUCT_ENTERPRISE_SERVER_IA64, "Enterprise Edition for Itanium-based Systems"},
    {PRODUCT_WEB_SERVER, "Web Server Edition"},
    {PRODUCT_CLUSTER_SERVER, "Cluster Server Edition"},
    {PRODUCT_SMALLBUSINESS_SERVER_PREMIUM, "Small Business Server Premium Edition"},
};

bool IsWorkstation(const SystemVersionFacts& f) { return f.productType == VER_NT_WORKSTATION; }
bool HasSuite(const SystemVersionFacts& f, WORD bit) { return (f.suiteMask & bit) != 0; }

const char* EditionText(DWORD type) {
    for (const auto& edition : kEditions) {
        if (edition.type == type) return edition.text;
    }
    return "";
}

// "Windows 10 " ... "Windows Server 2012 R2 " for versions from 6.0 on.
std::string ModernWindowsName(const SystemVersionFacts& f) {
    const bool workstation = IsWorkstation(f);
    if (f.majorVersion >= 10) return workstation ? "Windows 10 " : "Windows Server 2016";
    if (f.majorVersion != 6) return "";
    switch (f.minorVersion) {
        case 0: return workstation ? "Windows Vista " : "Windows Server 2008 ";
        case 1: return workstation ? "Windows 7 " : "Windows Server 2008 R2 ";
        case 2: return workstation ? "Windows 8 " : "Windows Server 2012 ";
        case 3: return workstation ? "Windows 8.1 " : "Windows Server 2012 R2 ";
        default: return "";
    }
}

std::string Server2003Family(const SystemVersionFacts& f) {
    if (f.serverR2 != 0) return "Windows Server 2003 R2, ";
    if (f.suiteMask == VER_SUITE_STORAGE_SERVER) return "Windows Storage Server 2003";
    if (f.suiteMask == VER_SUITE_WH_SERVER) return "Windows Home Server";
    if (IsWorkstation(f) && f.architecture == PROCESSOR_ARCHITECTURE_AMD64) return "Windows XP Professional x64 Edition";
    return "Windows Server 2003, ";
}

std::string Server2003Edition(const SystemVersionFacts& f) {
    if (IsWorkstation(f)) return "";
    if (f.architecture == PROCESSOR_ARCHITECTURE_IA64) {
        if (HasSuite(f, VER_SUITE_DATACENTER)) return "Datacenter Edition for Itanium-based Systems";
        if (HasSuite(f, VER_SUITE_ENTERPRISE)) return "Enterprise Edition for Itanium-based Systems";
        return "";
    }
    if (f.architecture == PROCESSOR_ARCHITECTURE_AMD64) {
        if (HasSuite(f, VER_SUITE_DATACENTER)) return "Datacenter x64 Edition";
        if (HasSuite(f, VER_SUITE_ENTERPRISE)) return "Enterprise x64 Edition";
        return "Standard x64 Edition";
    }
    if (HasSuite(f, VER_SUITE_COMPUTE_SERVER)) return "Compute Cluster Edition";
    if (HasSuite(f, VER_SUITE_DATACENTER)) return "Datacenter Edition";
    if (HasSuite(f, VER_SUITE_ENTERPRISE)) return "Enterprise Edition";
    if (HasSuite(f, VER_SUITE_BLADE)) return "Web Edition";
    return "Standard Edition";
}

std::string Windows2000Edition(const SystemVersionFacts& f) {
    if (IsWorkstation(f)) return "Professional";
    if (HasSuite(f, VER_SUITE_DATACENTER)) return "Datacenter Server";
    if (HasSuite(f, VER_SUITE_ENTERPRISE)) return "Advanced Server";
    return "Server";
}

// Name and edition of the 5.x systems.
std::string ClassicWindowsName(const SystemVersionFacts& f) {
    if (f.majorVersion != 5) return "";
    switch (f.minorVersion) {
        case 2: return Server2003Family(f) + Server2003Edition(f);
        case 1: return std::string("Windows XP ") + (HasSuite(f, VER_SUITE_PERSONAL) ? "Home Edition" : "Professional");
        case 0: return "Windows 2000 " + Windows2000Edition(f);
        default: return "";
    }
}

const char* BitnessSuffix(const SystemVersionFacts& f) {
    if (f.majorVersion < 6) return "";
    if (f.architecture == PROCESSOR_ARCHITECTURE_AMD64) return ", 64-bit";
    if (f.architecture == PROCESSOR_ARCHITECTURE_INTEL) return ", 32-bit";
    return "";
}

using GetNativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);
using GetProductInfoFunction = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, PDWORD);

// Looked up at run time: older systems lack both calls.
template <typename Function>
Function Kernel32Function(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (!kernel32) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

WORD ReadArchitecture() {
    SYSTEM_INFO info{};
    if (auto native = Kernel32Function<GetNativeSystemInfoFunction>("GetNativeSystemInfo")) {
        native(&info);
    } else {
        GetSystemInfo(&info);
    }
    return info.wProcessorArchitecture;
}

DWORD ReadEditionType(DWORD major, DWORD minor) {
    auto productInfo = Kernel32Function<GetProductInfoFunction>("GetProductInfo");
    DWORD type = 0;
    if (!productInfo || !productInfo(major, minor, 0, 0, &type)) return 0;
    return type;
}

}  // namespace

SystemVersionFacts ReadSystemVersionFacts() {
    SystemVersionFacts facts;
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return facts;
    facts.versionRead = true;
    facts.platformId = version.dwPlatformId;
    facts.majorVersion = version.dwMajorVersion;
    facts.minorVersion = version.dwMinorVersion;
    facts.buildNumber = version.dwBuildNumber;
    facts.servicePack = version.szCSDVersion;
    facts.suiteMask = version.wSuiteMask;
    facts.productType = version.wProductType;
    facts.architecture = ReadArchitecture();
    if (facts.majorVersion >= 6) facts.editionType = ReadEditionType(facts.majorVersion, facts.minorVersion);
    facts.serverR2 = GetSystemMetrics(SM_SERVERR2);
    return facts;
}

std::wstring OsVersionText(const SystemVersionFacts& f) {
    if (!f.versionRead) return Utf8ToWide(kUnknownWindows);
    if (f.platformId != VER_PLATFORM_WIN32_NT || f.majorVersion < 5) return L"";
    std::string text = "Microsoft ";
    text += ModernWindowsName(f);
    if (f.majorVersion >= 6) text += EditionText(f.editionType);
    text += ClassicWindowsName(f);
    if (!f.servicePack.empty()) text += " " + f.servicePack;
    text += " (build " + std::to_string(f.buildNumber) + ")";
    text += BitnessSuffix(f);
    return Utf8ToWide(text);
}

std::wstring OsVersionText() { return OsVersionText(ReadSystemVersionFacts()); }

std::wstring RunDateText() {
    const __time64_t now = _time64(nullptr);
    const struct tm* local = _localtime64(&now);
    if (!local) return L"";
    const char* text = asctime(local);
    if (!text) return L"";
    return Utf8ToWide(std::string(text, 24));
}

std::wstring ComputerNameText() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"COMPUTERNAME", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"";
    return std::wstring(buffer, length);
}

std::wstring ProgramFolderText() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const std::wstring path(buffer, length < MAX_PATH ? length : MAX_PATH);
    const size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

LSTATUS AgentGuidFromValue(DWORD type, const wchar_t* data, DWORD bytes, std::wstring& text) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (bytes % sizeof(wchar_t) != 0 || bytes > kAgentGuidBufferChars * sizeof(wchar_t)) return ERROR_INVALID_DATA;
    const DWORD chars = bytes / sizeof(wchar_t);
    if (chars == 0) {  // an empty value stored without even its terminator
        text.clear();
        return ERROR_SUCCESS;
    }
    if (data[chars - 1] != L'\0') return ERROR_INVALID_DATA;
    // 49 characters and the terminator fill the buffer exactly: the value may have been cut, so a text
    // of that length is not trusted as a whole GUID.
    if (chars == kAgentGuidBufferChars) return ERROR_MORE_DATA;
    text.assign(data, wcsnlen(data, chars));  // a text, up to its first null
    return ERROR_SUCCESS;
}

std::wstring ReadAgentGuid() {
    constexpr const wchar_t* kOpenFailed = L"Unable to open RV registry key, 0x%x";
    constexpr const wchar_t* kReadFailed = L"Unable to read RV registry key, 0x%x";
    UniqueRegKey key;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKeyPath, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
    if (opened != ERROR_SUCCESS) {
        LogWrite(kLogLevelMain, kLogMain, kOpenFailed, static_cast<unsigned>(opened));
        return L"";
    }
    wchar_t buffer[kAgentGuidBufferChars] = {};
    DWORD type = 0;
    DWORD bytes = sizeof buffer;
    LSTATUS read =
        RegQueryValueExW(key.get(), kAgentGuidValueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    std::wstring text;
    if (read == ERROR_SUCCESS) read = AgentGuidFromValue(type, buffer, bytes, text);
    if (read != ERROR_SUCCESS) {
        LogWrite(kLogLevelMain, kLogMain, kReadFailed, static_cast<unsigned>(read));
        return L"";
    }
    return text;
}

}  // namespace vondrel
