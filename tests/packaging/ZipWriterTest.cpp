// The zip writer's decisions that the Linux zip tools cannot see from outside: Zip64 at the size
// threshold, DOS times, and every way a stream or an archive can fail an add.
#include "packaging/ZipWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using Bytes = std::vector<uint8_t>;

// A stream over a text that can fail a read in a given pass, fail Stat, change its content between
// the writer's two passes, or report another size than it holds. A pass starts at each seek to 0.
class ScriptedStream : public IStream {
public:
    explicit ScriptedStream(std::string content) : content_(std::move(content)), reportedSize_(content_.size()) {}

    int failReadInPass = 0;
    size_t failReadAt = 0;  // bytes served in that pass before the failing read
    bool failStat = false;
    std::string secondPassContent;
    bool changesInSecondPass = false;
    FILETIME mtime{};

    void ReportSize(uint64_t size) { reportedSize_ = size; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
        *read = 0;
        if (pass_ == failReadInPass && position_ >= failReadAt) return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
        const std::string& text = (pass_ >= 2 && changesInSecondPass) ? secondPassContent : content_;
        const size_t n = std::min<size_t>(count, text.size() - std::min(position_, text.size()));
        memcpy(buffer, text.data() + position_, n);
        position_ += n;
        *read = static_cast<ULONG>(n);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
        if (origin != STREAM_SEEK_SET || move.QuadPart != 0) return E_NOTIMPL;
        ++pass_;
        position_ = 0;
        if (position != nullptr) position->QuadPart = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
        if (failStat) return STG_E_ACCESSDENIED;
        stat->pwcsName = nullptr;
        stat->cbSize.QuadPart = reportedSize_;
        stat->mtime = mtime;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::string content_;
    uint64_t reportedSize_;
    int pass_ = 0;
    size_t position_ = 0;
};

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
uint32_t U32(const Bytes& b, size_t at) { return U16(b, at) | (static_cast<uint32_t>(U16(b, at + 2)) << 16); }

// The fields of the first local header of an archive.
struct LocalHeader {
    uint16_t versionNeeded, flags, method, time, date;
    uint32_t crc, compressedSize, size;
    std::string name;
    uint16_t extraLength, firstExtraId;
};

LocalHeader FirstLocalHeader(const std::wstring& zip) {
    const Bytes b = test::ReadBytes(zip);
    EXPECT_EQ(0x04034b50u, U32(b, 0));
    LocalHeader h{U16(b, 4), U16(b, 6), U16(b, 8), U16(b, 10), U16(b, 12), U32(b, 14), U32(b, 18), U32(b, 22),
                  std::string(), U16(b, 28), 0};
    h.name.assign(b.begin() + 30, b.begin() + 30 + U16(b, 26));
    if (h.extraLength >= 2) h.firstExtraId = U16(b, 30 + h.name.size());
    return h;
}

FILETIME FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME when{year, month, 0, day, hour, minute, second, 0};
    FILETIME time{};
    EXPECT_TRUE(SystemTimeToFileTime(&when, &time));
    return time;
}

TEST(AddStreamToZip, WritesOneEncryptedDeflatedEntry) {
    test::TempDir dir;
    ScriptedStream stream("hello");
    stream.mtime = FileTimeOf(2021, 6, 15, 12, 34, 56);
    ASSERT_TRUE(AddStreamToZip(&stream, L"C:\\dir\\hello.txt", (dir / L"a.zip").c_str()));
    const LocalHeader h = FirstLocalHeader(dir / L"a.zip");
    EXPECT_EQ("dir/hello.txt", h.name);
    EXPECT_EQ(1u, h.flags);
    EXPECT_EQ(8u, h.method);
    EXPECT_EQ(0x3610a686u, h.crc);  // CRC-32 of "hello"
    EXPECT_EQ(5u, h.size);
    EXPECT_EQ(0u, h.extraLength);
    EXPECT_EQ((41u << 9) | (6u << 5) | 15u, h.date);
    EXPECT_EQ((12u << 11) | (34u << 5) | 28u, h.time);
}

TEST(AddStreamToZip, Zip64IsRequestedFromFourGibibytesLessOneByte) {
    const struct {
        uint64_t size;
        bool zip64;
    } cases[] = {{0xFFFFFFFEull, false}, {0xFFFFFFFFull, true}, {0x100000000ull, true}};
    for (const auto& c : cases) {
        test::TempDir dir;
        ScriptedStream stream("small content");
        stream.ReportSize(c.size);
        ASSERT_TRUE(AddStreamToZip(&stream, L"big.bin", (dir / L"a.zip").c_str())) << c.size;
        const LocalHeader h = FirstLocalHeader(dir / L"a.zip");
        EXPECT_EQ(c.zip64, NeedsZip64(c.size)) << c.size;
        EXPECT_EQ(c.zip64 ? 45u : 20u, h.versionNeeded) << c.size;
        EXPECT_EQ(c.zip64 ? 0x0001u : 0u, h.firstExtraId) << c.size;
        EXPECT_EQ(13u, h.size) << c.size;  // the library writes the real size back on closing
    }
}

