// The HTTPS upload of a finished archive to the sample back end: one PUT through WinHTTP, with the
// server's authentication challenge answered and, behind a proxy, a HEAD first to pass the proxy.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

#include "upload/ProxySelection.h"
#include "upload/WinHttpCalls.h"

namespace vondrel {

constexpr uint64_t kUploadLimit = 52428800;  // 50 MiB: larger archives are refused
constexpr DWORD kBodyChunk = 262144;         // 256 KiB per WinHttpWriteData, a progress line after each
constexpr unsigned kMaxResends = 3;          // sends again after ERROR_WINHTTP_RESEND_REQUEST
constexpr unsigned kMaxUnusableProxyChallenges = 3;  // 407 answers offering no scheme we know

// Supplies the built-in endpoint URL and credentials and uploads the archive; true when it was taken.
bool SubmitArchive(const UploadClient& client, const std::wstring& zipPath);

// Uploads the archive at zipPath to url with the server credentials userName / password.
bool UploadFile(const UploadClient& client, const std::wstring& url, const std::wstring& zipPath,
                const std::wstring& userName, const std::wstring& password);
bool UploadFile(IWinHttpCalls& http, const UploadClient& client, const std::wstring& url,
                const std::wstring& zipPath, const std::wstring& userName, const std::wstring& password);

// Gets the HEAD request through the proxy's authentication; false ends the upload as failed, with
// the failed call's error as the thread's last error (0 when the proxy's challenge went unanswered).
bool ProxyHandshake(IWinHttpCalls& http, const UploadClient& client, HINTERNET request);

// The strongest of the offered schemes: Negotiate, NTLM, Passport, Digest, Basic; 0 when none.
DWORD ChooseAuthScheme(DWORD supported);

// The URL path (when longer than one character) followed by the archive path from its last "\" on.
std::wstring RequestObjectName(const std::wstring& urlPath, const std::wstring& zipPath);

}  // namespace vondrel
