// The build's scrambling of the credentials against the program's unscrambling, for texts of every
// length that fits, multi-byte UTF-8 included.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/TextConvert.h"
#include "ScrambledCases.h"
#include "upload/Credentials.h"

namespace vondrel {
namespace {

std::string Utf8(const wchar_t* text) {
    return WideToUtf8(text);
}

TEST(Credentials, UnscramblingGivesBackWhatTheBuildScrambled) {
    for (const ScrambledCase& c : kScrambledCases) {
        const ScrubbedBuffer buffer = Unscramble(c.bytes, c.size);
        ASSERT_EQ(buffer.size(), c.size);
        EXPECT_EQ(WideSecret(buffer).text(), c.text) << c.size;
        const std::string utf8 = Utf8(c.text);
        EXPECT_EQ(std::string(buffer.data(), buffer.data() + utf8.size() + 1), utf8 + '\0') << "terminated";
    }
}

TEST(Credentials, TheScrambledBytesDoNotShowTheText) {
    for (const ScrambledCase& c : kScrambledCases) {
        const std::string utf8 = Utf8(c.text);
        if (utf8.size() < 2) continue;
        const std::string scrambled(reinterpret_cast<const char*>(c.bytes), c.size);
        EXPECT_EQ(scrambled.find(utf8.substr(0, 2)), std::string::npos) << utf8;
    }
}

TEST(Credentials, TheBuiltInOnesComeInBuffersOf18And11Bytes) {
    const ScrubbedBuffer userName = UnscrambleUserName();
    const ScrubbedBuffer password = UnscramblePassword();
    ASSERT_EQ(userName.size(), 18u);
    ASSERT_EQ(password.size(), 11u);
    EXPECT_NE(std::find(userName.data(), userName.data() + 18, '\0'), userName.data() + 18);
    EXPECT_NE(std::find(password.data(), password.data() + 11, '\0'), password.data() + 11);
    EXPECT_FALSE(WideSecret(userName).text().empty());
    EXPECT_FALSE(WideSecret(password).text().empty());
}

}  // namespace
}  // namespace vondrel
