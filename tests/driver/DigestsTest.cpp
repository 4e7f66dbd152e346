#include "driver/Digests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Sha256Transforms.h"
#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

std::wstring Md5Of(const std::string& data) {
    CMD5 md5;
    md5.Update(data.data(), data.size());
    uint8_t digest[CMD5::kDigestSize];
    md5.Final(digest);
    return HexText(digest, sizeof digest);
}

std::wstring Sha256Of(const std::string& data) {
    SHA256 sha;
    sha.Update(data.data(), data.size());
    uint8_t digest[SHA256::kDigestSize];
    sha.Final(digest);
    return HexText(digest, sizeof digest);
}

struct VectorCase {
    std::string message;
    std::wstring expected;
};

TEST(Digests, Md5GivesThePublishedTestSuite) {
    const VectorCase cases[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"a", L"0cc175b9c0f1b6a831c399e269772661"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         L"57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(1000000, 'a'), L"7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Md5Of(c.message)) << c.message.substr(0, 40);
}

TEST(Digests, Sha256GivesThePublishedExamples) {
    const VectorCase cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstn"
         "opqrstu",
         L"cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Sha256Of(c.message)) << c.message.substr(0, 40);
}

// Pieces that start and end inside, at and across the 64-byte blocks give the one-piece digest, and a
// finished digest starts afresh.
TEST(Digests, PiecesOfAnySizeGiveTheWholeMessagesDigest) {
    const std::string message(1000000, 'a');
    const size_t pieceSizes[] = {1, 7, 55, 56, 63, 64, 65, 127, 4096, 4097};
    for (size_t piece : pieceSizes) {
        CMD5 md5;
        SHA256 sha;
        for (size_t at = 0; at < message.size(); at += piece) {
            const size_t n = std::min(piece, message.size() - at);
            md5.Update(message.data() + at, n);
            sha.Update(message.data() + at, n);
        }
        uint8_t md5Digest[CMD5::kDigestSize];
        uint8_t shaDigest[SHA256::kDigestSize];
        md5.Final(md5Digest);
        sha.Final(shaDigest);
        EXPECT_EQ(L"7707d6ae4e027c70eea2a935c2296f21", HexText(md5Digest, sizeof md5Digest)) << piece;
        EXPECT_EQ(L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
                  HexText(shaDigest, sizeof shaDigest))
            << piece;
        md5.Update("abc", 3);
        md5.Final(md5Digest);
        EXPECT_EQ(L"900150983cd24fb0d6963f7d28e17f72", HexText(md5Digest, sizeof md5Digest));
    }
}

UniqueFile OpenForDigest(const std::wstring& path, DWORD access = GENERIC_READ) {
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
}

struct ExpectedDigests {
    std::string name;
    std::string md5;
    std::string sha256;
};

std::vector<ExpectedDigests> ReadExpected(const std::wstring& folder) {
    std::istringstream lines(test::ReadText(folder + L"\\expected.txt"));
    std::vector<ExpectedDigests> expected;
    ExpectedDigests e;
    while (lines >> e.name >> e.md5 >> e.sha256) expected.push_back(e);
    return expected;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Files around the block boundaries, digested by coreutils md5sum and sha256sum on the Linux side.
TEST(ComputeFileDigests, AgreesWithCoreutilsAroundTheBlockBoundaries) {
    const std::wstring folder = test::FixtureDir("digest_files");
    const auto expected = ReadExpected(folder);
    ASSERT_EQ(10u, expected.size());
    for (const auto& e : expected) {
        UniqueFile file = OpenForDigest(folder + L"\\" + Widen(e.name));
        ASSERT_TRUE(file) << e.name;
        std::wstring md5, sha256;
        const bool computed = ComputeFileDigests(file.get(), md5, sha256);
        if (e.name == "size_0.bin") {
            EXPECT_FALSE(computed);
            EXPECT_EQ(L"N/A", md5);
            EXPECT_EQ(L"N/A", sha256);
            continue;
        }
        EXPECT_TRUE(computed) << e.name;
        EXPECT_EQ(Widen(e.md5), md5) << e.name;
        EXPECT_EQ(Widen(e.sha256), sha256) << e.name;
    }
}

TEST(ComputeFileDigests, ReadsFromTheStartWhereverTheFilePointerIs) {
    test::TempDir dir;
    test::WriteText(dir / L"abc.txt", "abc");
    UniqueFile file = OpenForDigest(dir / L"abc.txt");
    ASSERT_TRUE(file);
    char skipped[2];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file.get(), skipped, sizeof skipped, &read, nullptr));
    std::wstring md5, sha256;
    EXPECT_TRUE(ComputeFileDigests(file.get(), md5, sha256));
    EXPECT_EQ(L"900150983cd24fb0d6963f7d28e17f72", md5);
    EXPECT_EQ(L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha256);
}

