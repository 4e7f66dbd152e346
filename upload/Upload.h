// The HTTPS upload of a finished archive to the sample back end: one PUT through WinHTTP, with the
// server's authentication challenge answered and, behind a proxy, a HEAD first to pass the proxy.
#pragma once

#include <string>

#include "upload/ProxySelection.h"

namespace vondrel {

// Supplies the built-in endpoint URL and credentials and uploads the archive; true when it was taken.
bool SubmitArchive(const UploadClient& client, const std::wstring& zipPath);

// Uploads the archive at zipPath to url with the server credentials userName / password.
bool UploadFile(const UploadClient& client, const std::wstring& url, const std::wstring& zipPath,
                const std::wstring& userName, const std::wstring& password);

}  // namespace vondrel
