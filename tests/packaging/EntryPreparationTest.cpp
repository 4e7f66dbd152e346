#include "packaging/EntryPreparation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using Bytes = std::vector<uint8_t>;

// Half noise, half repetitive text: deflate makes blocks of both kinds.
Bytes MixedContent(size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = i % 4096 < 2048 ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>('a' + i % 7);
    }
    return bytes;
}

// Sizes around the writer's feed block and the in-memory limit: the deflated bytes must not depend
// on who feeds the content, and a file over the limit goes the writer's own way.
const size_t kSizes[] = {0, 1, 9000, 3 * kStreamBufferSize + 17, 1u << 20, kPreparedEntryLimit + 1, 70000};

class EntryPreparationTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (size_t i = 0; i < std::size(kSizes); ++i) {
            const std::wstring path = dir_ / (L"f" + std::to_wstring(i) + L".bin");
            test::WriteBytes(path, MixedContent(kSizes[i], static_cast<uint32_t>(i)));
            paths_.push_back(path);
        }
        // A file that cannot be opened, among the others.
        locked_ = paths_[2];
        lock_.reset(CreateFileW(locked_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        ASSERT_TRUE(lock_);
    }

    test::TempDir dir_;
    std::vector<std::wstring> paths_;
    std::wstring locked_;
    UniqueFile lock_;
};

// The zip library seeds rand() for the encryption headers at its first entry of the process (the
// throwaway archive below); seeding it the same before each archive then makes the two ways draw
// the same header bytes.
constexpr unsigned kEncryptionSeed = 7;

TEST_F(EntryPreparationTest, AnyNumberOfWorkersGivesTheBytesAndResultsOfAddingFileByFile) {
    ASSERT_EQ(AddFileToZip(paths_[1].c_str(), (dir_ / L"throwaway.zip").c_str()), kZipAddOk);
    const std::wstring reference = dir_ / L"reference.zip";
    std::srand(kEncryptionSeed);
    std::vector<bool> expected;
    for (const std::wstring& path : paths_)
        expected.push_back(AddFileToZip(path.c_str(), reference.c_str()) == kZipAddOk);
    ASSERT_EQ(expected, std::vector<bool>({true, true, false, true, true, true, true}));
    const Bytes referenceBytes = test::ReadBytes(reference);

    for (unsigned workers : {0u, 1u, 2u, 4u}) {
        SCOPED_TRACE(workers);
        const std::wstring packed = dir_ / (L"packed" + std::to_wstring(workers) + L".zip");
        std::vector<bool> results;
        std::vector<size_t> order;
        bool onCallingThread = true;
        const DWORD caller = GetCurrentThreadId();
        std::srand(kEncryptionSeed);
        {
            ZipArchiveAppender archive(packed);
            AddFilesToZip(paths_, archive, workers, [&](size_t index, bool added) {
                order.push_back(index);
                results.push_back(added);
                onCallingThread = onCallingThread && GetCurrentThreadId() == caller;
            });
        }
        EXPECT_EQ(order, std::vector<size_t>({0, 1, 2, 3, 4, 5, 6}));
        EXPECT_TRUE(onCallingThread);
        EXPECT_EQ(results, expected);
        EXPECT_TRUE(test::ReadBytes(packed) == referenceBytes)
            << "the archive differs from the one added file by file";
    }
}

TEST_F(EntryPreparationTest, OnlyFilesReadWholeWithinTheLimitAreHeldInMemory) {
    struct Case {
        const char* name;
        std::wstring path;
        PreparedEntry::State state;
    };
    const Case cases[] = {
        {"empty", paths_[0], PreparedEntry::State::Ready},
        {"several feed blocks", paths_[3], PreparedEntry::State::Ready},
        {"over the limit", paths_[5], PreparedEntry::State::Stream},
        {"cannot be opened", locked_, PreparedEntry::State::Stream},
        {"missing", dir_ / L"missing.bin", PreparedEntry::State::Stream},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PreparedEntry entry = PrepareEntry(c.path);
        EXPECT_EQ(entry.state, c.state);
        if (entry.state != PreparedEntry::State::Ready) {
            EXPECT_TRUE(entry.deflated.empty());
        }
    }
}

}  // namespace
}  // namespace vondrel
