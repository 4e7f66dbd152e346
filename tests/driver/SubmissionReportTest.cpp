#include "driver/SubmissionReport.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "driver/SystemFacts.h"
#include "tests/support/TestSupport.h"
#include "VondrelVersion.h"

namespace vondrel {
namespace {

std::string Latin1(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) bytes += c <= 0xFF ? static_cast<char>(c) : '?';
    return bytes;
}

std::string ThisProgramsFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return Latin1(folder.substr(0, folder.rfind(L'\\')));
}

std::string ComputerName() {
    wchar_t name[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"COMPUTERNAME", name, MAX_PATH);
    return Latin1(std::wstring(name, length));
}

// The report as it must read, with the run's two date texts as the report carries them.
std::string ExpectedReport(const std::string& dateRun, const std::string& scanEnd, const std::string& customerLines,
                           const std::string& count) {
    return "<?xml version = \"1.0\" encoding = \"utf-8\"?>\r\n"
           "<!--Ostrel Results--> \r\n"
           "<Ostrel>\r\n"
           "<Preamble>\r\n"
           "<product_name value=\"Vondrel\" />\r\n"
           "<version value=\"" VONDREL_VERSION_TEXT "\" />\r\n"
           "<date_run value=\"" + dateRun + "\" />\r\n"
           "</Preamble>\r\n"
           "<SystemInfo>\r\n"
           "<osversion value=\"" + Latin1(OsVersionText()) + "\"/>\r\n"
           "<windir value=\"C:\\WINDOWS\" />\r\n"
           "<sysdir value=\"C:\\WINDOWS\\system32\" />\r\n"
           "<computername value=\"" + ComputerName() + "\" />\r\n"
           "</SystemInfo>\r\n"
           "<CustomerInfo>\r\n" + customerLines +
           "</CustomerInfo>\r\n"
           "<scan-end-time value =\"" + scanEnd + "\" />\r\n"
           "<Scan-Summary>\r\n"
           "<Identified-Files value=\"" + count + "\" />\r\n"
           "<Digitally-Signed value=\"0\" />\r\n"
           "<Corvex value=\"0\" />\r\n"
           "<Suspicious-Files value=\"" + count + "\" />\r\n"
           "<Not-Scanned value=\"0\" />\r\n"
           "</Scan-Summary>\r\n"
           "<Preferences>\r\n"
           "<Online value=\"0\" />\r\n"
           "<Silent value=\"1\" />\r\n"
           "<Contains-Sample value=\"1\" />\r\n"
           "<RPX-Connected value=\"1\" />\r\n"
           "<Proxy-Enabled value=\"0\" />\r\n"
           "<Execution-Path value=\"" + ThisProgramsFolder() + "\" />\r\n"
           "<Zip-Path value=\"C:\\ProgramData\\Norvane\\Vondrel\\Upload\"/>\r\n"
           "</Preferences>\r\n"
           "</Ostrel>\r\n";
}

// The date texts of the two date lines, each checked against asctime's layout.
std::string DateOf(const std::string& report, const std::string& linePrefix) {
    const std::regex line(linePrefix + "\"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
                                       "[0-9]{4})\" />\r\n");
    std::smatch match;
    if (!std::regex_search(report, match, line)) return "no date";
    return match[1];
}

struct ReportCase {
    const char* name;
    unsigned count;
    std::wstring email;
    std::wstring comment;
    std::string customerLines;
};

TEST(WriteSubmissionReport, WritesTheFixedLinesWithTheRunsValues) {
    const ReportCase cases[] = {
        {"a run of three files", 3, L"analyst@example.test", L"Vondrel submission",
         "<email-id value=\"analyst@example.test\" />\r\n<comment value=\"Vondrel submission\" />\r\n"},
        {"no e-mail", 0, L"", L"Vondrel submission", "<comment value=\"Vondrel submission\" />\r\n"},
        {"no e-mail and no comment", 4294967295u, L"", L"", ""},
        {"texts as they stand, not escaped", 12, L"a&b<\"%s\">@x.test", L"100% \u00fcber\u4e2d",
         "<email-id value=\"a&b<\"%s\">@x.test\" />\r\n<comment value=\"100% \xfc" "ber?\" />\r\n"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        WriteSubmissionReport(dir.path(), c.count, c.email, c.comment);
        const std::string report = test::ReadText(dir / L"Ostrel.xml");
        const std::string dateRun = DateOf(report, "<date_run value=");
        const std::string scanEnd = DateOf(report, "<scan-end-time value =");
        EXPECT_EQ(ExpectedReport(dateRun, scanEnd, c.customerLines, std::to_string(c.count)), report) << c.name;
        EXPECT_NE("no date", dateRun) << c.name;
        EXPECT_NE("no date", scanEnd) << c.name;
    }
}

TEST(WriteSubmissionReport, ReplacesAnOlderReport) {
    test::TempDir dir;
    test::WriteText(dir / L"Ostrel.xml", std::string(5000, 'x'));
    WriteSubmissionReport(dir.path(), 1, L"", L"");
    const std::string report = test::ReadText(dir / L"Ostrel.xml");
    EXPECT_EQ(0u, report.find("<?xml version"));
    EXPECT_EQ(std::string::npos, report.find('x' + std::string("xx")));
}

TEST(WriteSubmissionReport, LeavesTheComputerNameEmptyWhenItIsNotSet) {
    wchar_t saved[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"COMPUTERNAME", saved, MAX_PATH);
    SetEnvironmentVariableW(L"COMPUTERNAME", nullptr);
    test::TempDir dir;
    WriteSubmissionReport(dir.path(), 1, L"", L"");
    if (length != 0) SetEnvironmentVariableW(L"COMPUTERNAME", saved);
    EXPECT_NE(std::string::npos, test::ReadText(dir / L"Ostrel.xml").find("\r\n<computername value=\"\" />\r\n"));
}

TEST(WriteSubmissionReport, WritesNothingWithoutAFolder) {
    test::TempDir dir;
    WriteSubmissionReport(dir / L"missing", 1, L"a@b.test", L"c");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir / L"missing").c_str()));
    WriteSubmissionReport(L"", 1, L"a@b.test", L"c");
}

}  // namespace
}  // namespace vondrel
