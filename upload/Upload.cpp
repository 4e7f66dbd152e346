#include "upload/Upload.h"

#include <cstdio>
#include <new>
#include <vector>

#include "base/Log.h"
#include "base/PathRules.h"
#include "base/TestPoints.h"
#include "BuildSettings.h"
#include "upload/Credentials.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kUploadingFile = L"Uploading file %s";
constexpr const wchar_t* kReadFailed = L"Failed to read file %s";
constexpr const wchar_t* kOverLimit =
    L"Zip file size is more than permissible upload limit, aborting file upload";
constexpr const wchar_t* kOpenRequestFailed = L"Unable to open http request, 0x%x";
constexpr const wchar_t* kUploadingSamples = L"Uploading samples to Norvane back-end";
constexpr const wchar_t* kUploadStatus = L"Upload status %u %%";
constexpr const wchar_t* kSampleRefused = L"Unable to upload sample %d";
constexpr const wchar_t* kUnsupportedScheme = L"Unable to upload sample, unsupported auth scheme";
constexpr const wchar_t* kUnknownStatus = L"Unknown status code received during file upload";
constexpr const wchar_t* kUploaded = L"Successfully uploaded file %s";
constexpr const wchar_t* kUploadFailed = L"Failed to upload file %s, 0x%x";
constexpr const wchar_t* kProxyLoginFailed = L"Login failed due to invalid proxy credentials";

constexpr const wchar_t* kVerbHead = L"HEAD";
constexpr const wchar_t* kVerbPut = L"PUT";

struct StdioFileTraits {
    using pointer = FILE*;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer f) noexcept { fclose(f); }
};
using UniqueStdioFile = UniqueResource<StdioFileTraits>;

// What the upload needs of the endpoint URL.
struct UrlParts {
    bool cracked = false;
    DWORD error = ERROR_SUCCESS;  // WinHttpCrackUrl's, when it failed
    std::wstring host;
    std::wstring path;
    INTERNET_PORT port = 0;
    bool secure = false;  // the scheme is https, whatever the port
};

UrlParts CrackUrl(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    UrlParts out;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        out.error = GetLastError();
        return out;
    }
    out.cracked = true;
    out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    out.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    out.port = parts.nPort;
    out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return out;
}

enum class ArchiveRead { Read, Unreadable, OverLimit };

// The archive whole in memory. Its size is taken first, so that an archive over the limit is
// refused without being read.
ArchiveRead ReadArchive(const std::wstring& path, std::vector<char>& body) {
    const ExtendedPath name(path, kCreateFileLimit);
    UniqueStdioFile file(_wfopen(name.c_str(), L"rb"));
    if (!file) return ArchiveRead::Unreadable;
    if (_fseeki64(file.get(), 0, SEEK_END) != 0) return ArchiveRead::Unreadable;
    const long long size = _ftelli64(file.get());
    if (size <= 0 || _fseeki64(file.get(), 0, SEEK_SET) != 0) return ArchiveRead::Unreadable;
    if (static_cast<unsigned long long>(size) > kUploadLimit) return ArchiveRead::OverLimit;
    try {
        body.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return ArchiveRead::Unreadable;
    }
    if (fread(body.data(), body.size(), 1, file.get()) != 1) return ArchiveRead::Unreadable;
    return ArchiveRead::Read;
}

// Reads the archive, logging why when it cannot be sent.
bool LoadArchive(const std::wstring& path, std::vector<char>& body) {
    switch (ReadArchive(path, body)) {
        case ArchiveRead::Read:
            return true;
        case ArchiveRead::OverLimit:
            LogWrite(kLogLevelMain, kLogCommunication, kOverLimit);
            return false;
        case ArchiveRead::Unreadable:
            break;
    }
    LogWrite(kLogLevelMain, kLogCommunication, kReadFailed, path.c_str());
    return false;
}

// A request for the object on the connection, over TLS when the URL's scheme is https, that never
// follows a redirect: the back end does not redirect a submission, so a 3xx comes from a misconfigured
// or hostile server, which must not get the archive sent on to wherever it points. error gets the
// failure's.
HINTERNET OpenUploadRequest(HINTERNET connection, const wchar_t* verb, const std::wstring& objectName, bool secure,
                            DWORD& error) {
    UniqueInternet request(WinHttpOpenRequest(connection, verb, objectName.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!request || !WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy))) {
        error = GetLastError();
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return request.release();
}

// The exchange of one upload: the request loop with its state across iterations.
class RequestLoop {
public:
    RequestLoop(IWinHttpCalls& http, const std::vector<char>& body, const std::wstring& userName,
                const std::wstring& password)
        : http_(http), body_(body), userName_(userName), password_(password) {}

    // The server's Basic credentials, before the first send; the result becomes the last result.
    void SetServerCredentials(HINTERNET request);
    // Sends until the back end took the archive or the exchange failed.
    void Run(HINTERNET request);
    // Ends the exchange with the error of a call made outside the loop.
    void Abandon(DWORD error) { Fail(error); }

