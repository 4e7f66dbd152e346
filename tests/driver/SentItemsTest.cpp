#include "driver/SentItems.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kGuidA = L"{0A1B2C3D-0000-4000-8000-00000000000A}";
constexpr const wchar_t* kGuidB = L"{7F000001-1111-4111-8111-11111111111B}";
constexpr const wchar_t* kGuidC = L"{C0FFEE00-2222-4222-8222-22222222222C}";

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

struct LoadCase {
    const char* name;
    std::string bytes;
    SentItemSet expected;
};

TEST(LoadSentItems, ReadsEveryLineAsItStands) {
    const std::string a = Narrow(kGuidA), b = Narrow(kGuidB);
    const LoadCase cases[] = {
        {"CR LF lines, any order", b + "\r\n" + a + "\r\n", {kGuidA, kGuidB}},
        {"LF lines", a + "\n" + b + "\n", {kGuidA, kGuidB}},
        {"last line without its line end", a + "\r\n" + b, {kGuidA, kGuidB}},
        {"an empty line is an entry", a + "\r\n\r\n" + b + "\r\n", {L"", kGuidA, kGuidB}},
        {"duplicates collapse", a + "\r\n" + a + "\r\n", {kGuidA}},
        {"empty file", "", {}},
        {"lower case and trailing blanks kept",
         "{0a1b2c3d-0000-4000-8000-00000000000a}\r\n" + b + " \r\n",
         {L"{0a1b2c3d-0000-4000-8000-00000000000a}", std::wstring(kGuidB) + L" "}},
        {"bytes above 0x7F are characters of the same value", "\xe9t\xe9\r\n", {L"\u00e9t\u00e9"}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        test::WriteText(dir / L"guid_cache.txt", c.bytes);
        SentItemSet items{L"left over"};
        EXPECT_TRUE(LoadSentItems(dir.path(), items)) << c.name;
        EXPECT_EQ(c.expected, items) << c.name;
    }
}

// A line that differs from the item's GUID text only in case or blanks does not stop the item from
// being sent again.
TEST(LoadSentItems, OnlyTheExactTextMatches) {
    test::TempDir dir;
    test::WriteText(dir / L"guid_cache.txt", "{0a1b2c3d-0000-4000-8000-00000000000a}\r\n" + Narrow(kGuidB) + "  \r\n");
    SentItemSet items;
    ASSERT_TRUE(LoadSentItems(dir.path(), items));
    EXPECT_EQ(0u, items.count(kGuidA));
    EXPECT_EQ(0u, items.count(kGuidB));
}

TEST(LoadSentItems, LeavesTheSetAloneWithoutAFile) {
    test::TempDir dir;
    const SentItemSet before{kGuidA};
    SentItemSet items = before;
    EXPECT_FALSE(LoadSentItems(dir.path(), items));
    EXPECT_FALSE(LoadSentItems(L"", items));
    EXPECT_EQ(before, items);
}

TEST(SaveSentItems, WritesTheSetInOrdinalOrderWithCrLf) {
    test::TempDir dir;
    // Ordinal order of UTF-16 units: "" first, upper-case before lower-case, U+00E9 after ASCII.
    const SentItemSet items{kGuidC, L"{c0ffee00-2222-4222-8222-22222222222c}", L"", kGuidA, L"\u00e9", kGuidB};
    ASSERT_TRUE(SaveSentItems(dir.path(), items));
    const std::string expected = "\r\n" + Narrow(kGuidA) + "\r\n" + Narrow(kGuidB) + "\r\n" + Narrow(kGuidC) +
                                 "\r\n{c0ffee00-2222-4222-8222-22222222222c}\r\n\xe9\r\n";
    EXPECT_EQ(expected, test::ReadText(dir / L"guid_cache.txt"));

    SentItemSet readBack;
    ASSERT_TRUE(LoadSentItems(dir.path(), readBack));
    EXPECT_EQ(items, readBack);
}

TEST(SaveSentItems, ReplacesTheOldFileAndLeavesNothingBesideIt) {
    test::TempDir dir;
    test::WriteText(dir / L"guid_cache.txt", Narrow(kGuidA) + "\r\n" + Narrow(kGuidB) + "\r\n" + Narrow(kGuidC) + "\r\n");
    ASSERT_TRUE(SaveSentItems(dir.path(), {kGuidB}));
    EXPECT_EQ(Narrow(kGuidB) + "\r\n", test::ReadText(dir / L"guid_cache.txt"));
    EXPECT_EQ(std::vector<std::wstring>{L"guid_cache.txt"}, test::NamesIn(dir.path()));

    ASSERT_TRUE(SaveSentItems(dir.path(), {}));
    EXPECT_EQ("", test::ReadText(dir / L"guid_cache.txt"));
}

// Whatever stops the new cache from being written in full, the old one stays as it was.
TEST(SaveSentItems, KeepsTheOldCacheWhenTheNewOneCannotReplaceIt) {
    const std::string old = Narrow(kGuidA) + "\r\n";
    {
        test::TempDir dir;
        test::WriteText(dir / L"guid_cache.txt", old);
        ASSERT_TRUE(CreateDirectoryW((dir / L"guid_cache.txt.tmp").c_str(), nullptr));
        EXPECT_FALSE(SaveSentItems(dir.path(), {kGuidB}));
        EXPECT_EQ(old, test::ReadText(dir / L"guid_cache.txt"));
        RemoveDirectoryW((dir / L"guid_cache.txt.tmp").c_str());
    }
    {
        test::TempDir dir;
        test::WriteText(dir / L"guid_cache.txt", old);
        // Another reader that does not let the file be replaced under it.
        UniqueFile reader(CreateFileW((dir / L"guid_cache.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_FALSE(SaveSentItems(dir.path(), {kGuidB}));
        reader.reset();
        EXPECT_EQ(old, test::ReadText(dir / L"guid_cache.txt"));
        EXPECT_EQ(std::vector<std::wstring>{L"guid_cache.txt"}, test::NamesIn(dir.path()));
    }
}

TEST(SaveSentItems, WritesNothingWithoutAFolder) {
    test::TempDir dir;
    EXPECT_FALSE(SaveSentItems(dir / L"missing", {kGuidA}));
    EXPECT_FALSE(SaveSentItems(L"", {kGuidA}));
    EXPECT_TRUE(test::NamesIn(dir.path()).empty());
}

}  // namespace
}  // namespace vondrel
