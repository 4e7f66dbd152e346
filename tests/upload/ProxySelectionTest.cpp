// The proxy choice: which source gives the proxy list, how the list is walked, and what each session
// is opened with, with the look-ups' and WinHttpOpen's answers scripted.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "BuildSettings.h"
#include "FakeWinHttp.h"
#include "tests/support/TestSupport.h"
#include "upload/ProxySelection.h"

namespace vondrel {
namespace {

using test::FakeWinHttp;
using test::OpenCall;
using Lines = std::vector<std::wstring>;

const std::wstring kDirectLine = L"Using direct connection for communication";
const std::wstring kNoDetection = L"No auto proxy configuration info found, 0x2f94";

bool IsNamedProxy(const OpenCall& call) {
    return call.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
}

// Opens the connection and closes both handles again.
struct Opened {
    bool connected = false;
    bool sessionWritten = false;  // a session handle came back
};

Opened Open(FakeWinHttp& http, const UploadClient& client, const std::wstring& host = L"localhost") {
    // Wine's handles are small numbers, so the mark of "not written" is one it never hands out.
    HINTERNET const unset = reinterpret_cast<HINTERNET>(~uintptr_t{0} - 1);
    HINTERNET session = unset;
    HINTERNET connection = OpenConnection(http, client, host, INTERNET_DEFAULT_HTTPS_PORT, &session);
    EXPECT_NE(session, unset) << "the session handle is written in every case";
    UniqueInternet ownedSession(session == unset ? nullptr : session);
    UniqueInternet ownedConnection(connection);
    return Opened{connection != nullptr, ownedSession.valid()};
}

UploadClient Explicit(const wchar_t* server, const wchar_t* port) {
    UploadClient client;
    client.proxyServer = server;
    client.proxyPort = port;
    client.useProxy = true;
    return client;
}

UploadClient Script(const wchar_t* url) {
    UploadClient client;
    client.autoConfigUrl = url;
    client.useProxy = true;
    return client;
}

TEST(OpenConnection, AnExplicitProxyIsTheOneEntryAndNoLookUpIsMade) {
    const struct {
        const wchar_t* port;
        const wchar_t* entry;
    } cases[] = {{L"8080", L"10.0.0.1:8080"}, {L"", L"10.0.0.1:"}};
    for (const auto& c : cases) {
        FakeWinHttp http;
        test::LogCapture log;
        EXPECT_TRUE(Open(http, Explicit(L"10.0.0.1", c.port)).connected);
        EXPECT_TRUE(http.lookups.empty());
        ASSERT_EQ(http.opens.size(), 1u);
        EXPECT_EQ(http.opens[0].accessType, static_cast<DWORD>(WINHTTP_ACCESS_TYPE_NAMED_PROXY));
        EXPECT_EQ(http.opens[0].proxyName, c.entry);
        EXPECT_EQ(http.opens[0].flags, 0u);
        EXPECT_EQ(log.Lines(), (Lines{L"Proxy is enabled for communication", std::wstring(L"Trying proxy ") + c.entry,
                                      L"Using proxy for communication"}));
    }
}

TEST(OpenConnection, AnExplicitProxyWinsOverAScript) {
    FakeWinHttp http;
    UploadClient client = Explicit(L"p", L"1");
    client.autoConfigUrl = L"http://127.0.0.1/x.pac";
    Open(http, client);
    EXPECT_TRUE(http.lookups.empty());
}

TEST(OpenConnection, WithoutProxyOrScriptTheDetectionDecides) {
    const struct {
        const char* name;
        std::wstring detected;
        Lines lines;
        std::vector<std::wstring> namedProxies;
    } cases[] = {
        {"nothing found", L"", {kNoDetection, kDirectLine}, {}},
        {"no proxy text", L"-", {L"No auto proxy configuration info found, 0x0", kDirectLine}, {}},
        {"found one", L"wpad-proxy:8080", {L"Trying proxy wpad-proxy:8080", L"Using proxy for communication"},
         {L"wpad-proxy:8080"}},
        {"DIRECT", L"DIRECT", {kDirectLine}, {}},
    };
    for (const auto& c : cases) {
        FakeWinHttp http;
        http.detectedProxy = c.detected;
        test::LogCapture log;
        EXPECT_TRUE(Open(http, UploadClient()).connected) << c.name;
        EXPECT_EQ(log.Lines(), c.lines) << c.name;
        std::vector<std::wstring> named;
        for (const OpenCall& call : http.opens)
            if (IsNamedProxy(call)) named.push_back(call.proxyName);
        EXPECT_EQ(named, c.namedProxies) << c.name;
        ASSERT_EQ(http.lookups.size(), 1u) << c.name;
        EXPECT_EQ(http.lookups[0].dwFlags, static_cast<DWORD>(WINHTTP_AUTOPROXY_AUTO_DETECT));
        EXPECT_EQ(http.lookups[0].dwAutoDetectFlags,
                  static_cast<DWORD>(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A));
        EXPECT_EQ(http.lookupScripts[0], L"");
        EXPECT_FALSE(http.lookups[0].fAutoLogonIfChallenged);
        EXPECT_EQ(http.lookupUrls[0], build::kEndpointUrl);
    }
}

TEST(OpenConnection, AScriptsProxyIsUsedAndItsFailureFallsBackToDetection) {
    const std::wstring url = L"http://127.0.0.1:8080/proxy.pac";
    const std::wstring usingUrl = L"Using pac file URL " + url;
    const struct {
        const char* name;
        std::wstring scriptAnswer;
        Lines lines;
        size_t lookups;
    } cases[] = {
        {"proxy", L"127.0.0.1:3128",
         {L"Using proxy auto config script", usingUrl, L"Trying proxy 127.0.0.1:3128", L"Using proxy for communication"},
         1},
        {"DIRECT",
         L"-",
         {L"Using proxy auto config script", usingUrl, L"Unable to get proxy configuration using PAC file, 0x0",
          kNoDetection, kDirectLine},
         2},
        {"failed",
         L"",
         {L"Using proxy auto config script", usingUrl, L"Unable to get proxy configuration using PAC file, 0x2f94",
          kNoDetection, kDirectLine},
         2},
    };
    for (const auto& c : cases) {
        FakeWinHttp http;
        http.scriptProxy = c.scriptAnswer;
        test::LogCapture log;
        EXPECT_TRUE(Open(http, Script(url.c_str())).connected) << c.name;
        EXPECT_EQ(log.Lines(), c.lines) << c.name;
        ASSERT_EQ(http.lookups.size(), c.lookups) << c.name;
        EXPECT_EQ(http.lookups[0].dwFlags, static_cast<DWORD>(WINHTTP_AUTOPROXY_CONFIG_URL));
        EXPECT_EQ(http.lookups[0].dwAutoDetectFlags, 0u);
        EXPECT_EQ(http.lookupScripts[0], url);
        EXPECT_FALSE(http.lookups[0].fAutoLogonIfChallenged);
        EXPECT_EQ(http.lookupUrls[0], build::kEndpointUrl);
    }
}

TEST(OpenConnection, RefusedEntriesAreLoggedAndTheWalkEndsDirect) {
    FakeWinHttp http;
    http.detectedProxy = L"a:1;b:2;c:3";  // the text after the last ";" is not an entry
    http.openAccepts = [](const OpenCall& call) { return !IsNamedProxy(call); };
    test::LogCapture log;
    EXPECT_TRUE(Open(http, UploadClient()).connected);
    EXPECT_EQ(log.Lines(), (Lines{L"Trying proxy a:1", L"Unable to use proxy to open http connection, 0x57",
                                  L"Trying proxy b:2", L"Unable to use proxy to open http connection, 0x57",
                                  kDirectLine}));
    const OpenCall& direct = http.opens.back();
    EXPECT_EQ(direct.accessType, static_cast<DWORD>(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY));
    EXPECT_EQ(direct.proxyName, L"");
    EXPECT_EQ(direct.flags, 0u);
}

TEST(OpenConnection, TheFirstEntryTakenEndsTheWalk) {
    FakeWinHttp http;
    http.scriptProxy = L"a:1;b:2;";
    http.openAccepts = [](const OpenCall& call) { return call.proxyName != L"a:1"; };
    test::LogCapture log;
    EXPECT_TRUE(Open(http, Script(L"http://127.0.0.1/p.pac")).connected);
    const Lines lines = log.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{L"Trying proxy a:1", L"Unable to use proxy to open http connection, 0x57", L"Trying proxy b:2",
                     L"Using proxy for communication"}));
}

