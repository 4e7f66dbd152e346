// WinHTTP as a back end or proxy would make it answer: the real calls for sessions, connections and
// requests (none of them touches the network), scripted answers for the calls of the exchange and the
// proxy look-ups, and a record of what the upload asked.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "upload/WinHttpCalls.h"

namespace vondrel::test {

// What one send of the request meets.
struct Answer {
    DWORD status = HTTP_STATUS_CREATED;
    DWORD schemes = 0;                          // offered with a 401 or 407
    DWORD target = WINHTTP_AUTH_TARGET_SERVER;  // as WinHttpQueryAuthSchemes reports it
    DWORD sendError = 0;                        // WinHttpSendRequest fails with it
    DWORD receiveError = 0;                     // WinHttpReceiveResponse fails with it
    DWORD queryError = 0;                       // WinHttpQueryAuthSchemes fails with it
};

struct CredentialsCall {
    DWORD target;
    DWORD scheme;
    std::wstring userName;
    std::wstring password;
};

struct OpenCall {
    DWORD accessType;
    std::wstring proxyName;
    DWORD flags;
};

class FakeWinHttp : public WinHttpCalls {
public:
    // Sends meet these answers in order; the last one repeats.
    std::vector<Answer> answers{Answer{}};
    // Decides whether WinHttpOpen takes a session (ERROR_INVALID_PARAMETER when not).
    std::function<bool(const OpenCall&)> openAccepts = [](const OpenCall&) { return true; };
    // The proxy text WinHttpGetProxyForUrl returns for a script (flag 2) or auto-detection (flag 1);
    // empty: the call fails with lookupError. A text of "-" returns success without a proxy.
    std::wstring scriptProxy;
    std::wstring detectedProxy;
    DWORD lookupError = ERROR_WINHTTP_AUTODETECTION_FAILED;
    // Write number n (from 0) fails with error, reporting `written` bytes; -1: no write fails.
    int failingWrite = -1;
    DWORD writeError = ERROR_WINHTTP_CONNECTION_ERROR;
    std::function<DWORD(DWORD chunk)> failedWriteCount = [](DWORD) { return 0; };

    std::vector<DWORD> sends;  // the total length of each send
    std::vector<std::wstring> requestLines;  // "PUT /object HTTP/1.1" of the request at each send
    std::vector<DWORD> writes;  // chunk sizes
    std::string body;           // every byte written
    std::vector<CredentialsCall> credentials;
    std::vector<OpenCall> opens;
    std::vector<WINHTTP_AUTOPROXY_OPTIONS> lookups;  // lpszAutoConfigUrl is only valid during the call
    std::vector<std::wstring> lookupScripts;         // its text
    std::vector<std::wstring> lookupUrls;

    HINTERNET Open(const wchar_t* agent, DWORD accessType, const wchar_t* proxyName, const wchar_t* proxyBypass,
                   DWORD flags) override {
        OpenCall call{accessType, proxyName ? proxyName : L"", flags};
        opens.push_back(call);
        if (!openAccepts(call)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return WinHttpCalls::Open(agent, accessType, proxyName, proxyBypass, flags);
    }

    BOOL GetProxyForUrl(HINTERNET, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options,
                        WINHTTP_PROXY_INFO* info) override {
        lookups.push_back(*options);
        lookupScripts.push_back(options->lpszAutoConfigUrl ? options->lpszAutoConfigUrl : L"");
        lookupUrls.push_back(url);
        const std::wstring& answer =
            options->dwFlags == WINHTTP_AUTOPROXY_CONFIG_URL ? scriptProxy : detectedProxy;
        if (answer.empty()) {
            SetLastError(lookupError);
            return FALSE;
        }
        info->dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        if (answer != L"-") info->lpszProxy = GlobalCopy(answer);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    BOOL SetCredentials(HINTERNET, DWORD target, DWORD scheme, const wchar_t* userName,
                        const wchar_t* password) override {
        credentials.push_back({target, scheme, userName, password});
        return TRUE;
    }

    BOOL SendRequest(HINTERNET request, DWORD totalLength) override {
        current_ = answers[sends.size() < answers.size() ? sends.size() : answers.size() - 1];
        sends.push_back(totalLength);
        requestLines.push_back(RequestLine(request));
        return Result(current_.sendError);
    }

    BOOL WriteData(HINTERNET, const void* data, DWORD size, DWORD* written) override {
        const int index = static_cast<int>(writes.size());
        writes.push_back(size);
        body.append(static_cast<const char*>(data), size);
        if (index == failingWrite) {
            *written = failedWriteCount(size);
            return Result(writeError);
        }
        *written = size;
        return TRUE;
    }

    BOOL ReceiveResponse(HINTERNET) override { return Result(current_.receiveError); }

    BOOL QueryStatusCode(HINTERNET, DWORD* status) override {
        *status = current_.status;
        return TRUE;
    }

    BOOL QueryAuthSchemes(HINTERNET, DWORD* supported, DWORD* first, DWORD* target) override {
        if (current_.queryError) return Result(current_.queryError);
        *supported = current_.schemes;
        *first = current_.schemes & (~current_.schemes + 1);
        *target = current_.target;
        return TRUE;
    }

private:
    static std::wstring RequestLine(HINTERNET request) {
        wchar_t headers[2048] = {};
        DWORD size = sizeof(headers);
        if (request == nullptr ||
            !WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF | WINHTTP_QUERY_FLAG_REQUEST_HEADERS,
                                 WINHTTP_HEADER_NAME_BY_INDEX, headers, &size, WINHTTP_NO_HEADER_INDEX))
            return L"";
        const std::wstring text = headers;
        return text.substr(0, text.find(L"\r\n"));
    }
    static BOOL Result(DWORD error) {
        SetLastError(error);
        return error == 0;
    }
    // Texts of the proxy info are the caller's to free with GlobalFree, as the real call's are.
    static wchar_t* GlobalCopy(const std::wstring& text) {
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        auto* copy = static_cast<wchar_t*>(GlobalAlloc(GMEM_FIXED, bytes));
        memcpy(copy, text.c_str(), bytes);
        return copy;
    }

    Answer current_;
};

}  // namespace vondrel::test