    bool Succeeded() const { return done_ && lastResult_; }
    DWORD error() const { return error_; }

private:
    bool Fail(DWORD error) {
        lastResult_ = false;
        error_ = error;
        return false;
    }
    bool SendOnce(HINTERNET request);
    bool WriteBody(HINTERNET request);
    bool ResendRequested();
    void ActOnStatus(HINTERNET request);
    void AnswerServerChallenge(HINTERNET request);

    IWinHttpCalls& http_;
    const std::vector<char>& body_;
    const std::wstring& userName_;
    const std::wstring& password_;
    bool lastResult_ = false;
    DWORD status_ = 0;
    DWORD previousStatus_ = 0;
    bool done_ = false;
    DWORD error_ = ERROR_SUCCESS;  // of the call that failed, for the closing line
    unsigned resends_ = 0;
};

void RequestLoop::SetServerCredentials(HINTERNET request) {
    lastResult_ = http_.SetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC,
                                       userName_.c_str(), password_.c_str()) != FALSE;
    if (!lastResult_) Fail(GetLastError());
}

void RequestLoop::Run(HINTERNET request) {
    while (!done_) {
        if (!lastResult_) return;
        if (!SendOnce(request)) {
            if (ResendRequested()) continue;
            previousStatus_ = status_;
            continue;
        }
        DWORD status = 0;
        if (http_.QueryStatusCode(request, &status)) {
            lastResult_ = true;
            status_ = status;
            ActOnStatus(request);
        } else {
            Fail(GetLastError());
        }
        previousStatus_ = status_;
    }
}

// WinHTTP asks for the request to be sent again from its start; allowed a few times only.
bool RequestLoop::ResendRequested() {
    if (error_ != ERROR_WINHTTP_RESEND_REQUEST || resends_ >= kMaxResends) return false;
    ++resends_;
    lastResult_ = true;
    error_ = ERROR_SUCCESS;
    return true;
}

// Send, body, receive; false (with the failure recorded) when one of them failed.
bool RequestLoop::SendOnce(HINTERNET request) {
    if (!http_.SendRequest(request, static_cast<DWORD>(body_.size()))) return Fail(GetLastError());
    LogWrite(kLogLevelMain, kLogCommunication, kUploadingSamples);
    if (!WriteBody(request)) return false;
    ReachTestPoint(TestPoint::RequestSent);
    if (!http_.ReceiveResponse(request)) return Fail(GetLastError());
    return true;
}

bool RequestLoop::WriteBody(HINTERNET request) {
    const unsigned long long size = body_.size();
    unsigned long long sent = 0;
    while (sent < size) {
        const DWORD chunk = static_cast<DWORD>(size - sent < kBodyChunk ? size - sent : kBodyChunk);
        DWORD written = 0;
        const BOOL ok = http_.WriteData(request, body_.data() + sent, chunk, &written);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && written < chunk) return Fail(error);
        sent += chunk;
        LogWrite(kLogLevelMain, kLogCommunication, kUploadStatus, static_cast<unsigned>(sent * 100 / size));
        // A failed call that still took its whole chunk stops nothing, unless it was the last one.
        if (!ok && sent == size) return Fail(error);
    }
    return true;
}

void RequestLoop::ActOnStatus(HINTERNET request) {
    if (status_ == HTTP_STATUS_OK || status_ == HTTP_STATUS_CREATED) {
        done_ = true;
        return;
    }
    if (status_ == HTTP_STATUS_DENIED) {
        AnswerServerChallenge(request);
        return;
    }
    // The back end did not take the archive: counting it as delivered would record the items as sent.
    LogWrite(kLogLevelMain, kLogCommunication, kUnknownStatus);
    done_ = true;
    Fail(ERROR_SUCCESS);
}

void RequestLoop::AnswerServerChallenge(HINTERNET request) {
    if (previousStatus_ == HTTP_STATUS_DENIED) {
        LogWrite(kLogLevelMain, kLogCommunication, kSampleRefused, static_cast<int>(status_));
        Fail(ERROR_SUCCESS);
        return;
    }
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!http_.QueryAuthSchemes(request, &supported, &first, &target)) {
        Fail(GetLastError());
        return;
    }
    const DWORD scheme = ChooseAuthScheme(supported);
    if (scheme == 0) {
        LogWrite(kLogLevelMain, kLogCommunication, kUnsupportedScheme);
        Fail(ERROR_SUCCESS);
        return;
    }
    if (!http_.SetCredentials(request, target, scheme, userName_.c_str(), password_.c_str())) Fail(GetLastError());
}

