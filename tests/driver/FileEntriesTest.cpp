#include "driver/FileEntries.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/TextWriter.h"
#include "quarantine/store/SqlAccess.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kSelectFiles =
    L"SELECT guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, accessTime, "
    L"actorProcessName, isCreated, FileAttribute FROM BackupFiles WHERE guid=?;";
constexpr const wchar_t* kItemGuid = L"6a2f0c3e-5d41-4b7a-9e08-1c2d3e4f5a6b";

constexpr const char* kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";
constexpr const char* kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kMessageDigestMd5 = "f96b697d7cb7938d525a2f31aaf161d0";
constexpr const char* kMessageDigestSha256 = "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650";
constexpr const char* kAMd5 = "0cc175b9c0f1b6a831c399e269772661";
constexpr const char* kASha256 = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";

std::string Entry(const std::string& name, const std::string& times, const std::string& md5, const std::string& sha256,
                  const std::string& actor) {
    return "\r\n\t\t\t{ \"FileName\" : \"" + name + "\" ," + times + ", \"MD5\" : \"" + md5 + "\", \"SHA256\" : \"" +
           sha256 + "\", \"ActorProcessName\" : \"" + actor + "\" }";
}

std::string Times(const std::string& create, const std::string& modify, const std::string& access) {
    return "\"CreateTime\" : " + create + ", \"ModifyTime\" : " + modify + ", \"AccessTime\" : " + access;
}

// The item's file rows as the product's catalogue holds them, read back through the SQL layer.
class FileEntries : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring catalogue = test::FixtureDir("file_rows") + L"\\files.db";
        ASSERT_TRUE(db_.Open(catalogue.c_str(), true));
        rows_ = std::make_unique<QueryInfo>(kSelectFiles, SqlValue(kItemGuid));
        ASSERT_TRUE(db_.Execute(*rows_));
        ASSERT_EQ(5u, rows_->RowCount());
        ASSERT_TRUE(metadata_.Open(dir_ / L"quarantined_metadata.json", TextFile::Mode::CreateAlways));
    }

    std::wstring WrittenFile(const std::wstring& name, const std::string& content) {
        test::WriteText(dir_ / name, content);
        return dir_ / name;
    }

    std::string Metadata() {
        metadata_.Close();
        return test::ReadText(dir_ / L"quarantined_metadata.json");
    }

    test::TempDir dir_;
    Csql_lite db_;
    std::unique_ptr<QueryInfo> rows_;
    TextFile metadata_;
};

TEST_F(FileEntries, JoinsTheEntriesOfOneItemWithAComma) {
    MetadataFileWriter writer(metadata_);
    writer.BeginFileList();
    WriteFileEntry(&writer, *rows_, 0, WrittenFile(L"report.doc", "abc"));
    WriteFileEntry(&writer, *rows_, 1, WrittenFile(L"z.bin", ""));
    EXPECT_EQ(2u, writer.EntriesInList());
    EXPECT_EQ(Entry("report.doc", Times("132537600000000000", "-1", "0"), kAbcMd5, kAbcSha256,
                    "C:/Windows/System32/cmd.exe") +
                  "," +
                  Entry("z.bin", Times("9223372036854775807", "-9223372036854775808", "42"), "N/A", "N/A", ""),
              Metadata());
}

// Rows with missing or mistyped values and texts beyond ASCII; every item's list starts without a comma.
TEST_F(FileEntries, WritesWhatTheRowsHoldAndStartsEachListAfresh) {
    MetadataFileWriter writer(metadata_);
    writer.BeginFileList();
    WriteFileEntry(&writer, *rows_, 2, dir_ / L"never-written.exe");
    WriteFileEntry(&writer, *rows_, 3, WrittenFile(L"caf\u00e9.txt", "message digest"));
    writer.BeginFileList();
    WriteFileEntry(&writer, *rows_, 4, WrittenFile(L"plain.txt", "a"));
    EXPECT_EQ(Entry("", Times("0", "0", "0"), "N/A", "N/A", "//server/share/tool.exe") + "," +
                  Entry("caf\xe9.txt", Times("1", "2", "3"), kMessageDigestMd5, kMessageDigestSha256, "") +
                  Entry("plain.txt", Times("5", "6", "7"), kAMd5, kASha256, "C:/already/forward.exe"),
              Metadata());
}

TEST_F(FileEntries, WritesNothingForARowThatIsNotThere) {
    MetadataFileWriter writer(metadata_);
    writer.BeginFileList();
    WriteFileEntry(&writer, *rows_, 5, WrittenFile(L"a.txt", "a"));
    WriteFileEntry(nullptr, *rows_, 0, dir_ / L"a.txt");
    EXPECT_EQ(0u, writer.EntriesInList());
    EXPECT_EQ("", Metadata());
}

// A metadata file that could not be created loses the entries; the restore goes on.
TEST_F(FileEntries, GoesOnWithoutAMetadataFile) {
    TextFile notOpen;
    MetadataFileWriter writer(notOpen);
    writer.BeginFileList();
    WriteFileEntry(&writer, *rows_, 0, WrittenFile(L"report.doc", "abc"));
    WriteFileEntry(&writer, *rows_, 4, WrittenFile(L"plain.txt", "a"));
    EXPECT_EQ(2u, writer.EntriesInList());
    EXPECT_EQ("", Metadata());
}

}  // namespace
}  // namespace vondrel
