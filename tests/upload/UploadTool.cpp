// upload_tool <archive> [--Proxy-server=host --Proxy-port=port | --Config-script=url]
// Uploads one archive as the run does, with the built-in endpoint and credentials, so that the tests
// can drive the real upload against real servers. Exit code 0 when the upload succeeded.
#include <string>

#include "upload/Upload.h"

namespace {

constexpr const wchar_t* kProxyServerOption = L"--Proxy-server=";
constexpr const wchar_t* kProxyPortOption = L"--Proxy-port=";
constexpr const wchar_t* kConfigScriptOption = L"--Config-script=";

bool TakeOption(const std::wstring& argument, const wchar_t* name, std::wstring& value) {
    const std::wstring prefix = name;
    if (argument.compare(0, prefix.size(), prefix) != 0) return false;
    value = argument.substr(prefix.size());
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring proxyServer, proxyPort, configScript;
    for (int i = 2; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (!TakeOption(argument, kProxyServerOption, proxyServer) && !TakeOption(argument, kProxyPortOption, proxyPort) &&
            !TakeOption(argument, kConfigScriptOption, configScript))
            return 2;
    }
    // The client as the run fills it: an explicit proxy wins over a script.
    vondrel::UploadClient client;
    if (!proxyServer.empty()) {
        client.proxyServer = proxyServer;
        client.proxyPort = proxyPort;
        client.useProxy = true;
    } else if (!configScript.empty()) {
        client.autoConfigUrl = configScript;
        client.useProxy = true;
    }
    return vondrel::SubmitArchive(client, argv[1]) ? 0 : 1;
}
