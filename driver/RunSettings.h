// The run's settings: filled from the command line (name=value options) and checked before the run
// touches the quarantine store.
#pragma once

#include <string>

namespace vondrel {

struct RunSettings {
    bool noUpload = false;         // no option sets these three switches
    bool ignoreSentCache = false;
    bool segregate = false;
    std::wstring quarantineFolder = L"C:\\Quarantine";
    std::wstring email;
    std::wstring comment = L"Vondrel submission";
    std::wstring dataFolder = L"C:\\ProgramData\\Norvane\\Vondrel";
    std::wstring proxyServer;
    std::wstring proxyPort;         // kept as text
    std::wstring configScript;
};

// Fills settings from argv[1..argc-1]; false (after logging why) at the first rejected argument.
bool ParseCommandLine(int argc, wchar_t** argv, RunSettings& settings);

// True when a run may go ahead; on false it has logged the one reason.
bool ValidateSettings(const RunSettings& settings);

}  // namespace vondrel
