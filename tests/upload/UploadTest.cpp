// The upload's exchange as WinHTTP answers drive it: statuses and challenges, resend requests, body
// chunks and write failures, the archive's size checks, the proxy handshake and the object name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/TextWriter.h"
#include "FakeWinHttp.h"
#include "tests/support/TestSupport.h"
#include "upload/Upload.h"

namespace vondrel {
namespace {

using test::Answer;
using test::FakeWinHttp;
using Lines = std::vector<std::wstring>;

constexpr const wchar_t* kUrl = L"https://localhost/ostrel";
constexpr const wchar_t* kUser = L"user";
constexpr const wchar_t* kPassword = L"secret";

const std::wstring kSending = L"Uploading samples to Norvane back-end";
const std::wstring kAll = L"Upload status 100 %";
const Lines kDirect = {L"No auto proxy configuration info found, 0x2f94",
                       L"Using direct connection for communication"};

Answer Status(DWORD status, DWORD schemes = 0) {
    Answer a;
    a.status = status;
    a.schemes = schemes;
    return a;
}

Answer SendFails(DWORD error) {
    Answer a;
    a.sendError = error;
    return a;
}

Answer ReceiveFails(DWORD error) {
    Answer a;
    a.receiveError = error;
    return a;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class UploadFileTest : public ::testing::Test {
protected:
    std::wstring Archive(size_t size) {
        const std::wstring path = dir / L"vdrel_1.zip";
        test::WriteBytes(path, Pattern(size));
        return path;
    }
    bool Upload(const std::wstring& path, const UploadClient& client = UploadClient(), const wchar_t* url = kUrl) {
        return UploadFile(http, client, url, path, kUser, kPassword);
    }
    Lines Uploading(const std::wstring& path) { return {FormatText(L"Uploading file %s", path.c_str())}; }
    Lines Uploaded(const std::wstring& path) { return {FormatText(L"Successfully uploaded file %s", path.c_str())}; }
    Lines Failed(const std::wstring& path, DWORD error) {
        return {FormatText(L"Failed to upload file %s, 0x%x", path.c_str(), error)};
    }

    test::TempDir dir;
    FakeWinHttp http;
    test::LogCapture log;
};

struct StatusCase {
    const char* name;
    std::vector<Answer> answers;
    Lines exchange;  // the lines between the proxy choice and the closing line
    size_t sends;
    bool uploaded;
    DWORD error;  // in the closing failure line
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class StatusSequenceTest : public UploadFileTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusSequenceTest, EndsAsTheBackEndAnswered) {
    const StatusCase& c = GetParam();
    http.answers = c.answers;
    const std::wstring path = Archive(10);

    EXPECT_EQ(Upload(path), c.uploaded);

    EXPECT_EQ(http.sends.size(), c.sends);
    EXPECT_EQ(log.Lines(), Join({Uploading(path), kDirect, c.exchange, c.uploaded ? Uploaded(path) : Failed(path, c.error)}));
}

const Lines kOneSend = {kSending, kAll};
const Lines kTwoSends = Join({kOneSend, kOneSend});
const Lines kUnknown = {L"Unknown status code received during file upload"};

INSTANTIATE_TEST_SUITE_P(
    Upload, StatusSequenceTest,
    ::testing::Values(
        StatusCase{"Created", {Status(201)}, kOneSend, 1, true, 0},
        StatusCase{"Ok", {Status(200)}, kOneSend, 1, true, 0},
        StatusCase{"ChallengeAnswered", {Status(401, WINHTTP_AUTH_SCHEME_BASIC), Status(201)}, kTwoSends, 2, true, 0},
        StatusCase{"RefusedTwice",
                   {Status(401, WINHTTP_AUTH_SCHEME_BASIC)},
                   Join({kTwoSends, {L"Unable to upload sample 401"}}),
                   2, false, 0},
        StatusCase{"NoUsableScheme",
                   {Status(401, 0)},
                   Join({kOneSend, {L"Unable to upload sample, unsupported auth scheme"}}),
                   1, false, 0},
        // Anything else was not taken by the back end, so the upload must not count as done.
        StatusCase{"ServerError", {Status(500)}, Join({kOneSend, kUnknown}), 1, false, 0},
        StatusCase{"Forbidden", {Status(403)}, Join({kOneSend, kUnknown}), 1, false, 0},
        StatusCase{"NoContent", {Status(204)}, Join({kOneSend, kUnknown}), 1, false, 0},
        StatusCase{"Redirect", {Status(302)}, Join({kOneSend, kUnknown}), 1, false, 0},
        StatusCase{"ResendThenCreated", {SendFails(ERROR_WINHTTP_RESEND_REQUEST), Status(201)}, kOneSend, 2, true, 0},
        StatusCase{"ResendOnReceiveThreeTimes",
                   {ReceiveFails(ERROR_WINHTTP_RESEND_REQUEST), ReceiveFails(ERROR_WINHTTP_RESEND_REQUEST),
                    ReceiveFails(ERROR_WINHTTP_RESEND_REQUEST), Status(201)},
                   Join({kTwoSends, kTwoSends}), 4, true, 0},
        StatusCase{"ResendBounded", {SendFails(ERROR_WINHTTP_RESEND_REQUEST)}, {}, 4, false,
                   ERROR_WINHTTP_RESEND_REQUEST},
        // A resend keeps the status before it, so a second 401 after it still ends the exchange.
        StatusCase{"ResendBetweenChallenges",
                   {Status(401, WINHTTP_AUTH_SCHEME_BASIC), SendFails(ERROR_WINHTTP_RESEND_REQUEST), Status(401, 1)},
                   Join({kTwoSends, {L"Unable to upload sample 401"}}),
                   3, false, 0},
        StatusCase{"SendFails", {SendFails(ERROR_WINHTTP_CANNOT_CONNECT)}, {}, 1, false, ERROR_WINHTTP_CANNOT_CONNECT},
        StatusCase{"ReceiveFails", {ReceiveFails(ERROR_WINHTTP_TIMEOUT)}, kOneSend, 1, false, ERROR_WINHTTP_TIMEOUT},
        StatusCase{"SchemeQueryFails",
                   {[] {
                       Answer a = Status(401);
                       a.queryError = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
                       return a;
                   }()},
                   kOneSend, 1, false, ERROR_WINHTTP_INCORRECT_HANDLE_STATE}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(UploadFileTest, TheRequestIsAPutOfTheObjectWithBasicCredentialsFirst) {
    const std::wstring path = Archive(10);
    ASSERT_TRUE(Upload(path));
    EXPECT_EQ(http.requestLines, (std::vector<std::wstring>{L"PUT /ostrel\\vdrel_1.zip HTTP/1.1"}));
    ASSERT_EQ(http.credentials.size(), 1u);
    EXPECT_EQ(http.credentials[0].target, static_cast<DWORD>(WINHTTP_AUTH_TARGET_SERVER));
    EXPECT_EQ(http.credentials[0].scheme, static_cast<DWORD>(WINHTTP_AUTH_SCHEME_BASIC));
    EXPECT_EQ(http.credentials[0].userName, kUser);
    EXPECT_EQ(http.credentials[0].password, kPassword);
}

TEST_F(UploadFileTest, AChallengeIsAnsweredWithTheStrongestSchemeForTheTargetReported) {
    Answer challenge = Status(401, WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_NEGOTIATE | WINHTTP_AUTH_SCHEME_DIGEST);
    challenge.target = WINHTTP_AUTH_TARGET_PROXY;
    http.answers = {challenge, Status(201)};
    ASSERT_TRUE(Upload(Archive(10)));
    ASSERT_EQ(http.credentials.size(), 2u);
    EXPECT_EQ(http.credentials[1].target, static_cast<DWORD>(WINHTTP_AUTH_TARGET_PROXY));
    EXPECT_EQ(http.credentials[1].scheme, static_cast<DWORD>(WINHTTP_AUTH_SCHEME_NEGOTIATE));
    EXPECT_EQ(http.credentials[1].userName, kUser);
    EXPECT_EQ(http.credentials[1].password, kPassword);
}

TEST(ChooseAuthScheme, TakesTheStrongestOffered) {
    const struct {
        DWORD offered;
        DWORD chosen;
    } cases[] = {
        {0x1F, WINHTTP_AUTH_SCHEME_NEGOTIATE},
        {WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_NTLM},
        {WINHTTP_AUTH_SCHEME_DIGEST | WINHTTP_AUTH_SCHEME_PASSPORT, WINHTTP_AUTH_SCHEME_PASSPORT},
        {WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_DIGEST, WINHTTP_AUTH_SCHEME_DIGEST},
        {WINHTTP_AUTH_SCHEME_BASIC, WINHTTP_AUTH_SCHEME_BASIC},
        {0, 0},
        {0x20, 0},  // none of the five
    };
    for (const auto& c : cases) EXPECT_EQ(ChooseAuthScheme(c.offered), c.chosen) << std::hex << c.offered;
}

TEST_F(UploadFileTest, TheBodyGoesOutIn256KiBChunksWithAProgressLineAfterEach) {
    const std::wstring path = Archive(600000);
    ASSERT_TRUE(Upload(path));
    EXPECT_EQ(http.writes, (std::vector<DWORD>{262144, 262144, 75712}));
    EXPECT_EQ(http.sends, (std::vector<DWORD>{600000}));
    const std::vector<uint8_t> expected = Pattern(600000);
    EXPECT_EQ(http.body, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(log.Lines(), Join({Uploading(path), kDirect,
                                 {kSending, L"Upload status 43 %", L"Upload status 87 %", kAll}, Uploaded(path)}));
}

TEST_F(UploadFileTest, ChunkBoundariesAndTinyArchives) {
    const struct {
        size_t size;
        std::vector<DWORD> writes;
        Lines progress;
    } cases[] = {
        {1, {1}, {kAll}},
        {262144, {262144}, {kAll}},
        {524288, {262144, 262144}, {L"Upload status 50 %", kAll}},
        {262145, {262144, 1}, {L"Upload status 99 %", kAll}},
    };
    for (const auto& c : cases) {
        FakeWinHttp fresh;
        test::LogCapture lines;
        const std::wstring path = Archive(c.size);
        ASSERT_TRUE(UploadFile(fresh, UploadClient(), kUrl, path, kUser, kPassword)) << c.size;
        EXPECT_EQ(fresh.writes, c.writes) << c.size;
        EXPECT_EQ(lines.Lines(), Join({Uploading(path), kDirect, {kSending}, c.progress, Uploaded(path)})) << c.size;
    }
}

TEST_F(UploadFileTest, AWriteThatFailsShortStopsTheBody) {
    http.failingWrite = 1;
    http.failedWriteCount = [](DWORD chunk) { return chunk - 1; };
    const std::wstring path = Archive(600000);
    EXPECT_FALSE(Upload(path));
    EXPECT_EQ(http.writes, (std::vector<DWORD>{262144, 262144}));
    EXPECT_EQ(log.Lines(), Join({Uploading(path), kDirect, {kSending, L"Upload status 43 %"},
                                 Failed(path, ERROR_WINHTTP_CONNECTION_ERROR)}));
}

TEST_F(UploadFileTest, AFailedWriteThatTookItsChunkFailsTheBodyOnlyWhenLast) {
    http.failedWriteCount = [](DWORD chunk) { return chunk; };
    http.failingWrite = 1;
    EXPECT_TRUE(Upload(Archive(600000)));
    EXPECT_EQ(http.writes.size(), 3u);

    FakeWinHttp last;
    last.failedWriteCount = [](DWORD chunk) { return chunk; };
    last.failingWrite = 2;
    test::LogCapture lines;
    const std::wstring path = Archive(600000);
    EXPECT_FALSE(UploadFile(last, UploadClient(), kUrl, path, kUser, kPassword));
    EXPECT_EQ(lines.Lines(), Join({Uploading(path), kDirect,
                                   {kSending, L"Upload status 43 %", L"Upload status 87 %", kAll},
                                   Failed(path, ERROR_WINHTTP_CONNECTION_ERROR)}));
}

TEST_F(UploadFileTest, ExactlyTheLimitIsSent) {
    const std::wstring path = Archive(static_cast<size_t>(kUploadLimit));
    ASSERT_TRUE(Upload(path));
    EXPECT_EQ(http.writes.size(), 200u);
    EXPECT_EQ(http.body.size(), kUploadLimit);
    EXPECT_EQ(log.Lines().back(), Uploaded(path)[0]);
}

TEST_F(UploadFileTest, OneByteOverTheLimitIsRefusedBeforeAnySession) {
    const std::wstring path = Archive(static_cast<size_t>(kUploadLimit) + 1);
    EXPECT_FALSE(Upload(path));
    EXPECT_TRUE(http.opens.empty());
    EXPECT_EQ(log.Lines(), Join({Uploading(path),
                                 {L"Zip file size is more than permissible upload limit, aborting file upload"}}));
}

TEST_F(UploadFileTest, AnArchiveThatCannotBeReadIsRefusedBeforeAnySession) {
    const std::wstring empty = dir / L"empty.zip";
    test::WriteBytes(empty, {});
    for (const std::wstring& path : {dir / L"missing.zip", empty, dir.path()}) {
        FakeWinHttp fresh;
        test::LogCapture lines;
        EXPECT_FALSE(UploadFile(fresh, UploadClient(), kUrl, path, kUser, kPassword));
        EXPECT_TRUE(fresh.opens.empty());
        EXPECT_EQ(lines.Lines(), Join({Uploading(path), {FormatText(L"Failed to read file %s", path.c_str())}}));
    }
}

TEST_F(UploadFileTest, AnUnusableUrlFailsWithItsErrorAndOpensNothing) {
    const std::wstring path = Archive(10);
    EXPECT_FALSE(Upload(path, UploadClient(), L"not a url"));
    EXPECT_TRUE(http.opens.empty());
    EXPECT_EQ(log.Lines(), Join({Uploading(path), Failed(path, ERROR_WINHTTP_UNRECOGNIZED_SCHEME)}));
}

TEST_F(UploadFileTest, NoSessionFailsWithTheErrorOfTheRefusedOpen) {
    http.openAccepts = [](const test::OpenCall&) { return false; };
    const std::wstring path = Archive(10);
    EXPECT_FALSE(Upload(path));
    EXPECT_TRUE(http.sends.empty());
    const Lines lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], L"Unable to open http, 0x57");
    EXPECT_EQ(lines.back(), Failed(path, ERROR_INVALID_PARAMETER)[0]);
}

UploadClient ExplicitProxy() {
    UploadClient client;
    client.proxyServer = L"127.0.0.1";
    client.proxyPort = L"3128";
    client.useProxy = true;
    return client;
}

const Lines kThroughProxy = {L"Proxy is enabled for communication", L"Trying proxy 127.0.0.1:3128",
                             L"Using proxy for communication"};

TEST_F(UploadFileTest, BehindAProxyAHeadPrecedesThePutOfTheSameObject) {
    http.answers = {Status(200), Status(201)};
    const std::wstring path = Archive(10);
    ASSERT_TRUE(Upload(path, ExplicitProxy()));
    EXPECT_EQ(http.sends, (std::vector<DWORD>{0, 10}));
    // Wine writes the target in absolute form when a proxy is named.
    EXPECT_EQ(http.requestLines,
              (std::vector<std::wstring>{L"HEAD https://localhost:443/ostrel\\vdrel_1.zip HTTP/1.1",
                                         L"PUT https://localhost:443/ostrel\\vdrel_1.zip HTTP/1.1"}));
    ASSERT_EQ(http.credentials.size(), 2u);  // on the HEAD and on the PUT
    EXPECT_EQ(http.credentials[1].scheme, static_cast<DWORD>(WINHTTP_AUTH_SCHEME_BASIC));
    EXPECT_EQ(log.Lines(), Join({Uploading(path), kThroughProxy, kOneSend, Uploaded(path)}));
}

TEST_F(UploadFileTest, TheSchemeOfTheUrlDecidesOnTlsWhateverThePort) {
    // Wine writes the target in absolute form through a proxy, with the scheme the request uses.
    struct SchemeCase {
        const wchar_t* url;
        const wchar_t* target;
    };
    const SchemeCase cases[] = {
        {L"https://localhost:8443/ostrel", L"https://localhost:8443/ostrel\\vdrel_1.zip"},
        {L"https://localhost:80/ostrel", L"https://localhost:80/ostrel\\vdrel_1.zip"},
        {L"http://localhost:443/ostrel", L"http://localhost:443/ostrel\\vdrel_1.zip"},
    };
    const std::wstring path = Archive(10);
    for (const SchemeCase& c : cases) {
        http.requestLines.clear();
        http.answers = {Status(200), Status(201)};
        http.sends.clear();
        ASSERT_TRUE(Upload(path, ExplicitProxy(), c.url)) << c.url;
        EXPECT_EQ(http.requestLines, (std::vector<std::wstring>{L"HEAD " + std::wstring(c.target) + L" HTTP/1.1",
                                                                 L"PUT " + std::wstring(c.target) + L" HTTP/1.1"}));
    }
}

TEST_F(UploadFileTest, AProxyDemandingCredentialsWeLackEndsTheUploadBeforeThePut) {
    http.answers = {Status(HTTP_STATUS_PROXY_AUTH_REQ, WINHTTP_AUTH_SCHEME_BASIC)};
    const std::wstring path = Archive(10);
    EXPECT_FALSE(Upload(path, ExplicitProxy()));
    EXPECT_EQ(http.sends, (std::vector<DWORD>{0}));
    EXPECT_EQ(log.Lines(), Join({Uploading(path), kThroughProxy, Failed(path, 0)}));
}

struct HandshakeCase {
    const char* name;
    std::vector<Answer> answers;
    std::wstring proxyUser;
    bool passed;
    size_t sends;
    std::vector<DWORD> proxySchemes;  // schemes of the proxy credentials set, in order
    Lines lines;
    DWORD error;  // the thread's last error when it failed
};

void PrintTo(const HandshakeCase& c, std::ostream* os) {
    *os << c.name;
}

class ProxyHandshakeTest : public ::testing::TestWithParam<HandshakeCase> {};

Answer ProxyChallenge(DWORD schemes) {
    Answer a = Status(HTTP_STATUS_PROXY_AUTH_REQ, schemes);
    a.target = WINHTTP_AUTH_TARGET_PROXY;
    return a;
}

TEST_P(ProxyHandshakeTest, GetsThroughOrGivesUp) {
    const HandshakeCase& c = GetParam();
    FakeWinHttp http;
    http.answers = c.answers;
    UploadClient client = ExplicitProxy();
    client.proxyUserName = c.proxyUser;
    client.proxyPassword = c.proxyUser.empty() ? L"" : L"proxy-secret";
    test::LogCapture log;

    const bool passed = ProxyHandshake(http, client, nullptr);
    const DWORD error = GetLastError();

    EXPECT_EQ(passed, c.passed);
    if (!passed) {
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(http.sends, std::vector<DWORD>(c.sends, 0));
    std::vector<DWORD> schemes;
    for (const auto& call : http.credentials) {
        EXPECT_EQ(call.target, static_cast<DWORD>(WINHTTP_AUTH_TARGET_PROXY));
        EXPECT_EQ(call.userName, c.proxyUser);
        EXPECT_EQ(call.password, L"proxy-secret");
        schemes.push_back(call.scheme);
    }
    EXPECT_EQ(schemes, c.proxySchemes);
    EXPECT_EQ(log.Lines(), c.lines);
}

const Lines kLoginFailed = {L"Login failed due to invalid proxy credentials"};

INSTANTIATE_TEST_SUITE_P(
    Upload, ProxyHandshakeTest,
    ::testing::Values(
        HandshakeCase{"NoChallenge", {Status(200)}, L"", true, 1, {}, {}, 0},
        HandshakeCase{"AnyOtherStatusPasses", {Status(404)}, L"", true, 1, {}, {}, 0},
        HandshakeCase{"ChallengeWithoutProxyUser", {ProxyChallenge(WINHTTP_AUTH_SCHEME_BASIC)}, L"", false, 1, {}, {}, 0},
        HandshakeCase{"ChallengeAnswered", {ProxyChallenge(WINHTTP_AUTH_SCHEME_BASIC), Status(200)}, L"pu", true, 2,
                      {WINHTTP_AUTH_SCHEME_BASIC}, {}, 0},
        HandshakeCase{"StrongestSchemeFirst",
                      {ProxyChallenge(WINHTTP_AUTH_SCHEME_BASIC | WINHTTP_AUTH_SCHEME_NTLM), Status(200)}, L"pu", true,
                      2, {WINHTTP_AUTH_SCHEME_NTLM}, {}, 0},
        HandshakeCase{"ChallengedAgainAfterCredentials", {ProxyChallenge(WINHTTP_AUTH_SCHEME_DIGEST)}, L"pu", false, 2,
                      {WINHTTP_AUTH_SCHEME_DIGEST}, kLoginFailed, 0},
        // Without a scheme we know the HEAD goes again without credentials, but not forever.
        HandshakeCase{"NoUsableSchemeBounded", {ProxyChallenge(0)}, L"pu", false, kMaxUnusableProxyChallenges, {}, {}, 0},
        HandshakeCase{"UsableSchemeAfterAnUnusableOne",
                      {ProxyChallenge(0), ProxyChallenge(WINHTTP_AUTH_SCHEME_BASIC), Status(200)}, L"pu", true, 3,
                      {WINHTTP_AUTH_SCHEME_BASIC}, {}, 0},
        HandshakeCase{"SendFails", {SendFails(ERROR_WINHTTP_CANNOT_CONNECT)}, L"", false, 1, {}, {},
                      ERROR_WINHTTP_CANNOT_CONNECT},
        HandshakeCase{"ReceiveFails", {ReceiveFails(ERROR_WINHTTP_CONNECTION_ERROR)}, L"", false, 1, {}, {},
                      ERROR_WINHTTP_CONNECTION_ERROR},
        HandshakeCase{"SchemeQueryFails",
                      {[] {
                          Answer a = ProxyChallenge(WINHTTP_AUTH_SCHEME_BASIC);
                          a.queryError = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
                          return a;
                      }()},
                      L"pu", false, 1, {}, {}, ERROR_WINHTTP_INCORRECT_HANDLE_STATE}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

TEST(RequestObjectName, KeepsTheBackslashBeforeTheFileName) {
    const struct {
        const wchar_t* urlPath;
        const wchar_t* zipPath;
        const wchar_t* objectName;
    } cases[] = {
        {L"/ostrel", L"C:\\up\\vdrel_1.zip", L"/ostrel\\vdrel_1.zip"},
        {L"/ostrel", L"\\\\server\\share\\a.zip", L"/ostrel\\a.zip"},
        {L"/ostrel", L"vdrel_1.zip", L"/ostrelvdrel_1.zip"},  // no "\": the whole path is appended
        {L"/", L"C:\\up\\vdrel_1.zip", L"\\vdrel_1.zip"},     // a one-character path is left out
        {L"", L"C:\\up\\vdrel_1.zip", L"\\vdrel_1.zip"},
        {L"/a/b", L"C:\\up\\", L"/a/b\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(RequestObjectName(c.urlPath, c.zipPath), c.objectName) << c.zipPath;
}

}  // namespace
}  // namespace vondrel
