#include "quarantine/restore/CfgBall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/Handles.h"

namespace vondrel {
namespace {

// A bag holding the UTF-8 text, released at the end of the test.
ComPtr<CfgBall> BagWith(const std::string& utf8) {
    ComPtr<CfgBall> bag(CfgBallImp::Create());
    EXPECT_TRUE(bag);
    EXPECT_TRUE(bag->SetTextUtf8(utf8.data(), static_cast<int32_t>(utf8.size())));
    return bag;
}

std::wstring TextOf(CfgBall& bag) {
    std::wstring text(bag.GetText(nullptr, 0), L'\0');
    if (!text.empty()) text.resize(bag.GetText(&text[0], static_cast<uint32_t>(text.size())));
    return text;
}

std::vector<std::wstring> Names(CfgBallIterator* iterator) {
    std::vector<std::wstring> names;
    if (iterator == nullptr) return names;
    wchar_t name[64];
    while (iterator->Next(name, 64)) names.emplace_back(name);
    iterator->Release();
    return names;
}

constexpr uint64_t kUntouched = 0xAAAAAAAAAAAAAAAAull;

struct LookupCase {
    const char* what;
    const char* text;
    const wchar_t* section;
    const wchar_t* key;
    int bits;
    bool found;
    uint64_t out;  // the whole 64-bit output after the call (kUntouched when not written)
};

const LookupCase kLookupCases[] = {
    {"CR LF lines", "[Details]\r\nNumberOfFiles = 2\r\n", L"Details", L"NumberOfFiles", 32, true, 0xAAAAAAAA00000002ull},
    {"names in lower case", "[Details]\r\nNumberOfFiles = 2\r\n", L"details", L"numberoffiles", 32, true,
     0xAAAAAAAA00000002ull},
    {"shorter section name", "[Details]\r\nNumberOfFiles=2\r\n", L"Detail", L"NumberOfFiles", 32, false, kUntouched},
    {"longer key name", "[Details]\r\nNumberOfFiles=2\r\n", L"Details", L"NumberOfFiles2", 32, false, kUntouched},
    {"flag yes", "[File_0]\r\nWasAdded=yes\r\n", L"File_0", L"WasAdded", 1, true, 0xAAAAAAAAAAAAAA01ull},
    {"flag 0", "[File_0]\r\nWasAdded=0\r\n", L"File_0", L"WasAdded", 1, true, 0xAAAAAAAAAAAAAA00ull},
    {"flag of a large number", "[File_0]\r\nWasAdded=0x100\r\n", L"File_0", L"WasAdded", 1, true, 0xAAAAAAAAAAAAAA01ull},
    {"missing key", "[File_0]\r\nOther=1\r\n", L"File_0", L"WasAdded", 1, false, kUntouched},
    {"key of another section", "[File_0]\r\n[File_1]\r\nWasAdded=1\r\n", L"File_0", L"WasAdded", 1, false, kUntouched},
    {"commented with #", "[A]\r\n#x=1\r\n", L"A", L"x", 32, false, kUntouched},
    {"commented with ; after blanks", "[A]\r\n  ;x=1\r\n", L"A", L"x", 32, false, kUntouched},
    {"key before the first header, empty section", "x=7\r\n[A]\r\ny=1\r\n", L"", L"x", 32, true, 0xAAAAAAAA00000007ull},
    {"key before the first header, null section", "x=7\r\n[A]\r\n", nullptr, L"x", 32, true, 0xAAAAAAAA00000007ull},
    {"key before the first header, named section", "x=7\r\n[A]\r\ny=1\r\n", L"A", L"x", 32, false, kUntouched},
    {"bits 3 refused", "[A]\r\nx=5\r\n", L"A", L"x", 3, false, kUntouched},
    {"empty text", "", L"A", L"x", 32, false, kUntouched},
    {"empty text, empty names", "", L"", L"", 32, false, kUntouched},
    {"header without ] ends the section", "[A]\r\n[B\r\nx=1\r\n", L"A", L"x", 32, false, kUntouched},
    {"section given twice", "[A]\r\nx=1\r\n[B]\r\n[A]\r\ny=2\r\n", L"A", L"y", 32, true, 0xAAAAAAAA00000002ull},
    {"first of two equal keys wins", "[A]\r\nx=1\r\nX=2\r\n", L"A", L"x", 32, true, 0xAAAAAAAA00000001ull},
    {"LF only, no final line end", "[A]\nx=3", L"A", L"x", 32, true, 0xAAAAAAAA00000003ull},
    {"tabs and blanks around everything", "\t[A]\t\r\n \tx \t= \t9\t \r\n", L"A", L"x", 32, true,
     0xAAAAAAAA00000009ull},
    {"key without =", "[A]\r\nflag\r\n", L"A", L"flag", 32, true, 0xAAAAAAAA00000000ull},
    {"line starting with = is no key", "[A]\r\n=5\r\n", L"A", L"", 32, false, kUntouched},
    {"malformed byte in a key is dropped", "[A]\r\nk\xFF" "ey=5\r\n", L"A", L"key", 32, true, 0xAAAAAAAA00000005ull},
    {"width 8", "[A]\r\nx=0x1FFFF\r\n", L"A", L"x", 8, true, 0xAAAAAAAAAAAAAAFFull},
    {"width -16", "[A]\r\nx=0x1FFFF\r\n", L"A", L"x", -16, true, 0xAAAAAAAAAAAAFFFFull},
    {"width -32", "[A]\r\nx=0x1FFFF\r\n", L"A", L"x", -32, true, 0xAAAAAAAA0001FFFFull},
    {"width 64", "[A]\r\nx=0x1FFFF\r\n", L"A", L"x", 64, true, 0x1FFFFull},
    {"width 64, negative", "[A]\r\nx=-1\r\n", L"A", L"x", -64, true, 0xFFFFFFFFFFFFFFFFull},
};

TEST(CfgBallLookup, FindsKeysByTheReadingRules) {
    for (const LookupCase& c : kLookupCases) {
        SCOPED_TRACE(c.what);
        ComPtr<CfgBall> bag = BagWith(c.text);
        uint64_t out = kUntouched;
        EXPECT_EQ(bag->GetInt(c.section, c.key, c.bits, &out), c.found);
        EXPECT_EQ(out, c.out);
    }
}

TEST(CfgBallLookup, NullOutputOnlyAsksWhetherTheKeyExists) {
    ComPtr<CfgBall> bag = BagWith("[A]\r\nx=5\r\n");
    EXPECT_TRUE(bag->GetInt(L"A", L"x", 32, nullptr));
    EXPECT_FALSE(bag->GetInt(L"A", L"y", 32, nullptr));
}

struct StringCase {
    const char* what;
    const char* line;
    const wchar_t* value;
};

const StringCase kStringCases[] = {
    {"plain", "v=abc", L"abc"},
    {"blanks around the separator", "v  =  abc  ", L"abc"},
    {"quotes at both ends", "v=\"quoted text\"", L"quoted text"},
    {"quotes keep inner blanks", "v = \"  spaced  \" ", L"  spaced  "},
    {"quote at the start only", "v=\"one", L"\"one"},
    {"quote at the end only", "v=one\"", L"one\""},
    {"a lone quote", "v=\"", L"\""},
    {"two quotes", "v=\"\"", L""},
    {"equals sign inside the value", "v=a=b", L"a=b"},
    {"nothing after =", "v=", L""},
    {"no = at all", "v", L""},
};

TEST(CfgBallLookup, StringValuesFollowTheQuoteRules) {
    for (const StringCase& c : kStringCases) {
        SCOPED_TRACE(c.what);
        ComPtr<CfgBall> bag = BagWith(std::string("[S]\r\n") + c.line + "\r\n");
        wchar_t value[64] = L"unchanged";
        ASSERT_TRUE(bag->GetString(L"S", L"v", value, 64));
        EXPECT_EQ(std::wstring(value), c.value);
        EXPECT_EQ(bag->GetValueLength(L"S", L"v"), std::wcslen(c.value) + 1);
    }
}

TEST(CfgBallLookup, GetStringTruncatesAndTerminates) {
    ComPtr<CfgBall> bag = BagWith("[S]\r\nv=abcdef\r\n");
    wchar_t value[4] = L"xyz";
    EXPECT_TRUE(bag->GetString(L"S", L"v", value, 4));
    EXPECT_EQ(std::wstring(value), L"abc");
    wchar_t untouched[4] = L"xyz";
    EXPECT_FALSE(bag->GetString(L"S", L"missing", untouched, 4));
    EXPECT_EQ(std::wstring(untouched), L"xyz");
}

struct NumberCase {
    const char* value;  // as written after "v="
    int64_t result;
};

const NumberCase kNumberCases[] = {
    {"32", 32},
    {"\" 0x1F \"", 31},
    {"\"\t0x1F\t\"", 31},
    {"1Fh", 31},
    {"1fH", 31},
    {"5h", 5},
    {"-5", -5},
    {"+7", 7},
    {"-0x10", -16},
    {"Yes", 1},
    {"y", 1},
    {"YESTERDAY", 1},
    {"true", 1},
    {"T", 1},
    {"on", 1},
    {"off", 0},
    {"OFF", 0},
    {"false", 0},
    {"F", 0},
    {"no", 0},
    {"N", 0},
    {"12abc", 12},
    {"abc", 0},
    {"ah", 0},
    {"0x", 0},
    {"0xG", 0},
    {"12 34", 12},
    {"0x7fffffffffffffff", INT64_MAX},
    {"18446744073709551615", -1},
    {"18446744073709551617", 1},
    {"", 0},
    {"\"   \"", 0},
};

TEST(CfgBallNumbers, FollowTheNumberRules) {
    for (const NumberCase& c : kNumberCases) {
        SCOPED_TRACE(c.value);
        ComPtr<CfgBall> bag = BagWith(std::string("[N]\r\nv=") + c.value + "\r\n");
        int64_t out = 99;
        ASSERT_TRUE(bag->GetInt(L"N", L"v", 64, &out));
        EXPECT_EQ(out, c.result);
    }
}

TEST(CfgBallNumbers, ValueEndsAtANul) {
    ComPtr<CfgBall> bag(CfgBallImp::Create());
    const wchar_t text[] = L"[N]\r\nv=12\0" L"34\r\n";
    ASSERT_TRUE(bag->SetText(text, static_cast<uint32_t>(sizeof text / sizeof text[0] - 1)));
    int64_t out = 0;
    ASSERT_TRUE(bag->GetInt(L"N", L"v", 64, &out));
    EXPECT_EQ(out, 12);
}

struct Utf8Case {
    const char* what;
    std::string bytes;
    std::wstring text;
};

TEST(CfgBallUtf8, DecodesValidSequencesAndDropsTheRest) {
    const Utf8Case cases[] = {
        {"two-byte", "\xC3\xA9", L"\u00E9"},
        {"three-byte", "\xE2\x82\xAC", L"\u20AC"},
        {"four-byte becomes a surrogate pair", "\xF0\x9D\x84\x9E", std::wstring{wchar_t(0xD834), wchar_t(0xDD1E)}},
        {"invalid byte dropped", "a\xFF" "b", L"ab"},
        {"lone continuation dropped", "\x80" "abc", L"abc"},
        {"cut sequence at the end", "a\xC3", L"a"},
        {"cut three-byte sequence before ASCII", "\xE2\x82x", L"x"},
        {"overlong form", "\xC0\xAF" "z", L"z"},
        {"encoded surrogate", "\xED\xA0\x80" "z", L"z"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80" "z", L"z"},
        {"lead then another lead", "\xC3\xC3\xA9", L"\u00E9"},
        {"zero byte kept with an explicit count", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const Utf8Case& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<CfgBall> bag = BagWith(c.bytes);
        EXPECT_EQ(TextOf(*bag.get()), c.text);
    }
}

TEST(CfgBallUtf8, CountMinusOneStopsAtTheFirstZeroByte) {
    ComPtr<CfgBall> bag(CfgBallImp::Create());
    const char text[] = "[A]\r\nx=1\0[B]\r\ny=2";
    ASSERT_TRUE(bag->SetTextUtf8(text, -1));
    EXPECT_EQ(TextOf(*bag.get()), L"[A]\r\nx=1");
}

TEST(CfgBallUtf8, ExportsTheTextAsUtf8) {
    const std::string utf8 = "[S]\r\nname=\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\r\n";
    ComPtr<CfgBall> bag = BagWith(utf8);
    uint32_t needed = bag->GetTextUtf8(nullptr, 0);
    ASSERT_EQ(needed, utf8.size());
    std::string out(needed, '\0');
    EXPECT_EQ(bag->GetTextUtf8(&out[0], needed), needed);
    EXPECT_EQ(out, utf8);
    EXPECT_EQ(bag->GetTextUtf8(&out[0], needed - 1), 0u);
}

TEST(CfgBallText, GrowsPastItsFirstBuffer) {
    std::string text = "[Big]\r\n";
    for (int i = 0; i < 500; ++i) text += "key" + std::to_string(i) + "=" + std::to_string(i * 3) + "\r\n";
    ComPtr<CfgBall> bag = BagWith(text);
    EXPECT_EQ(bag->GetText(nullptr, 0), text.size());
    int32_t out = 0;
    ASSERT_TRUE(bag->GetInt(L"Big", L"key499", 32, &out));
    EXPECT_EQ(out, 1497);
}

TEST(CfgBallText, GetTextCopiesAtMostTheBuffer) {
    ComPtr<CfgBall> bag = BagWith("[A]\r\n");
    wchar_t buffer[3] = {L'x', L'x', L'x'};
    EXPECT_EQ(bag->GetText(buffer, 2), 2u);
    EXPECT_EQ(buffer[0], L'[');
    EXPECT_EQ(buffer[1], L'A');
    EXPECT_EQ(buffer[2], L'x');
    bag->Clear();
    EXPECT_EQ(bag->GetText(nullptr, 0), 0u);
    EXPECT_FALSE(bag->GetInt(L"", L"", 32, nullptr));
}

TEST(CfgBallEditing, SetThenGetRoundTrips) {
    ComPtr<CfgBall> bag(CfgBallImp::Create());
    const wchar_t* values[] = {L"plain", L" leading", L"trailing ", L"\"quoted\"", L"\"", L"a=b", L"", L"\ttab", L"#not a comment"};
    for (const wchar_t* value : values) {
        SCOPED_TRACE(testing::Message() << "value [" << value << "]");
        ASSERT_TRUE(bag->SetString(L"Strings", L"v", value));
        wchar_t out[64] = L"";
        ASSERT_TRUE(bag->GetString(L"Strings", L"v", out, 64));
        EXPECT_EQ(std::wstring(out), value);
    }
    struct IntCase {
        int bits;
        int64_t written;
        int64_t read;  // as read back with the same width, sign-extended for negative widths
    } ints[] = {
        {32, 7, 7}, {-32, -5, -5}, {-64, INT64_MIN, INT64_MIN}, {64, -1, -1}, {-8, 200, -56}, {16, -1, 0xFFFF}, {1, 42, 1},
    };
    for (const IntCase& c : ints) {
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << " value " << c.written);
        ASSERT_TRUE(bag->SetInt(L"Numbers", L"n", c.bits, c.written));
        int64_t out = 0;
        ASSERT_TRUE(bag->GetInt(L"Numbers", L"n", 64, &out));
        int64_t narrowed = c.bits == -8 ? int8_t(out) : out;
        EXPECT_EQ(narrowed, c.read);
    }
    EXPECT_FALSE(bag->SetInt(L"Numbers", L"n", 3, 1));
}

TEST(CfgBallEditing, WritesCrLfLinesIntoTheirSections) {
    ComPtr<CfgBall> bag(CfgBallImp::Create());
    ASSERT_TRUE(bag->SetString(L"A", L"x", L"1"));
    ASSERT_TRUE(bag->SetString(L"B", L"y", L"2"));
    ASSERT_TRUE(bag->SetString(L"A", L"z", L" 3"));
    ASSERT_TRUE(bag->SetString(L"a", L"X", L"4"));  // replaces x, whatever its case
    ASSERT_TRUE(bag->SetString(nullptr, L"top", L"0"));
    EXPECT_EQ(TextOf(*bag.get()), L"top=0\r\n[A]\r\nX=4\r\nz=\" 3\"\r\n[B]\r\ny=2\r\n");
}

TEST(CfgBallEditing, AddsToATextWithoutFinalLineEnd) {
    ComPtr<CfgBall> bag = BagWith("[A]\nx=1");
    ASSERT_TRUE(bag->SetString(L"A", L"y", L"2"));
    ASSERT_TRUE(bag->SetString(L"B", L"z", L"3"));
    EXPECT_EQ(TextOf(*bag.get()), L"[A]\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
}

TEST(CfgBallEditing, RefusesNamesAndValuesThatWouldNotReadBack) {
    struct Refused {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
    } refused[] = {
        {L"A", L"", L"v"},       {L"A", nullptr, L"v"},  {L"A", L"a=b", L"v"},   {L"A", L"#k", L"v"},
        {L"A", L";k", L"v"},     {L"A", L"[k", L"v"},    {L"A", L" k", L"v"},    {L"A", L"k ", L"v"},
        {L"A", L"k", L"a\nb"},   {L"A]", L"k", L"v"},    {L"A\nB", L"k", L"v"},
    };
    ComPtr<CfgBall> bag = BagWith("[A]\r\nk=old\r\n");
    for (const Refused& r : refused) {
        SCOPED_TRACE(testing::Message() << "section [" << (r.section ? r.section : L"") << "] key ["
                                        << (r.key ? r.key : L"(null)") << "]");
        EXPECT_FALSE(bag->SetString(r.section, r.key, r.value));
    }
    EXPECT_EQ(TextOf(*bag.get()), L"[A]\r\nk=old\r\n");
}

TEST(CfgBallEditing, RemovesKeysAndSections) {
    ComPtr<CfgBall> bag = BagWith("a=0\r\n[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n[A]\r\nw=4\r\n");
    EXPECT_TRUE(bag->RemoveKey(L"A", L"Y"));
    EXPECT_FALSE(bag->RemoveKey(L"A", L"y"));
    EXPECT_FALSE(bag->RemoveKey(L"B", L"x"));
    EXPECT_EQ(TextOf(*bag.get()), L"a=0\r\n[A]\r\nx=1\r\n[B]\r\nz=3\r\n[A]\r\nw=4\r\n");
    EXPECT_TRUE(bag->RemoveSection(L"a"));
    EXPECT_EQ(TextOf(*bag.get()), L"a=0\r\n[B]\r\nz=3\r\n");
    EXPECT_FALSE(bag->RemoveSection(L"A"));
    EXPECT_TRUE(bag->RemoveSection(L""));
    EXPECT_EQ(TextOf(*bag.get()), L"[B]\r\nz=3\r\n");
}

TEST(CfgBallEnumeration, ListsSectionsAndKeysOnceEach) {
    ComPtr<CfgBall> bag = BagWith("top=1\r\n[A]\r\nx=1\r\n#c=2\r\n[B]\r\ny\r\n[a]\r\nX=3\r\nz=4\r\n[broken\r\nq=5\r\n");
    EXPECT_EQ(Names(bag->EnumSections()), (std::vector<std::wstring>{L"", L"A", L"B"}));
    EXPECT_EQ(Names(bag->EnumKeys(L"A")), (std::vector<std::wstring>{L"x", L"z"}));
    EXPECT_EQ(Names(bag->EnumKeys(L"B")), (std::vector<std::wstring>{L"y"}));
    EXPECT_EQ(Names(bag->EnumKeys(nullptr)), (std::vector<std::wstring>{L"top"}));
    EXPECT_TRUE(Names(bag->EnumKeys(L"missing")).empty());
}

TEST(CfgBallEnumeration, IteratorTruncatesAndResets) {
    ComPtr<CfgBall> bag = BagWith("[Alpha]\r\n[Beta]\r\n");
    CfgBallIterator* sections = bag->EnumSections();
    ASSERT_NE(sections, nullptr);
    wchar_t name[4];
    ASSERT_TRUE(sections->Next(name, 4));
    EXPECT_EQ(std::wstring(name), L"Alp");
    ASSERT_TRUE(sections->Next(name, 4));
    EXPECT_EQ(std::wstring(name), L"Bet");
    EXPECT_FALSE(sections->Next(name, 4));
    sections->Reset();
    ASSERT_TRUE(sections->Next(name, 4));
    EXPECT_EQ(std::wstring(name), L"Alp");
    EXPECT_EQ(sections->Release(), 1u);
}

TEST(CfgBallLifetime, ReleaseReportsTheCountBeforeItsDecrement) {
    CfgBall* bag = CfgBallImp::Create();
    ASSERT_NE(bag, nullptr);
    EXPECT_EQ(bag->AddRef(), 2u);
    EXPECT_EQ(bag->Release(), 2u);
    EXPECT_EQ(bag->Release(), 1u);  // destroyed here
}

// Two readers look a key up while a writer keeps replacing the text with ones that hold the key at
// other places (growing the buffer on the way); every lookup must see the key's one value, never a
// half-written text.
TEST(CfgBallConcurrency, TwoThreadsReadWhileTheTextChanges) {
    const std::string details = "[Details]\r\nNumberOfFiles=7\r\n";
    const std::string other = "[Other]\r\nNumberOfFiles=9\r\n";
    const std::string texts[] = {other + details, details + other + std::string(3000, ';'), details};
    CfgBall* bag = CfgBallImp::Create();
    ASSERT_NE(bag, nullptr);
    ASSERT_TRUE(bag->SetTextUtf8(details.c_str(), -1));
    std::atomic<bool> stop{false};
    std::atomic<int> lookups{0};
    std::atomic<int> wrong{0};
    auto reader = [bag, &stop, &lookups, &wrong] {
        bag->AddRef();
        while (!stop.load()) {
            int32_t n = 0;
            if (!bag->GetInt(L"details", L"numberoffiles", 32, &n) || n != 7) ++wrong;
            ++lookups;
        }
        bag->Release();
    };
    std::thread first(reader);
    std::thread second(reader);
    for (int i = 0; i < 600 || lookups.load() < 500; ++i) {
        const std::string& text = texts[i % 3];
        if (!bag->SetTextUtf8(text.c_str(), static_cast<int32_t>(text.size()))) {
            ADD_FAILURE() << "SetTextUtf8 failed at " << i;
            break;
        }
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(bag->Release(), 1u);
}

}  // namespace
}  // namespace vondrel