TEST(OpenConnection, LookUpSessionsThatDoNotOpenAreLoggedAndSkipped) {
    FakeWinHttp http;
    http.openAccepts = [](const OpenCall& call) { return call.flags != WINHTTP_FLAG_ASYNC; };
    test::LogCapture log;
    EXPECT_TRUE(Open(http, Script(L"http://127.0.0.1/p.pac")).connected);
    EXPECT_TRUE(http.lookups.empty());
    EXPECT_EQ(log.Lines(), (Lines{L"Using proxy auto config script",
                                  L"Unable to get proxy configuration using PAC, 0x57",
                                  L"No auto proxy config info, 0x57", kDirectLine}));
}

TEST(OpenConnection, NoSessionAtAllGivesNullAndANullSession) {
    FakeWinHttp http;
    http.openAccepts = [](const OpenCall&) { return false; };
    test::LogCapture log;
    const Opened opened = Open(http, Explicit(L"p", L"1"));
    EXPECT_FALSE(opened.connected);
    EXPECT_FALSE(opened.sessionWritten);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(log.Lines(), (Lines{L"Proxy is enabled for communication", L"Trying proxy p:1",
                                  L"Unable to use proxy to open http connection, 0x57", kDirectLine,
                                  L"Unable to open http, 0x57"}));
}