// A handle whose size can be read but whose content cannot gives no digest, not the digest of nothing.
TEST(ComputeFileDigests, GivesNoDigestForUnreadableContentOrHandle) {
    test::TempDir dir;
    test::WriteText(dir / L"abc.txt", "abc");
    UniqueFile attributesOnly = OpenForDigest(dir / L"abc.txt", FILE_READ_ATTRIBUTES);
    ASSERT_TRUE(attributesOnly);
    std::wstring md5 = L"x", sha256 = L"x";
    EXPECT_FALSE(ComputeFileDigests(attributesOnly.get(), md5, sha256));
    EXPECT_EQ(L"N/A", md5);
    EXPECT_EQ(L"N/A", sha256);

    md5 = sha256 = L"x";
    EXPECT_FALSE(ComputeFileDigests(INVALID_HANDLE_VALUE, md5, sha256));
    EXPECT_EQ(L"N/A", md5);
    EXPECT_EQ(L"N/A", sha256);
}

// Files around the padding edges and the reads' block edges, beside the ones above.
TEST(ComputeFileDigests, AgreesWithCoreutilsAroundThePaddingAndReadEdges) {
    const std::wstring folder = test::FixtureDir("digest_files") + L"\\edges";
    const auto expected = ReadExpected(folder);
    ASSERT_FALSE(expected.empty());
    for (const auto& e : expected) {
        UniqueFile file = OpenForDigest(folder + L"\\" + Widen(e.name));
        ASSERT_TRUE(file) << e.name;
        std::wstring md5, sha256;
        EXPECT_TRUE(ComputeFileDigests(file.get(), md5, sha256)) << e.name;
        EXPECT_EQ(Widen(e.md5), md5) << e.name;
        EXPECT_EQ(Widen(e.sha256), sha256) << e.name;
    }
}

// SHA-256 of a message through one transform alone, `blocksPerCall` blocks at a time; the padding is
// done here, so a fault shows in the transform.
std::wstring Sha256Through(sha256::Transform transform, const std::string& message, size_t blocksPerCall) {
    std::string padded = message + '\x80';
    padded.append((119 - message.size() % 64) % 64, '\0');
    const uint64_t bits = uint64_t(message.size()) * 8;
    for (int shift = 56; shift >= 0; shift -= 8) padded += char(bits >> shift);
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto* data = reinterpret_cast<const uint8_t*>(padded.data());
    const size_t blocks = padded.size() / 64;
    for (size_t at = 0; at < blocks; at += blocksPerCall)
        transform(state, data + 64 * at, std::min(blocksPerCall, blocks - at));
    uint8_t digest[SHA256::kDigestSize];
    for (int i = 0; i < 32; ++i) digest[i] = uint8_t(state[i / 4] >> (24 - 8 * (i % 4)));
    return HexText(digest, sizeof digest);
}

struct TransformCase {
    const char* name;
    sha256::Transform transform;
    bool needsShaExtensions;
};

void PrintTo(const TransformCase& c, std::ostream* out) { *out << c.name; }

// Both transforms, whichever one SHA256 picks on this processor.
class Sha256Transform : public testing::TestWithParam<TransformCase> {
protected:
    void SetUp() override {
        if (GetParam().needsShaExtensions && !sha256::ShaExtensionsAvailable())
            GTEST_SKIP() << "this processor has no SHA extensions (cpuid leaf 7, EBX bit 29), so this path cannot run";
    }
    std::wstring Digest(const std::string& message, size_t blocksPerCall = SIZE_MAX) const {
        return Sha256Through(GetParam().transform, message, blocksPerCall);
    }
};

TEST_P(Sha256Transform, GivesThePublishedExamplesInCallsOfAnyLength) {
    const VectorCase cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    const size_t callLengths[] = {1, 3, SIZE_MAX};
    for (const auto& c : cases) {
        for (size_t blocksPerCall : callLengths)
            EXPECT_EQ(c.expected, Digest(c.message, blocksPerCall)) << c.message.substr(0, 40) << ", " << blocksPerCall;
    }
}

TEST_P(Sha256Transform, AgreesWithCoreutilsAroundThePaddingEdges) {
    const std::wstring fixture = test::FixtureDir("digest_files");
    size_t checked = 0;
    for (const std::wstring& folder : {fixture, fixture + L"\\edges"}) {
        for (const auto& e : ReadExpected(folder)) {
            EXPECT_EQ(Widen(e.sha256), Digest(test::ReadText(folder + L"\\" + Widen(e.name)))) << e.name;
            ++checked;
        }
    }
    EXPECT_NE(0u, checked);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Sha256Transform,
                         testing::Values(TransformCase{"Portable", sha256::TransformPortable, false},
                                         TransformCase{"ShaExtensions", sha256::TransformAccelerated, true}),
                         [](const testing::TestParamInfo<TransformCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vondrel
