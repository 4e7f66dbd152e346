// Extraction from encrypted backups that Info-ZIP made (the fixture step make_backups.py).
#include "packaging/ZipReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Handles.h"
#include "packaging/FileWriter.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using Bytes = std::vector<uint8_t>;

std::wstring Backup(const std::wstring& name) { return test::FixtureDir("packaging_backups") + L"\\" + name; }

Bytes Expected(const std::wstring& name) { return test::ReadBytes(Backup(L"expected\\" + name)); }

std::wstring Utf8Name(const char* utf8) {
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    return wide;
}

// Records how the reader drives its sink.
class RecordingWriter : public FileWriter {
public:
    explicit RecordingWriter(bool opens = true, size_t refuseAfter = SIZE_MAX) : opens_(opens), refuseAfter_(refuseAfter) {}
    bool Open() override {
        ++opens;
        return opens_;
    }
    void Close() override { ++closes; }
    bool Write(const void* buffer, DWORD length) override {
        ++writes;
        if (writes > refuseAfter_) return false;
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        content.insert(content.end(), bytes, bytes + length);
        return true;
    }

    int opens = 0;
    int closes = 0;
    size_t writes = 0;
    Bytes content;

private:
    bool opens_;
    size_t refuseAfter_;
};

Bytes StreamBytes(IStream* stream) {
    STATSTG stat{};
    EXPECT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
    HGLOBAL memory = nullptr;
    EXPECT_EQ(S_OK, GetHGlobalFromStream(stream, &memory));
    const auto* bytes = static_cast<const uint8_t*>(GlobalLock(memory));
    Bytes copy(bytes, bytes + stat.cbSize.QuadPart);
    GlobalUnlock(memory);
    return copy;
}

struct Entry {
    const char* requested;  // UTF-8
    const wchar_t* expected;
};

const Entry kEntries[] = {
    {"Users/a/doc.txt", L"doc.txt"},
    {"Windows/System32/drivers/x.sys", L"x.sys"},
    {"Users/a/big.log", L"big.log"},
    {"Users/a/empty.txt", L"empty.txt"},
    {"Users/\xc3\x84rger/\xc3\x96lfa\xc3\x9f.txt", L"umlaut.txt"},
};

TEST(CopyFromZIPFile, ExtractsEveryEntryByteExactIntoANewFile) {
    test::TempDir dir;
    for (const Entry& e : kEntries) {
        const std::wstring destination = dir / e.expected;
        WinIOWriter writer(destination.c_str());
        ASSERT_TRUE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), Utf8Name(e.requested).c_str(), writer)) << e.requested;
        EXPECT_EQ(Expected(e.expected), test::ReadBytes(destination)) << e.requested;
    }
}

TEST(CopyFromZIPFile, ExtractsEveryEntryByteExactIntoAMemoryStream) {
    for (const Entry& e : kEntries) {
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.put()));
        IStreamWriter writer(stream.get());
        ASSERT_TRUE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), Utf8Name(e.requested).c_str(), writer)) << e.requested;
        EXPECT_EQ(Expected(e.expected), StreamBytes(stream.get())) << e.requested;
    }
}

TEST(CopyFromZIPFile, RequestedNamesMatchAcrossCaseAndSeparators) {
    const struct {
        const char* requested;
        const wchar_t* expected;
    } cases[] = {
        {"users/A/DOC.TXT", L"doc.txt"},
        {"Users\\a\\doc.txt", L"doc.txt"},
        {"windows/system32/drivers/X.SYS", L"x.sys"},
        {"users/\xc3\xa4rger/\xc3\xb6lfa\xc3\x9f.TXT", L"umlaut.txt"},     // small letters for capitals
        {"USERS\\\xc3\x84RGER\\\xc3\x96LFA\xc3\x9f.txt", L"umlaut.txt"},  // and "\" after the first non-ASCII byte
    };
    for (const auto& c : cases) {
        RecordingWriter writer;
        EXPECT_TRUE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), Utf8Name(c.requested).c_str(), writer)) << c.requested;
        EXPECT_EQ(Expected(c.expected), writer.content) << c.requested;
    }
}

TEST(CopyFromZIPFile, OtherNamesAreNotFoundAndTheSinkIsNeverOpened) {
    const char* names[] = {
        "Users/a/doc.tx", "Users/a/doc.txt.bak", "Users/a", "", "a/doc.txt",
        "Users/\xc3\x84rger/\xc3\x96lfa\xc3\x9f.tx", "Users/\xc3\x84rger/\xc3\x96lfa\xc3\x9f.txt2",
    };
    for (const char* name : names) {
        RecordingWriter writer;
        EXPECT_FALSE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), Utf8Name(name).c_str(), writer)) << name;
        EXPECT_EQ(0, writer.opens) << name;
    }
}

TEST(CopyFromZIPFile, ExistingDestinationFailsBeforeAnyContentIsRead) {
    test::TempDir dir;
    const std::wstring destination = dir / L"doc.txt";
    test::WriteText(destination, "keep me");
    WinIOWriter writer(destination.c_str());
    EXPECT_FALSE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), L"Users/a/doc.txt", writer));
    EXPECT_EQ("keep me", test::ReadText(destination));

    RecordingWriter refusing(false);
    EXPECT_FALSE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), L"Users/a/doc.txt", refusing));
    EXPECT_EQ(1, refusing.opens);
    EXPECT_EQ(0u, refusing.writes);
    EXPECT_EQ(0, refusing.closes);
}

TEST(CopyFromZIPFile, EmptyEntryOpensAndClosesTheSinkWithoutWriting) {
    RecordingWriter writer;
    EXPECT_TRUE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), L"Users/a/empty.txt", writer));
    EXPECT_EQ(1, writer.opens);
    EXPECT_EQ(0u, writer.writes);
    EXPECT_EQ(1, writer.closes);
}

TEST(CopyFromZIPFile, RefusedBlockFailsAndStillClosesTheSink) {
    RecordingWriter writer(true, 1);
    EXPECT_FALSE(CopyFromZIPFile(Backup(L"backup.zip").c_str(), L"Users/a/big.log", writer));
    EXPECT_EQ(2u, writer.writes);
    EXPECT_EQ(1, writer.closes);
}

TEST(CopyFromZIPFile, DamagedForeignOrMissingArchivesFail) {
    const struct {
        const wchar_t* archive;
        const wchar_t* entry;
    } cases[] = {
        {L"bad_crc.zip", L"Users/a/doc.txt"},                // inflates cleanly, CRC does not match
        {L"corrupt.zip", L"Users/a/big.log"},                // compressed data damaged
        {L"short_stream.zip", L"Users/a/big.log"},           // stream ends before the stated size
        {L"wrong_password.zip", L"Users/a/big.log"},         // another password
        {L"stored_wrong_password.zip", L"Users/a/doc.txt"},  // another password, nothing to inflate
        {L"plain.zip", L"Users/a/doc.txt"},                  // not encrypted at all
        {L"no_entries.zip", L"Users/a/doc.txt"},
        {L"not_a_zip.zip", L"Users/a/doc.txt"},
        {L"missing.zip", L"Users/a/doc.txt"},
    };
    for (const auto& c : cases) {
        RecordingWriter writer;
        EXPECT_FALSE(CopyFromZIPFile(Backup(c.archive).c_str(), c.entry, writer)) << c.archive;
        EXPECT_EQ(writer.opens, writer.closes) << c.archive;
    }
    RecordingWriter intact;
    EXPECT_TRUE(CopyFromZIPFile(Backup(L"bad_crc.zip").c_str(), L"Users/a/big.log", intact));
}

}  // namespace
}  // namespace vondrel