TEST(ProxyLists, EveryListEndsWithASeparator) {
    const struct {
        std::wstring answer;
        bool found;
        std::wstring list;
    } cases[] = {
        {L"", false, L"DIRECT;"},
        {L"-", false, L"DIRECT;"},
        {L"p:1", true, L"p:1;"},
        {L"p:1;q:2", true, L"p:1;q:2"},
    };
    for (const auto& c : cases) {
        FakeWinHttp http;
        http.detectedProxy = c.answer;
        http.scriptProxy = c.answer;
        std::wstring detected = L"old";
        EXPECT_EQ(ProxyListFromAutoDetect(http, detected), c.found);
        EXPECT_EQ(detected, c.list);
        std::wstring scripted = L"old";
        EXPECT_EQ(ProxyListFromScript(http, L"http://127.0.0.1/p.pac", scripted), c.found);
        EXPECT_EQ(scripted, c.found ? c.list : L"");
    }
}

TEST(ProxyLists, AScriptThatCannotBeFetchedIsAFailedLookUp) {
    // Real WinHTTP: nothing listens on the script's port.
    test::LogCapture log;
    std::wstring list = L"old";
    EXPECT_FALSE(ProxyListFromScript(L"http://127.0.0.1:1/none.pac", list));
    EXPECT_EQ(list, L"");
    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Using pac file URL http://127.0.0.1:1/none.pac");
    EXPECT_EQ(lines[1].rfind(L"Unable to get proxy configuration using PAC file, 0x", 0), 0u) << lines[1];
    EXPECT_NE(lines[1], L"Unable to get proxy configuration using PAC file, 0x0");
}

}  // namespace
}  // namespace vondrel
