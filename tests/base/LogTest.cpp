#include "base/Log.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <regex>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

TEST(LogWrite, AppendsStampedCrLfLinesAndPrintsArgumentsAsTheyStand) {
    test::LogCapture log;
    EXPECT_EQ(0, LogWrite(kLogLevelMain, kLogMain, L"Invalid command line argument %s", L"--x=%d%s"));
    EXPECT_EQ(0, LogWrite(2, kLogQuarantine, L"code 0x%x, %d files", 0x80070002u, 3));
    const std::vector<std::string> raw = log.RawLines();
    ASSERT_EQ(2u, raw.size());
    const std::regex stamp(R"(([0-9]|1[0-9]|2[0-3]):([0-9]|[1-5][0-9]):([0-9]|[1-5][0-9]) ([1-9]|[12][0-9]|3[01])-([1-9]|1[0-2])-\d{4} .*)");
    for (const std::string& line : raw) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_EQ((std::vector<std::wstring>{L"Invalid command line argument --x=%d%s", L"code 0x80070002, 3 files"}),
              log.Lines());
    const std::string bytes = test::ReadText(LogFilePath());
    EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
}

TEST(LogWrite, CharactersBeyondOneByteBecomeQuestionMarks) {
    test::LogCapture log;
    LogWrite(kLogLevelMain, kLogMain, L"%s", L"R\u00e9sum\u00e9 \u0416");
    ASSERT_EQ(1u, log.RawLines().size());
    const std::string line = log.RawLines()[0];
    EXPECT_EQ("R\xe9sum\xe9 ?", line.substr(line.size() - 8));
}

TEST(LogWrite, ControlCharactersOfArgumentsCannotBreakOrForgeALine) {
    test::LogCapture log;
    const wchar_t* path = L"C:\\a\\x\r\n1:2:3 4-5-2026 Successfully uploaded file C:\\fake.zip\n\tend\x7f\x1b";
    LogWrite(kLogLevelMain, kLogMain, L"Destination path %s, %c|%3c|%hs", path, L'\0', L'\n', "\r\n");
    LogWrite(kLogLevelMain, kLogMain, L"next");
    const std::vector<std::string> raw = log.RawLines();
    ASSERT_EQ(2u, raw.size());
    for (const std::string& line : raw) {
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) { return c >= 0 && c < 0x20; })) << line;
    }
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Destination path C:\\a\\x??1:2:3 4-5-2026 Successfully uploaded file C:\\fake.zip??end??, ?|  ?|??",
                  L"next"}),
              log.Lines());
    const std::string bytes = test::ReadText(LogFilePath());
    EXPECT_EQ(raw[0] + "\r\n" + raw[1] + "\r\n", bytes.substr(bytes.size() - raw[0].size() - raw[1].size() - 4));
}

TEST(LogWrite, WithoutTheDataFolderNothingIsWrittenOrCreated) {
    test::LogCapture log;  // makes sure the folder is there to be moved aside
    const std::wstring folder = L"C:\\ProgramData\\Norvane\\Vondrel";
    const std::wstring aside = L"C:\\ProgramData\\Norvane\\Vondrel.aside";
    ASSERT_TRUE(MoveFileW(folder.c_str(), aside.c_str()));
    const int result = LogWrite(kLogLevelMain, kLogMain, L"lost");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_TRUE(MoveFileW(aside.c_str(), folder.c_str()));
    EXPECT_EQ(1, result);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, attributes);
}

}  // namespace
}  // namespace vondrel
