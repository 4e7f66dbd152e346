#include "driver/RunSettings.h"

#include <cwchar>

#include "base/Log.h"
#include "driver/Messages.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kInvalidArgument = L"Invalid command line argument %s";
constexpr const wchar_t* kEmailMissing = L"Email ID is missing in command-line options, stopping tool execution";
constexpr const wchar_t* kSegregateNeedsNoUpload = L"--Segregate option is valid only with --No-Upload option";
constexpr const wchar_t* kProxyPortMissing = L"Invalid proxy info, missing proxy port info";
constexpr const wchar_t* kProxyAndScript = L"Invalid proxy info, proxy and proxy script both supplied as input";

struct OptionField {
    const wchar_t* name;
    std::wstring RunSettings::*field;
};

// Compared in this order; the first match wins.
constexpr OptionField kOptions[] = {
    {L"--Quarantine-Folder", &RunSettings::quarantineFolder},
    {L"--Email", &RunSettings::email},
    {L"--Proxy-server", &RunSettings::proxyServer},
    {L"--Proxy-port", &RunSettings::proxyPort},
    {L"--Config-script", &RunSettings::configScript},
};

bool RejectArgument(const wchar_t* argument) {
    LogWrite(kLogLevelMain, kLogMain, kInvalidArgument, argument);
    LogWrite(kLogLevelMain, kLogMain, kStoppingMessage);
    return false;
}

bool ApplyOption(const wchar_t* argument, RunSettings& settings) {
    const wchar_t* equals = wcschr(argument, L'=');
    if (equals == nullptr) return false;
    const std::wstring name(argument, equals);
    for (const OptionField& option : kOptions) {
        if (_wcsicmp(name.c_str(), option.name) == 0) {
            settings.*option.field = equals + 1;
            return true;
        }
    }
    return false;
}

}  // namespace

bool ParseCommandLine(int argc, wchar_t** argv, RunSettings& settings) {
    for (int i = 1; i < argc; ++i) {
        if (!ApplyOption(argv[i], settings)) return RejectArgument(argv[i]);
    }
    return true;
}

bool ValidateSettings(const RunSettings& settings) {
    const wchar_t* reason = nullptr;
    if (settings.email.empty() && !settings.noUpload) {
        reason = kEmailMissing;
    } else if (settings.segregate && !settings.noUpload) {
        reason = kSegregateNeedsNoUpload;
    } else if (!settings.proxyServer.empty() && settings.proxyPort.empty()) {
        reason = kProxyPortMissing;
    } else if (!settings.proxyServer.empty() && !settings.configScript.empty()) {
        reason = kProxyAndScript;
    }
    if (reason == nullptr) return true;
    LogWrite(kLogLevelMain, kLogMain, reason);
    return false;
}

}  // namespace vondrel
