#include "driver/RunSettings.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

bool Parse(std::vector<std::wstring> args, RunSettings& settings) {
    args.insert(args.begin(), L"Vondrel.exe");
    std::vector<wchar_t*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
}

TEST(ParseCommandLine, FillsFieldsByNameInAnyCase) {
    RunSettings s;
    ASSERT_TRUE(Parse({L"--email=a@b.c", L"--PROXY-SERVER=proxy", L"--Proxy-port=3128",
                       L"--Config-script=http://h/p.pac?a=b=c", L"--Quarantine-Folder=C:\\Q1",
                       L"--quarantine-folder=C:\\Q2"},
                      s));
    EXPECT_EQ(L"a@b.c", s.email);
    EXPECT_EQ(L"proxy", s.proxyServer);
    EXPECT_EQ(L"3128", s.proxyPort);
    EXPECT_EQ(L"http://h/p.pac?a=b=c", s.configScript);
    EXPECT_EQ(L"C:\\Q2", s.quarantineFolder);  // the last occurrence wins
    EXPECT_EQ(L"Vondrel submission", s.comment);
    EXPECT_EQ(L"C:\\ProgramData\\Norvane\\Vondrel", s.dataFolder);
    EXPECT_FALSE(s.noUpload || s.ignoreSentCache || s.segregate);
}

TEST(ParseCommandLine, KeepsDefaultsWithoutArgumentsAndTakesValuesAsTheyStand) {
    RunSettings s;
    ASSERT_TRUE(Parse({}, s));
    EXPECT_EQ(L"C:\\Quarantine", s.quarantineFolder);
    ASSERT_TRUE(Parse({L"--Email= padded ", L"--Proxy-port="}, s));
    EXPECT_EQ(L" padded ", s.email);
    EXPECT_EQ(L"", s.proxyPort);
}

TEST(ParseCommandLine, RejectsAndLogsUnknownOrValuelessArguments) {
    const std::wstring rejected[] = {L"--Email", L"--Bogus=1", L"--No-Upload", L"--Segregate=1", L"Email=a",
                                     L"--Email =a", L"=x"};
    for (const std::wstring& arg : rejected) {
        test::LogCapture log;
        RunSettings s;
        EXPECT_FALSE(Parse({L"--Email=a@b.c", arg, L"--Proxy-server=late"}, s)) << arg;
        EXPECT_EQ(L"", s.proxyServer) << "parsing stops at the rejected argument";
        const std::vector<std::wstring> expected = {L"Invalid command line argument " + arg,
                                                    L"Stopping Vondrel.exe utility"};
        EXPECT_EQ(expected, log.Lines()) << arg;
    }
}

TEST(ValidateSettings, TheFirstFailingRuleDecides) {
    struct Case {
        const wchar_t* email;
        const wchar_t* server;
        const wchar_t* port;
        const wchar_t* script;
        bool noUpload;
        bool segregate;
        const wchar_t* message;  // null: accepted
    } cases[] = {
        {L"", L"", L"", L"", false, false, L"Email ID is missing in command-line options, stopping tool execution"},
        {L"", L"p", L"", L"s", false, false, L"Email ID is missing in command-line options, stopping tool execution"},
        {L"a", L"p", L"", L"", false, false, L"Invalid proxy info, missing proxy port info"},
        {L"a", L"p", L"", L"s", false, false, L"Invalid proxy info, missing proxy port info"},
        {L"a", L"p", L"1", L"s", false, false, L"Invalid proxy info, proxy and proxy script both supplied as input"},
        {L"a", L"", L"", L"", false, true, L"--Segregate option is valid only with --No-Upload option"},
        {L"", L"", L"", L"", true, true, nullptr},
        {L"a", L"p", L"1", L"", false, false, nullptr},
        {L"a", L"", L"1", L"", false, false, nullptr},
        {L"a", L"", L"", L"s", false, false, nullptr},
    };
    for (const Case& c : cases) {
        RunSettings s;
        s.email = c.email;
        s.proxyServer = c.server;
        s.proxyPort = c.port;
        s.configScript = c.script;
        s.noUpload = c.noUpload;
        s.segregate = c.segregate;
        test::LogCapture log;
        EXPECT_EQ(c.message == nullptr, ValidateSettings(s)) << c.email << "|" << c.server << "|" << c.port;
        const std::vector<std::wstring> expected =
            c.message ? std::vector<std::wstring>{c.message} : std::vector<std::wstring>{};
        EXPECT_EQ(expected, log.Lines());
    }
}

}  // namespace
}  // namespace vondrel
