// How the upload reaches the back end: an explicit proxy, the proxies a PAC script or automatic
// discovery names, or a direct connection; and the WinHTTP session and connection opened that way.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "upload/WinHttpCalls.h"

namespace vondrel {

// User agent of every session the upload opens.
constexpr const wchar_t* kUserAgent = L"Ostrel/2.0";

// The proxy settings of one upload, filled by the run from the command line.
struct UploadClient {
    std::wstring proxyServer;    // explicit proxy host; empty when none
    std::wstring proxyPort;      // its port, as text
    std::wstring proxyUserName;  // proxy credentials; this tool leaves them empty
    std::wstring proxyPassword;
    std::wstring autoConfigUrl;  // URL of a proxy auto-config script; empty when none
    bool useProxy = false;       // explicit proxy or script given: a HEAD precedes the PUT
};

// Opens the session (written to *session in every case, null when none) and the connection to
// host:port; returns the connection or null. The caller closes both.
// On null the thread's last error is that of the call that failed.
HINTERNET OpenConnection(const UploadClient& client, const std::wstring& host, INTERNET_PORT port,
                         HINTERNET* session);
HINTERNET OpenConnection(IWinHttpCalls& http, const UploadClient& client, const std::wstring& host,
                         INTERNET_PORT port, HINTERNET* session);

// The proxy list that the script at scriptUrl returns for the endpoint; false (list empty) on failure.
bool ProxyListFromScript(const std::wstring& scriptUrl, std::wstring& proxyList);
bool ProxyListFromScript(IWinHttpCalls& http, const std::wstring& scriptUrl, std::wstring& proxyList);

// The proxy list that WinHTTP's automatic discovery finds; "DIRECT;" when it finds none.
bool ProxyListFromAutoDetect(std::wstring& proxyList);
bool ProxyListFromAutoDetect(IWinHttpCalls& http, std::wstring& proxyList);

}  // namespace vondrel