// Opens the session, the connection and the request(s) and runs the loop; every failure is recorded in
// the loop. The handles stay with the caller, which closes them after the closing line.
void Exchange(IWinHttpCalls& http, const UploadClient& client, const UrlParts& url, const std::wstring& objectName,
              RequestLoop& loop, UniqueInternet& session, UniqueInternet& connection, UniqueInternet& request) {
    if (!url.cracked) return loop.Abandon(url.error);

    HINTERNET rawSession = nullptr;
    HINTERNET rawConnection = OpenConnection(http, client, url.host, url.port, &rawSession);
    const DWORD connectError = GetLastError();
    session.reset(rawSession);
    connection.reset(rawConnection);
    if (!connection) return loop.Abandon(connectError);

    DWORD error = ERROR_SUCCESS;
    request.reset(OpenUploadRequest(connection.get(), client.useProxy ? kVerbHead : kVerbPut, objectName,
                                    url.secure, error));
    if (!request) {
        LogWrite(kLogLevelMain, kLogCommunication, kOpenRequestFailed, error);
        return loop.Abandon(error);
    }
    loop.SetServerCredentials(request.get());

    if (client.useProxy) {
        if (!ProxyHandshake(http, client, request.get())) return loop.Abandon(GetLastError());
        request.reset();
        request.reset(OpenUploadRequest(connection.get(), kVerbPut, objectName, url.secure, error));
        if (!request) return loop.Abandon(error);
        loop.SetServerCredentials(request.get());
    }
    loop.Run(request.get());
}

// Ends the handshake as failed, with error as the thread's last error for the caller's report.
bool HandshakeFailed(DWORD error) {
    SetLastError(error);
    return false;
}

// One HEAD: send, receive, status; false with the failed call's error left in place.
bool SendHead(IWinHttpCalls& http, HINTERNET request, DWORD& status) {
    return http.SendRequest(request, 0) && http.ReceiveResponse(request) && http.QueryStatusCode(request, &status);
}

}  // namespace

DWORD ChooseAuthScheme(DWORD supported) {
    static constexpr DWORD kStrongestFirst[] = {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM,
                                                WINHTTP_AUTH_SCHEME_PASSPORT, WINHTTP_AUTH_SCHEME_DIGEST,
                                                WINHTTP_AUTH_SCHEME_BASIC};
    for (DWORD scheme : kStrongestFirst) {
        if (supported & scheme) return scheme;
    }
    return 0;
}

std::wstring RequestObjectName(const std::wstring& urlPath, const std::wstring& zipPath) {
    const std::wstring base = urlPath.size() > 1 ? urlPath : std::wstring();
    const size_t slash = zipPath.rfind(L'\\');
    return base + (slash == std::wstring::npos ? zipPath : zipPath.substr(slash));
}

bool ProxyHandshake(IWinHttpCalls& http, const UploadClient& client, HINTERNET request) {
    DWORD scheme = 0;
    unsigned unusableChallenges = 0;
    for (;;) {
        if (scheme != 0) {
            if (client.proxyUserName.empty()) return HandshakeFailed(ERROR_SUCCESS);
            http.SetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, client.proxyUserName.c_str(),
                                client.proxyPassword.c_str());
        }
        DWORD status = 0;
        if (!SendHead(http, request, status)) return false;
        if (status != HTTP_STATUS_PROXY_AUTH_REQ) return true;
        if (scheme != 0) {
            LogWrite(kLogLevelMain, kLogCommunication, kProxyLoginFailed);
            return HandshakeFailed(ERROR_SUCCESS);
        }
        DWORD supported = 0;
        DWORD first = 0;
        DWORD target = 0;
        if (!http.QueryAuthSchemes(request, &supported, &first, &target)) return false;
        scheme = ChooseAuthScheme(supported);
        // A proxy that keeps challenging without a scheme we know would be asked forever.
        if (scheme == 0 && ++unusableChallenges >= kMaxUnusableProxyChallenges) return HandshakeFailed(ERROR_SUCCESS);
    }
}

bool UploadFile(IWinHttpCalls& http, const UploadClient& client, const std::wstring& url, const std::wstring& zipPath,
                const std::wstring& userName, const std::wstring& password) {
    LogWrite(kLogLevelMain, kLogCommunication, kUploadingFile, zipPath.c_str());
    const UrlParts parts = CrackUrl(url);
    std::vector<char> body;
    if (!LoadArchive(zipPath, body)) return false;

    RequestLoop loop(http, body, userName, password);
    UniqueInternet session;
    UniqueInternet connection;
    UniqueInternet request;
    Exchange(http, client, parts, RequestObjectName(parts.path, zipPath), loop, session, connection, request);

    if (loop.Succeeded()) {
        LogWrite(kLogLevelMain, kLogCommunication, kUploaded, zipPath.c_str());
        return true;
    }
    LogWrite(kLogLevelMain, kLogCommunication, kUploadFailed, zipPath.c_str(), loop.error());
    return false;
}

bool UploadFile(const UploadClient& client, const std::wstring& url, const std::wstring& zipPath,
                const std::wstring& userName, const std::wstring& password) {
    return UploadFile(SystemWinHttp(), client, url, zipPath, userName, password);
}

bool SubmitArchive(const UploadClient& client, const std::wstring& zipPath) {
    const ScrubbedBuffer userName = UnscrambleUserName();
    const ScrubbedBuffer password = UnscramblePassword();
    const WideSecret wideUserName(userName);
    const WideSecret widePassword(password);
    const std::wstring url = build::kEndpointUrl;
    return UploadFile(client, url, zipPath, wideUserName.text(), widePassword.text());
}

}  // namespace vondrel
