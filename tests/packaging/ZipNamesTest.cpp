// Entry names: from Windows paths, into UTF-8, and compared as the reader compares them.
#include <gtest/gtest.h>

#include <string>

#include "base/TextConvert.h"
#include "packaging/ZipReader.h"
#include "packaging/ZipWriter.h"

namespace vondrel {
namespace {

TEST(ZipEntryNameFromPath, PrefixesAndSeparators) {
    const struct {
        const wchar_t* path;
        const wchar_t* name;
        bool recognised;
    } cases[] = {
        {L"C:\\dir\\f.txt", L"dir/f.txt", true},
        {L"C:\\f.txt", L"f.txt", true},
        {L"C:f.txt", L".txt", true},  // the third character goes, whatever it is
        {L"C:\\", L"", true},
        {L"\\\\srv\\share\\d\\f", L"d/f", true},
        {L"\\\\srv\\share\\", L"", true},
        {L"\\\\srv\\share", L"share", false},
        {L"\\\\srv\\", L"", false},
        {L"\\\\srv", L"//srv", false},
        {L"\\\\a\\b\\c", L"c", true},  // the server's end is searched from the fourth character on
        {L"f.txt", L"f.txt", false},
        {L"dir\\a.exe", L"dir/a.exe", false},
        {L"C:", L"C:", false},
        {L"ab", L"ab", false},
        {L"", L"", false},
        {L"\\\\?\\C:\\x", L"x", true},  // a long-path prefix reads as server "?" and share "C:"
    };
    for (const auto& c : cases) {
        std::wstring path = c.path;
        EXPECT_EQ(c.recognised, ZipEntryNameFromPath(path)) << c.path;
        EXPECT_EQ(std::wstring(c.name), path) << c.path;
    }
}

TEST(ToUtf8, ConvertsWholeTexts) {
    const struct {
        std::wstring wide;
        std::string narrow;
    } cases[] = {
        {L"", ""},
        {L"Users/a/doc.txt", "Users/a/doc.txt"},
        {L"\u00c4rger/\u00f6l", "\xc3\x84rger/\xc3\xb6l"},
        {L"\u20ac\u4e2d", "\xe2\x82\xac\xe4\xb8\xad"},     // three bytes per unit, the buffer's bound
        {L"\U0001F600", "\xf0\x9f\x98\x80"},                 // a surrogate pair
    };
    for (const auto& c : cases) {
        std::string narrow = "stale";
        EXPECT_TRUE(ToUtf8(c.wide, narrow));
        EXPECT_EQ(c.narrow, narrow);
    }
}

TEST(EntryNamesEqual, CaseAndSeparatorsDoNotMatter) {
    const struct {
        const char* stored;
        const char* requested;
        bool equal;
    } cases[] = {
        {"Windows\\System32\\x.sys", "windows/system32/X.SYS", true},
        {"a/b", "a\\b", true},
        {"", "", true},
        {"doc.txt", "doc.tx", false},
        {"doc.tx", "doc.txt", false},
        {"doc.txt", "", false},
        {"", "doc.txt", false},
        {"a_b", "a^b", false},  // ASCII folding touches letters only
        {"\xc3\x84rger", "\xc3\xa4RGER", true},                // non-ASCII rest lower-cased as a whole
        {"x/\xc3\x84/y", "X\\\xc3\xa4\\Y", true},              // separators alike in the non-ASCII rest
        {"\xc3\x84rger", "\xc3\xa4rge", false},
        {"\xc3\x84rge", "\xc3\xa4rger", false},
        {"\xc3\x84rger", "Arger", false},
        {"caf\xc3\xa9", "CAF\xc3\x89", true},
        {"\xce\xa3\xce\xbf", "\xcf\x83\xce\xbf", true},        // Greek capital and small sigma
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.equal, EntryNamesEqual(c.stored, c.requested)) << c.stored << " / " << c.requested;
    }
}

TEST(LowerUtf8, LowerCasesThroughUtf16) {
    const struct {
        std::string text;
        std::string lower;
    } cases[] = {
        {"", ""},
        {"ABC/Def", "abc/def"},
        {"\xc3\x84\xc3\x96\xc3\x9c", "\xc3\xa4\xc3\xb6\xc3\xbc"},
        {"\xd0\x96", "\xd0\xb6"},  // Cyrillic
    };
    for (const auto& c : cases) EXPECT_EQ(c.lower, LowerUtf8(c.text)) << c.text;
}

}  // namespace
}  // namespace vondrel
