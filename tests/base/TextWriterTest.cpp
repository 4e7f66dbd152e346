#include "base/TextWriter.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

struct FormatCase {
    std::wstring expected;
    std::wstring actual;
};

TEST(FormatText, FollowsTheWidePrintfRules) {
    const FormatCase cases[] = {
        {L"Invalid command line argument --x=%d", FormatText(L"Invalid command line argument %s", L"--x=%d")},
        {L"0x80070002", FormatText(L"0x%x", 0x80070002u)},
        {L"9:5:3 1-3-2026 ", FormatText(L"%d:%d:%d %d-%d-%d ", 9, 5, 3, 1, 3, 2026)},
        {L"3FA2C4", FormatText(L"%02X%02X%02X", 0x3F, 0xA2, 0xC4)},
        {L"0a", FormatText(L"%02x", 10)},
        {L"-42 7 ab", FormatText(L"%d %u %hs", -42, 7u, "ab")},
        {L"100 %", FormatText(L"%d %%", 100)},
        {L"18446744073709551615", FormatText(L"%llu", ~0ULL)},
        {L"  x|y  ", FormatText(L"%3s|%-3s", L"x", L"y")},
        {L"00000c0a-0001", FormatText(L"%08x-%04x", 0xc0a, 1)},
        {L"(null)", FormatText(L"%s", static_cast<const wchar_t*>(nullptr))},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(FormatText, KeepsControlCharactersOfArgumentsUnlessMasked) {
    EXPECT_EQ(L"a\r\nb\tc|\n", FormatText(L"%s|%c", L"a\r\nb\tc", L'\n'));
    EXPECT_EQ(std::wstring(L"|\0|", 3), FormatText(L"|%c|", L'\0'));
}

TEST(EncodeSingleByte, WritesCrLfAndOneBytePerCharacter) {
    EXPECT_EQ(std::string("a\r\nb\r\n"), EncodeSingleByte(L"a\nb\n"));
    EXPECT_EQ(std::string("\xe9\xff?"), EncodeSingleByte(L"\u00e9\u00ff\u0100"));
    EXPECT_EQ(std::string(1, '\0'), EncodeSingleByte(std::wstring(1, L'\0')));
}

TEST(TextFile, AppendsAndRecreates) {
    test::TempDir dir;
    const std::wstring path = dir / L"t.txt";
    {
        TextFile f;
        ASSERT_TRUE(f.Open(path, TextFile::Mode::Append));
        ASSERT_TRUE(f.Write(L"one\n"));
    }
    {
        TextFile f;
        ASSERT_TRUE(f.Open(path, TextFile::Mode::Append));
        ASSERT_TRUE(f.Printf(L"%s=%d\n", L"two", 2));
    }
    EXPECT_EQ("one\r\ntwo=2\r\n", test::ReadText(path));
    {
        TextFile f;
        ASSERT_TRUE(f.Open(path, TextFile::Mode::CreateAlways));
        ASSERT_TRUE(f.Write(L"new"));
    }
    EXPECT_EQ("new", test::ReadText(path));
    TextFile missing;
    EXPECT_FALSE(missing.Open(dir / L"no\\such\\t.txt", TextFile::Mode::Append));
    EXPECT_FALSE(missing.Write(L"x"));
}

}  // namespace
}  // namespace vondrel
