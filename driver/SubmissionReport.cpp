#include "driver/SubmissionReport.h"

#include "base/TextWriter.h"
#include "driver/SystemFacts.h"
#include "VondrelVersion.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kReportHead =
    L"<?xml version = \"1.0\" encoding = \"utf-8\"?>\n"
    L"<!--Ostrel Results--> \n"
    L"<Ostrel>\n"
    L"<Preamble>\n"
    L"<product_name value=\"Vondrel\" />\n"
    L"<version value=\"" VONDREL_VERSION_TEXT "\" />\n";
constexpr const wchar_t* kDateRunLine = L"<date_run value=\"%s\" />\n";
constexpr const wchar_t* kSystemInfoLines =
    L"</Preamble>\n"
    L"<SystemInfo>\n"
    L"<osversion value=\"%s\"/>\n"
    L"<windir value=\"C:\\WINDOWS\" />\n"
    L"<sysdir value=\"C:\\WINDOWS\\system32\" />\n"
    L"<computername value=\"%s\" />\n"
    L"</SystemInfo>\n"
    L"<CustomerInfo>\n";
constexpr const wchar_t* kEmailLine = L"<email-id value=\"%s\" />\n";
constexpr const wchar_t* kCommentLine = L"<comment value=\"%s\" />\n";
constexpr const wchar_t* kCustomerInfoEnd = L"</CustomerInfo>\n";
constexpr const wchar_t* kScanEndLine = L"<scan-end-time value =\"%s\" />\n";
constexpr const wchar_t* kSummaryAndPreferences =
    L"<Scan-Summary>\n"
    L"<Identified-Files value=\"%u\" />\n"
    L"<Digitally-Signed value=\"0\" />\n"
    L"<Corvex value=\"0\" />\n"
    L"<Suspicious-Files value=\"%u\" />\n"
    L"<Not-Scanned value=\"0\" />\n"
    L"</Scan-Summary>\n"
    L"<Preferences>\n"
    L"<Online value=\"0\" />\n"
    L"<Silent value=\"1\" />\n"
    L"<Contains-Sample value=\"1\" />\n"
    L"<RPX-Connected value=\"1\" />\n"
    L"<Proxy-Enabled value=\"0\" />\n"
    L"<Execution-Path value=\"%s\" />\n"
    L"<Zip-Path value=\"C:\\ProgramData\\Norvane\\Vondrel\\Upload\"/>\n"
    L"</Preferences>\n"
    L"</Ostrel>\n";

}  // namespace

void WriteSubmissionReport(const std::wstring& workFolder, unsigned int fileCount, const std::wstring& email,
                           const std::wstring& comment) {
    if (workFolder.empty()) return;
    TextFile report;
    if (!report.Open(workFolder + L"\\" + kSubmissionReportFileName, TextFile::Mode::CreateAlways)) return;
    report.Write(kReportHead);
    report.Printf(kDateRunLine, RunDateText().c_str());
    report.Printf(kSystemInfoLines, OsVersionText().c_str(), ComputerNameText().c_str());
    if (!email.empty()) report.Printf(kEmailLine, email.c_str());
    if (!comment.empty()) report.Printf(kCommentLine, comment.c_str());
    report.Write(kCustomerInfoEnd);
    report.Printf(kScanEndLine, RunDateText().c_str());
    report.Printf(kSummaryAndPreferences, fileCount, fileCount, ProgramFolderText().c_str());
}

}  // namespace vondrel
