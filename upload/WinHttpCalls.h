// The WinHTTP calls whose answers decide the upload's course (sessions, proxy look-ups, the request
// exchange), behind an interface so that answers the platform at hand cannot give (a proxy's 407, a
// resend request, Negotiate) can still be produced; WinHttpCalls makes the real calls.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "base/Handles.h"

namespace vondrel {

struct InternetHandleTraits {
    using pointer = HINTERNET;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueResource<InternetHandleTraits>;  // WinHttpOpen, Connect, OpenRequest

struct GlobalMemoryTraits {
    using pointer = HGLOBAL;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::GlobalFree(h); }
};
using UniqueGlobal = UniqueResource<GlobalMemoryTraits>;  // texts WinHttpGetProxyForUrl hands out

// The result of WinHttpGetProxyForUrl; frees the texts that the call allocated.
class ProxyInfo {
public:
    ProxyInfo() = default;
    ProxyInfo(const ProxyInfo&) = delete;
    ProxyInfo& operator=(const ProxyInfo&) = delete;
    ~ProxyInfo();

    WINHTTP_PROXY_INFO* put();  // frees what is held, for the call to fill
    const wchar_t* proxy() const { return info_.lpszProxy; }  // null when none

private:
    WINHTTP_PROXY_INFO info_{};
};

class IWinHttpCalls {
public:
    virtual ~IWinHttpCalls() = default;

    virtual HINTERNET Open(const wchar_t* agent, DWORD accessType, const wchar_t* proxyName,
                           const wchar_t* proxyBypass, DWORD flags) = 0;
    virtual BOOL GetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                                WINHTTP_PROXY_INFO* info) = 0;
    virtual BOOL SetCredentials(HINTERNET request, DWORD target, DWORD scheme, const wchar_t* userName,
                                const wchar_t* password) = 0;
    // No additional headers and no optional data; totalLength announces the body.
    virtual BOOL SendRequest(HINTERNET request, DWORD totalLength) = 0;
    virtual BOOL WriteData(HINTERNET request, const void* data, DWORD size, DWORD* written) = 0;
    virtual BOOL ReceiveResponse(HINTERNET request) = 0;
    // The response's status code as a number.
    virtual BOOL QueryStatusCode(HINTERNET request, DWORD* status) = 0;
    virtual BOOL QueryAuthSchemes(HINTERNET request, DWORD* supported, DWORD* first, DWORD* target) = 0;
};

class WinHttpCalls : public IWinHttpCalls {
public:
    HINTERNET Open(const wchar_t* agent, DWORD accessType, const wchar_t* proxyName, const wchar_t* proxyBypass,
                   DWORD flags) override;
    BOOL GetProxyForUrl(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                        WINHTTP_PROXY_INFO* info) override;
    BOOL SetCredentials(HINTERNET request, DWORD target, DWORD scheme, const wchar_t* userName,
                        const wchar_t* password) override;
    BOOL SendRequest(HINTERNET request, DWORD totalLength) override;
    BOOL WriteData(HINTERNET request, const void* data, DWORD size, DWORD* written) override;
    BOOL ReceiveResponse(HINTERNET request) override;
    BOOL QueryStatusCode(HINTERNET request, DWORD* status) override;
    BOOL QueryAuthSchemes(HINTERNET request, DWORD* supported, DWORD* first, DWORD* target) override;
};

// The process's one set of real calls, used by the entry points that take none.
IWinHttpCalls& SystemWinHttp();

}  // namespace vondrel
