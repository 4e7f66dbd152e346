// Facts about the machine and the run that the submission report and the metadata file carry: the
// operating-system text, the run date, the computer name, the program's folder and the management
// agent's GUID.
#pragma once

#include <windows.h>

#include <string>

namespace vondrel {

// What the operating-system text is made of, as the system reports it to this program.
struct SystemVersionFacts {
    bool versionRead = false;  // GetVersionExA succeeded; nothing below is meaningful otherwise
    DWORD platformId = 0;
    DWORD majorVersion = 0;
    DWORD minorVersion = 0;
    DWORD buildNumber = 0;
    std::string servicePack;  // szCSDVersion
    WORD suiteMask = 0;
    BYTE productType = 0;      // VER_NT_WORKSTATION (1), VER_NT_DOMAIN_CONTROLLER, VER_NT_SERVER
    WORD architecture = 0;     // PROCESSOR_ARCHITECTURE_* of GetNativeSystemInfo
    DWORD editionType = 0;     // GetProductInfo's product type (asked from version 6 on), 0 if none
    int serverR2 = 0;          // GetSystemMetrics(SM_SERVERR2)
};

// Reads the facts above from the running system.
SystemVersionFacts ReadSystemVersionFacts();

// The text for the facts, for example
// "Microsoft Windows 7 Ultimate Edition Service Pack 1 (build 7601), 64-bit"; "Microsoft Windows" when
// the version could not be read, empty for a platform older than NT 5.
std::wstring OsVersionText(const SystemVersionFacts& facts);
// The text of the running system.
std::wstring OsVersionText();

// The local time as asctime writes it, without its line feed: "Sat Dec  5 14:25:42 2026".
std::wstring RunDateText();

// The environment variable "COMPUTERNAME", empty when it is not set.
std::wstring ComputerNameText();

// The program's own path cut before its last "\" (the whole path when it has none).
std::wstring ProgramFolderText();

constexpr const wchar_t* kAgentKeyPath = L"SOFTWARE\\Kelmar Group\\KVR\\Shared Components\\Framework";
constexpr const wchar_t* kAgentGuidValueName = L"AgentGUID";

// The buffer the agent's value is read into, terminator included.
constexpr DWORD kAgentGuidBufferChars = 50;

// The agent's GUID from a value as RegQueryValueExW put it into that buffer: ERROR_SUCCESS with the text,
// or the code the read fails with (ERROR_INVALID_DATA for another type, an odd byte count or a missing
// terminator; ERROR_MORE_DATA for a text that fills the whole buffer and may have been cut).
LSTATUS AgentGuidFromValue(DWORD type, const wchar_t* data, DWORD bytes, std::wstring& text);

// The management agent's "AgentGUID" string value under HKEY_LOCAL_MACHINE in the 32-bit registry
// view, where the agent writes it. Empty when the key or value cannot be read (logged with the
// registry's code; a value too long for 48 characters is ERROR_MORE_DATA, one of the wrong type or
// without its terminator ERROR_INVALID_DATA).
std::wstring ReadAgentGuid();

}  // namespace vondrel
