#include "quarantine/restore/BupFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "tests/support/BupWriter.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using test::BupStream;
using test::BupStreams;
using test::ReadBytes;
using test::TempDir;
using test::WriteBupFile;

// Bytes that cover every value, zero and the scrambling key included.
std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str()); }

bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

int32_t NumberOfFiles(BupFile& bup) {
    int32_t n = 0;
    bup.bag->GetInt(kBupDetailsSection, kBupNumberOfFilesKey, 32, &n);
    return n;
}

class BupFileTest : public testing::Test {
protected:
    // Writes a backup holding the streams and opens it.
    void OpenBackup(const std::vector<BupStream>& streams) {
        WriteBupFile(backup_, streams);
        ASSERT_EQ(bup_.Open(backup_.c_str()), kBupSuccess);
    }

    // A file of the test folder holding "old content", read-only.
    std::wstring ReadOnlyFile(const wchar_t* name) {
        std::wstring path = dir_ / name;
        test::WriteText(path, "old content");
        EXPECT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        return path;
    }

    TempDir dir_;
    std::wstring backup_ = dir_ / L"item.bup";
    BupFile bup_;
};

TEST(ScrambleBytes, XorsWithTheKeyAndUndoesItself) {
    std::vector<uint8_t> bytes = {0x00, 0xA7, 0xFF, 0x41};
    ScrambleBytes(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xA7, 0x00, 0x58, 0xE6}));
    std::vector<uint8_t> all = Pattern(1000);
    std::vector<uint8_t> copy = all;
    ScrambleBytes(copy.data(), copy.size());
    ScrambleBytes(copy.data(), copy.size());
    EXPECT_EQ(copy, all);
}

TEST_F(BupFileTest, OpenReadsTheDescriptionText) {
    OpenBackup(BupStreams("[Details]\r\nNumberOfFiles=2\r\n[File_1]\r\nWasAdded=yes\r\n", {Pattern(10), Pattern(20)}));
    ASSERT_TRUE(bup_.bag);
    ASSERT_TRUE(bup_.storage);
    EXPECT_EQ(NumberOfFiles(bup_), 2);
    uint8_t added = 0;
    EXPECT_TRUE(bup_.bag->GetInt(L"File_1", kBupWasAddedKey, 1, &added));
    EXPECT_EQ(added, 1);
    EXPECT_FALSE(bup_.bag->GetInt(L"File_0", kBupWasAddedKey, 1, &added));
}

TEST_F(BupFileTest, OpenDecodesUtf8AndDropsMalformedBytes) {
    OpenBackup(BupStreams("[Details]\r\nName=caf\xC3\xA9\xFF!\r\n", {}));
    wchar_t name[16] = L"";
    ASSERT_TRUE(bup_.bag->GetString(L"Details", L"Name", name, 16));
    EXPECT_EQ(std::wstring(name), L"caf\u00E9!");
}

TEST_F(BupFileTest, EmptyDetailsOpensWithAnEmptyBag) {
    OpenBackup(BupStreams("", {Pattern(10)}));
    EXPECT_EQ(bup_.bag->GetText(nullptr, 0), 0u);
    EXPECT_FALSE(bup_.bag->GetInt(kBupDetailsSection, kBupNumberOfFilesKey, 32, nullptr));
    EXPECT_EQ(NumberOfFiles(bup_), 0);
}

TEST_F(BupFileTest, ZeroByteInTheDetailsCutsTheText) {
    const char details[] = "[Details]\r\nNumberOfFiles=3\r\n\0[File_0]\r\nWasAdded=1\r\n";
    OpenBackup(BupStreams(std::string(details, sizeof details - 1), {}));
    EXPECT_EQ(NumberOfFiles(bup_), 3);
    EXPECT_FALSE(bup_.bag->GetInt(L"File_0", kBupWasAddedKey, 1, nullptr));
    EXPECT_EQ(bup_.bag->GetText(nullptr, 0), 28u);
}

TEST_F(BupFileTest, OpenFailsWith19WhenFileOrDetailsCannotBeOpened) {
    WriteBupFile(dir_ / L"no_details.bup", {{L"File_0", Pattern(10)}});
    test::WriteText(dir_ / L"plain.bup", "[Details]\r\nNumberOfFiles=1\r\n");
    const wchar_t* names[] = {L"no_details.bup", L"plain.bup", L"missing.bup"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(testing::Message() << name);
        BupFile bup;
        EXPECT_EQ(bup.Open((dir_ / name).c_str()), kBupNotOpened);
        EXPECT_TRUE(bup.bag);  // created before the storage, released by the owner
    }
}

