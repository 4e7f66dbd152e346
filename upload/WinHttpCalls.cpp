#include "upload/WinHttpCalls.h"

namespace vondrel {

ProxyInfo::~ProxyInfo() {
    put();
}

WINHTTP_PROXY_INFO* ProxyInfo::put() {
    UniqueGlobal proxy(info_.lpszProxy);
    UniqueGlobal bypass(info_.lpszProxyBypass);
    info_ = WINHTTP_PROXY_INFO{};
    return &info_;
}

HINTERNET WinHttpCalls::Open(const wchar_t* agent, DWORD accessType, const wchar_t* proxyName,
                             const wchar_t* proxyBypass, DWORD flags) {
    return ::WinHttpOpen(agent, accessType, proxyName, proxyBypass, flags);
}

BOOL WinHttpCalls::GetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                                  WINHTTP_PROXY_INFO* info) {
    return ::WinHttpGetProxyForUrl(session, url, options, info);
}

BOOL WinHttpCalls::SetCredentials(HINTERNET request, DWORD target, DWORD scheme, const wchar_t* userName,
                                  const wchar_t* password) {
    return ::WinHttpSetCredentials(request, target, scheme, userName, password, nullptr);
}

BOOL WinHttpCalls::SendRequest(HINTERNET request, DWORD totalLength) {
    return ::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                totalLength, 0);
}

BOOL WinHttpCalls::WriteData(HINTERNET request, const void* data, DWORD size, DWORD* written) {
    return ::WinHttpWriteData(request, data, size, written);
}

BOOL WinHttpCalls::ReceiveResponse(HINTERNET request) {
    return ::WinHttpReceiveResponse(request, nullptr);
}

BOOL WinHttpCalls::QueryStatusCode(HINTERNET request, DWORD* status) {
    DWORD size = sizeof(*status);
    return ::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX);
}

BOOL WinHttpCalls::QueryAuthSchemes(HINTERNET request, DWORD* supported, DWORD* first, DWORD* target) {
    return ::WinHttpQueryAuthSchemes(request, supported, first, target);
}

IWinHttpCalls& SystemWinHttp() {
    static WinHttpCalls calls;
    return calls;
}

}  // namespace vondrel
