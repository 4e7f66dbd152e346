#include "upload/ProxySelection.h"

#include "base/Log.h"
#include "BuildSettings.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kProxyEnabled = L"Proxy is enabled for communication";
constexpr const wchar_t* kUsingScript = L"Using proxy auto config script";
constexpr const wchar_t* kUsingPacUrl = L"Using pac file URL %s";
constexpr const wchar_t* kPacSessionFailed = L"Unable to get proxy configuration using PAC, 0x%x";
constexpr const wchar_t* kPacLookupFailed = L"Unable to get proxy configuration using PAC file, 0x%x";
constexpr const wchar_t* kAutoSessionFailed = L"No auto proxy config info, 0x%x";
constexpr const wchar_t* kAutoLookupFailed = L"No auto proxy configuration info found, 0x%x";
constexpr const wchar_t* kTryingProxy = L"Trying proxy %s";
constexpr const wchar_t* kProxyRefused = L"Unable to use proxy to open http connection, 0x%x";
constexpr const wchar_t* kUsingProxy = L"Using proxy for communication";
constexpr const wchar_t* kUsingDirect = L"Using direct connection for communication";
constexpr const wchar_t* kNoSession = L"Unable to open http, 0x%x";
constexpr const wchar_t* kConnectFailed = L"Unable to open http connection, 0x%x";

constexpr const wchar_t* kDirect = L"DIRECT";
constexpr const wchar_t* kDirectEntry = L"DIRECT;";

// Logs a failure line with the error of the call that just failed and leaves that error in place.
void LogCallFailure(const wchar_t* format) {
    const DWORD error = GetLastError();
    LogWrite(kLogLevelMain, kLogCommunication, format, error);
    SetLastError(error);
}

// The asynchronous session the look-ups run in.
UniqueInternet OpenLookupSession(IWinHttpCalls& http) {
    return UniqueInternet(http.Open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
}

bool HasProxyText(const ProxyInfo& info) {
    return info.proxy() != nullptr && info.proxy()[0] != L'\0';
}

// Every entry of a list ends with ';'.
void EndWithSeparator(std::wstring& list) {
    if (list.find(L';') == std::wstring::npos) list += L';';
}

// The next ';'-ended entry from pos on; text after the last ';' is not an entry.
bool NextProxyEntry(const std::wstring& list, size_t& pos, std::wstring& entry) {
    const size_t end = list.find(L';', pos);
    if (end == std::wstring::npos) return false;
    entry = list.substr(pos, end - pos);
    pos = end + 1;
    return true;
}

// The proxies to try, from the explicit proxy, the script or the automatic detection in that order.
std::wstring ChooseProxyList(IWinHttpCalls& http, const UploadClient& client) {
    if (!client.proxyServer.empty()) {
        LogWrite(kLogLevelMain, kLogCommunication, kProxyEnabled);
        return client.proxyServer + L":" + client.proxyPort + L";";
    }
    std::wstring list;
    if (!client.autoConfigUrl.empty()) {
        LogWrite(kLogLevelMain, kLogCommunication, kUsingScript);
        ProxyListFromScript(http, client.autoConfigUrl, list);
        if (!list.empty()) return list;
    }
    ProxyListFromAutoDetect(http, list);
    return list;
}

// The first entry of the list that WinHttpOpen takes as named proxy, or a null session.
UniqueInternet OpenProxySession(IWinHttpCalls& http, const std::wstring& list) {
    size_t pos = 0;
    std::wstring entry;
    while (NextProxyEntry(list, pos, entry)) {
        LogWrite(kLogLevelMain, kLogCommunication, kTryingProxy, entry.c_str());
        UniqueInternet session(
            http.Open(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, entry.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
        if (session) {
            LogWrite(kLogLevelMain, kLogCommunication, kUsingProxy);
            return session;
        }
        LogCallFailure(kProxyRefused);
    }
    return UniqueInternet();
}

// A session through the first usable proxy of the list, otherwise without a named proxy.
UniqueInternet OpenSession(IWinHttpCalls& http, const std::wstring& list) {
    if (list != kDirect && list != kDirectEntry) {
        UniqueInternet session = OpenProxySession(http, list);
        if (session) return session;
    }
    LogWrite(kLogLevelMain, kLogCommunication, kUsingDirect);
    return UniqueInternet(http.Open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
}

}  // namespace

HINTERNET OpenConnection(IWinHttpCalls& http, const UploadClient& client, const std::wstring& host,
                         INTERNET_PORT port, HINTERNET* session) {
    *session = OpenSession(http, ChooseProxyList(http, client)).release();
    if (*session == nullptr) {
        LogCallFailure(kNoSession);
        return nullptr;
    }
    HINTERNET connection = WinHttpConnect(*session, host.c_str(), port, 0);
    if (connection == nullptr) LogCallFailure(kConnectFailed);
    return connection;
}

HINTERNET OpenConnection(const UploadClient& client, const std::wstring& host, INTERNET_PORT port,
                         HINTERNET* session) {
    return OpenConnection(SystemWinHttp(), client, host, port, session);
}

bool ProxyListFromScript(IWinHttpCalls& http, const std::wstring& scriptUrl, std::wstring& proxyList) {
    proxyList.clear();
    UniqueInternet session = OpenLookupSession(http);
    if (!session) {
        LogCallFailure(kPacSessionFailed);
        return false;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
    options.fAutoLogonIfChallenged = FALSE;
    LogWrite(kLogLevelMain, kLogCommunication, kUsingPacUrl, scriptUrl.c_str());

    ProxyInfo info;
    if (!http.GetProxyForUrl(session.get(), build::kEndpointUrl, &options, info.put()) || !HasProxyText(info)) {
        LogCallFailure(kPacLookupFailed);
        return false;
    }
    proxyList = info.proxy();
    EndWithSeparator(proxyList);
    return true;
}

bool ProxyListFromScript(const std::wstring& scriptUrl, std::wstring& proxyList) {
    return ProxyListFromScript(SystemWinHttp(), scriptUrl, proxyList);
}

bool ProxyListFromAutoDetect(IWinHttpCalls& http, std::wstring& proxyList) {
    proxyList = kDirect;
    UniqueInternet session = OpenLookupSession(http);
    if (!session) {
        LogCallFailure(kAutoSessionFailed);
        return false;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.fAutoLogonIfChallenged = FALSE;

    ProxyInfo info;
    const bool found =
        http.GetProxyForUrl(session.get(), build::kEndpointUrl, &options, info.put()) && HasProxyText(info);
    if (!found) LogCallFailure(kAutoLookupFailed);
    session.reset();

    if (found) proxyList = info.proxy();
    EndWithSeparator(proxyList);
    return found;
}

bool ProxyListFromAutoDetect(std::wstring& proxyList) {
    return ProxyListFromAutoDetect(SystemWinHttp(), proxyList);
}

}  // namespace vondrel