TEST_F(BupFileTest, OpenOfAnOpenedFileFailsWhileItIsHeldExclusively) {
    OpenBackup(BupStreams("[Details]\r\nNumberOfFiles=0\r\n", {}));
    BupFile second;
    EXPECT_EQ(second.Open(backup_.c_str()), kBupNotOpened);
    bup_.Release();
    EXPECT_FALSE(bup_.storage);
    EXPECT_FALSE(bup_.bag);
    EXPECT_EQ(second.Open(backup_.c_str()), kBupSuccess);
}

TEST_F(BupFileTest, RestoresStreamsOfEverySizeAroundTheBlock) {
    const size_t sizes[] = {1, 4095, 4096, 4097, 8192, 10000};
    std::vector<std::vector<uint8_t>> contents;
    for (size_t size : sizes) contents.push_back(Pattern(size));
    OpenBackup(BupStreams("[Details]\r\nNumberOfFiles=6\r\n", contents));
    for (size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "size " << contents[i].size());
        std::wstring destination = dir_ / (L"out" + std::to_wstring(i));
        std::wstring stream = L"File_" + std::to_wstring(i);
        ASSERT_EQ(RestoreStreamToFile(bup_, stream.c_str(), destination.c_str(), false), kBupSuccess);
        EXPECT_EQ(ReadBytes(destination), contents[i]);
    }
}

TEST_F(BupFileTest, OverwritesAnExistingDestination) {
    OpenBackup(BupStreams("", {Pattern(100)}));
    std::wstring destination = dir_ / L"existing.bin";
    test::WriteBytes(destination, Pattern(20000));
    ASSERT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), false), kBupSuccess);
    EXPECT_EQ(ReadBytes(destination), Pattern(100));
    EXPECT_EQ(Attributes(destination) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(BupFileTest, ReadOnlyDestinationIsOverwrittenAndStaysReadOnly) {
    OpenBackup(BupStreams("", {Pattern(5000)}));
    std::wstring destination = ReadOnlyFile(L"readonly.bin");
    ASSERT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), false), kBupSuccess);
    EXPECT_EQ(ReadBytes(destination), Pattern(5000));
    EXPECT_NE(Attributes(destination) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(BupFileTest, UnwritableReadOnlyDestinationKeepsItsContentAndBit) {
    OpenBackup(BupStreams("", {Pattern(5000)}));
    std::wstring destination = ReadOnlyFile(L"busy.bin");
    {
        UniqueFile holder(CreateFileExtended(destination, GENERIC_READ, 0, OPEN_EXISTING, 0));
        ASSERT_TRUE(holder);
        EXPECT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), false), kBupNotWritten);
    }
    EXPECT_EQ(test::ReadText(destination), "old content");
    EXPECT_NE(Attributes(destination) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(BupFileTest, EmptyOrMissingStreamLeavesNoDestination) {
    OpenBackup(BupStreams("", {{}}));
    struct Case {
        const wchar_t* stream;
        bool existedBefore;
    } cases[] = {{L"File_0", false}, {L"File_0", true}, {L"File_9", false}, {L"File_9", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stream << (c.existedBefore ? " over an existing file" : ""));
        std::wstring destination = dir_ / L"empty.bin";
        if (c.existedBefore) test::WriteText(destination, "old content");
        EXPECT_EQ(RestoreStreamToFile(bup_, c.stream, destination.c_str(), false), kBupNotWritten);
        EXPECT_FALSE(Exists(destination));
    }
}

TEST_F(BupFileTest, DestinationThatIsAFolderIsNotWritten) {
    OpenBackup(BupStreams("", {Pattern(10)}));
    std::wstring destination = dir_ / L"folder";
    ASSERT_TRUE(CreateDirectoryW(destination.c_str(), nullptr));
    EXPECT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), false), kBupNotWritten);
    EXPECT_TRUE(IsDirectory(destination));
}

TEST_F(BupFileTest, AddedFileDeletesTheDestination) {
    OpenBackup(BupStreams("", {Pattern(10)}));
    std::wstring destination = dir_ / L"added.bin";
    EXPECT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), true), kBupAddedNotDeleted);
    EXPECT_FALSE(Exists(destination));
    test::WriteText(destination, "was added");
    EXPECT_EQ(RestoreStreamToFile(bup_, L"File_0", destination.c_str(), true), kBupSuccess);
    EXPECT_FALSE(Exists(destination));
}

TEST_F(BupFileTest, CreatesParentFoldersOfADeepDestination) {
    OpenBackup(BupStreams("", {Pattern(300)}));
    struct Case {
        const char* what;
        std::wstring destination;
    } cases[] = {
        {"deep", dir_ / L"a\\b\\c\\d\\restored.bin"},
        {"longer than MAX_PATH", dir_ / (std::wstring(120, L'x') + L"\\" + std::wstring(120, L'y') + L"\\restored.bin")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(RestoreStreamToFile(bup_, L"File_0", c.destination.c_str(), false), kBupSuccess);
        EXPECT_EQ(ReadBytes(c.destination), Pattern(300));
    }
}

}  // namespace
}  // namespace vondrel