TEST(AddStreamToZip, DosTimeOfTheModificationTime) {
    const struct {
        FILETIME mtime;
        uint16_t date, time;
    } cases[] = {
        {FileTimeOf(1980, 1, 1, 0, 0, 0), 0x0021, 0x0000},
        {FileTimeOf(2107, 12, 31, 23, 59, 58), (127u << 9) | (12u << 5) | 31u, (23u << 11) | (59u << 5) | 29u},
        {FileTimeOf(2000, 2, 29, 1, 2, 3), (20u << 9) | (2u << 5) | 29u, (1u << 11) | (2u << 5) | 1u},
        // Out of the DOS range: the earliest DOS time.
        {FILETIME{0, 0}, 0x0021, 0x0000},
        {FileTimeOf(1979, 12, 31, 23, 59, 59), 0x0021, 0x0000},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        ScriptedStream stream("x");
        stream.mtime = c.mtime;
        ASSERT_TRUE(AddStreamToZip(&stream, L"x", (dir / L"a.zip").c_str()));
        const LocalHeader h = FirstLocalHeader(dir / L"a.zip");
        EXPECT_EQ(c.date, h.date) << std::hex << c.date;
        EXPECT_EQ(c.time, h.time) << std::hex << c.time;
    }
}

TEST(AddStreamToZip, FailingStreamsFailTheAdd) {
    const std::string content(100000, 'q');
    const struct {
        const char* what;
        int failReadInPass;
        size_t failReadAt;
        bool failStat;
        bool changes;
        bool archiveWritten;
    } cases[] = {
        {"first read of the CRC pass", 1, 0, false, false, false},
        {"later read of the CRC pass", 1, 32768, false, false, false},
        {"Stat", 0, 0, true, false, false},
        {"first read of the content pass", 2, 0, false, false, true},
        {"later read of the content pass", 2, 65536, false, false, true},
        {"content changed between the passes", 0, 0, false, true, true},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        ScriptedStream stream(content);
        stream.failReadInPass = c.failReadInPass;
        stream.failReadAt = c.failReadAt;
        stream.failStat = c.failStat;
        stream.changesInSecondPass = c.changes;
        stream.secondPassContent = std::string(100000, 'r');
        EXPECT_FALSE(AddStreamToZip(&stream, L"f.txt", (dir / L"a.zip").c_str())) << c.what;
        EXPECT_EQ(c.archiveWritten, GetFileAttributesW((dir / L"a.zip").c_str()) != INVALID_FILE_ATTRIBUTES) << c.what;
    }
}

TEST(AddStreamToZip, ArchiveThatCannotBeOpenedFailsTheAdd) {
    test::TempDir dir;
    ScriptedStream stream("x");
    EXPECT_FALSE(AddStreamToZip(&stream, L"x", (dir / L"missing\\a.zip").c_str()));
    EXPECT_FALSE(AddStreamToZip(&stream, L"x", dir.path().c_str()));  // a folder
    EXPECT_FALSE(AddStreamToZip(nullptr, L"x", (dir / L"a.zip").c_str()));
    EXPECT_FALSE(AddStreamToZip(&stream, nullptr, (dir / L"a.zip").c_str()));
    EXPECT_FALSE(AddStreamToZip(&stream, L"x", nullptr));
}

TEST(AddFileToZip, ResultCodes) {
    test::TempDir dir;
    const std::wstring file = dir / L"f.txt";
    const std::wstring zip = dir / L"f.zip";
    test::WriteText(file, "content");
    EXPECT_EQ(kZipAddNullPath, AddFileToZip(nullptr, zip.c_str()));
    EXPECT_EQ(kZipAddNullPath, AddFileToZip(file.c_str(), nullptr));
    EXPECT_EQ(kZipAddFailed, AddFileToZip((dir / L"missing.txt").c_str(), zip.c_str()));
    EXPECT_EQ(kZipAddFailed, AddFileToZip(dir.path().c_str(), zip.c_str()));  // a folder opens, but does not read
    EXPECT_EQ(kZipAddFailed, AddFileToZip(file.c_str(), (dir / L"missing\\f.zip").c_str()));
    EXPECT_EQ(kZipAddOk, AddFileToZip(file.c_str(), zip.c_str()));
    EXPECT_EQ("f.txt", FirstLocalHeader(zip).name);
}

TEST(ZipEntryWriter, RaisesWithItsFixedTexts) {
    test::TempDir dir;
    zlib_filefunc64_def functions = ZipFileFunctions();
    try {
        ZipEntryWriter writer(&functions, (dir / L"missing\\a.zip").c_str(), L"x", 0x00210000, 1, 0);
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("zipOpenNewFileInZip3_64 failed.", e.what());
    }
    try {
        ZipEntryWriter writer(&functions, dir.path().c_str(), L"x", 0x00210000, 1, 0);
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("zipOpenNewFileInZip3_64 failed.", e.what());
    }
}

}  // namespace
}  // namespace vondrel
