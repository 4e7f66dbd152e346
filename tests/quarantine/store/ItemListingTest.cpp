// Listing a catalogue written by Python's sqlite3 module into the item records.
#include "quarantine/store/QuarManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

using test::TextOr;

std::wstring Padded(const std::wstring& prefix, size_t length, const std::wstring& suffix = L"") {
    return prefix + std::wstring(length - prefix.size() - suffix.size(), L'x') + suffix;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct EntryExpectation {
    uint32_t kind;
    uint32_t rootKey;
    std::wstring name;
};

void ExpectEntries(const QuarantineItem& item, const std::vector<EntryExpectation>& expected) {
    ASSERT_EQ(expected.size(), item.entryCount);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const BackupEntry& entry = *item.entries[i];
        EXPECT_EQ(sizeof(BackupEntry), entry.cbSize);
        EXPECT_EQ(expected[i].kind, entry.kind);
        EXPECT_EQ(expected[i].rootKey, entry.rootKey);
        EXPECT_EQ(expected[i].name, TextOr(entry.name));
        EXPECT_EQ(expected[i].kind == kEntryFile, entry.file != nullptr);
    }
}

void ExpectTime(const SYSTEMTIME& t, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    const WORD got[] = {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    const WORD want[] = {year, month, 0, day, hour, minute, second, 0};
    EXPECT_EQ(0, std::memcmp(want, got, sizeof want));
}

class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
        ASSERT_EQ(kStoreOk, list.Get(session.handle()));
        ASSERT_EQ(5u, list->count);
    }
    std::wstring ZipOf(const wchar_t* guid) const { return copy.folder() + L"\\quarantine\\" + guid + L".zip"; }

    test::CatalogueCopy copy{"listing"};
    test::Session session;
    test::ItemList list;
};

TEST_F(Listing, ItemWithFilesRegistryStreamsAndSeveralVersions) {
    const QuarantineItem& a = list.Item(0);
    EXPECT_EQ(sizeof(QuarantineItemList), list->cbSize);
    EXPECT_EQ(sizeof(QuarantineItem), a.cbSize);
    EXPECT_TRUE(SameGuid(test::GuidOf(test::kGuidA), a.guid));
    ExpectTime(a.creationTime, 2021, 7, 5, 9, 3, 7);
    EXPECT_EQ(3u, a.detectType);
    EXPECT_EQ(0xFFFFFFFFu, a.virusType);
    EXPECT_EQ(Padded(L"Trojan.", 259), TextOr(a.detectionName));
    ASSERT_EQ(4u, a.additionalInfoSize);
    EXPECT_EQ(0, std::memcmp("\x00\x01\xfe\xff", a.additionalInfo, 4));
    EXPECT_EQ(Padded(L"C:\\Q\\", 259, L".zip"), TextOr(a.backupPath));

    ExpectEntries(a, {
        {kEntryFile, 0, L"C:\\Users\\u\\Downloads\\bad.exe"},
        {kEntryFile, 0, L"C:\\Temp\\\u00e9-\u4e8c.dll"},
        {kEntryRegistryValue32, 0x80000002, L"SOFTWARE\\Run\\evil"},
        {kEntryRegistryKey64, 0x80000002, L"SOFTWARE\\Key\\"},  // "hklm"
        {kEntryRegistryValue64, 0x80000001, L"Environment\\v"},
        {kEntryRegistryKey32, 0x80000000, L"CLSID\\x\\"},
        {kEntryRegistryValue32, 0x80000003, L"S-1-5-18\\x\\n"},
        {kEntryRegistryKey32, 0x80000005, L"System\\"},  // "Hkcc"
        {kEntryCustomStream, 0, L"stream-one"},
        {kEntryCustomStream, 0, L"stream-two"},
    });

    const BackupFileRecord& first = *a.entries[0]->file;
    EXPECT_EQ(sizeof(BackupFileRecord), first.cbSize);
    EXPECT_EQ(123456789012u, first.size);
    EXPECT_EQ(132000000000000001u, first.createTime);
    EXPECT_EQ(132000000000000002u, first.modifyTime);
    EXPECT_EQ(132000000000000003u, first.accessTime);
    EXPECT_EQ(Padded(L"C:\\p\\", 259, L".exe"), TextOr(first.actorProcessName));
    EXPECT_EQ(1u, first.isCreated);
    EXPECT_EQ(33u, first.fileAttribute);
    const BackupFileRecord& second = *a.entries[1]->file;
    EXPECT_EQ(L"(null)", TextOr(second.actorProcessName));
    EXPECT_EQ(128u, second.fileAttribute);

    ASSERT_NE(nullptr, a.version);  // the first of two rows
    EXPECT_EQ(sizeof(BackupVersionRecord), a.version->cbSize);
    EXPECT_EQ(7u, a.version->itemId);
    EXPECT_EQ(2u, a.version->major);
    EXPECT_EQ(15u, a.version->minor);
    EXPECT_EQ(637600000000000000u, a.version->creationDate);
    EXPECT_EQ(L"engine 2.15", TextOr(a.version->additional));
}

TEST_F(Listing, RegistryOnlyItemGetsItsZipPathAndLongNamesAreDropped) {
    const QuarantineItem& b = list.Item(1);
    EXPECT_TRUE(SameGuid(test::GuidOf(test::kGuidB), b.guid));
    EXPECT_EQ(ZipOf(test::kGuidB), TextOr(b.backupPath));
    ExpectEntries(b, {{kEntryRegistryValue64, 0x80000002, L"SOFTWARE\\B\\val"}});
    EXPECT_EQ(L"(null)", TextOr(b.detectionName));  // 260 characters
    ExpectTime(b.creationTime, 2021, 0, 0, 0, 0, 0);  // "2021/07/05 09:03:07"
    EXPECT_EQ(0u, b.additionalInfoSize);
    EXPECT_EQ(nullptr, b.additionalInfo);
}

TEST_F(Listing, ValuesOfTheWrongStorageTypeReadAsZeroOrAbsent) {
    const QuarantineItem& c = list.Item(2);
    EXPECT_EQ(0u, c.detectType);  // text
    EXPECT_EQ(0u, c.virusType);   // real
    EXPECT_EQ(nullptr, c.detectionName);
    EXPECT_EQ(0u, c.additionalInfoSize);  // text, not a blob
    EXPECT_EQ(nullptr, c.additionalInfo);
    EXPECT_EQ(ZipOf(test::kGuidC), TextOr(c.backupPath));  // backupFilename of 260 characters
    ExpectEntries(c, {{kEntryFile, 0, Padded(L"C:\\long\\", 300, L".txt")}});
    const BackupFileRecord& file = *c.entries[0]->file;
    EXPECT_EQ(0u, file.size);
    EXPECT_EQ(0u, file.createTime);
    EXPECT_EQ(0u, file.modifyTime);
    EXPECT_EQ(0u, file.accessTime);
    EXPECT_EQ(nullptr, file.actorProcessName);
    EXPECT_EQ(1u, file.isCreated);
    EXPECT_EQ(0u, file.fileAttribute);
    ASSERT_NE(nullptr, c.version);
    EXPECT_EQ(0u, c.version->itemId);
    EXPECT_EQ(1u, c.version->major);
    EXPECT_EQ(2u, c.version->minor);
    EXPECT_EQ(0u, c.version->creationDate);
    EXPECT_EQ(L"", TextOr(c.version->additional));
}

TEST_F(Listing, UpperCaseGuidTextParsesButItsRowsAreNotFound) {
    const QuarantineItem& d = list.Item(3);
    EXPECT_TRUE(SameGuid(test::GuidOf(test::kGuidDUpper), d.guid));
    EXPECT_EQ(0u, d.entryCount);
    EXPECT_EQ(nullptr, d.entries);
    EXPECT_EQ(ZipOf(L"e5f6a7b8-1111-4222-8333-dddddddddddd"), TextOr(d.backupPath));
    ASSERT_NE(nullptr, d.version);  // its version row is stored in lower case
}

TEST_F(Listing, CustomStreamsOnly) {
    const QuarantineItem& e = list.Item(4);
    ExpectTime(e.creationTime, 2022, 12, 31, 23, 59, 58);
    ExpectEntries(e, {{kEntryCustomStream, 0, L"only-stream"}});
    EXPECT_EQ(ZipOf(test::kGuidE), TextOr(e.backupPath));
}

TEST_F(Listing, ListsAgainAndOutlivesTheSession) {
    test::ItemList again;
    ASSERT_EQ(kStoreOk, again.Get(session.handle()));
    EXPECT_EQ(5u, again->count);
    session.Release();
    EXPECT_EQ(L"engine 2.15", TextOr(list.Item(0).version->additional));
    EXPECT_EQ(L"stream-two", TextOr(again.Item(0).entries[9]->name));
}

TEST(GetItems, FailsWholeWhenAnItemHasNoVersionRow) {
    test::CatalogueCopy copy("noversion");
    test::Session session;
    ASSERT_EQ(kStoreOk, session.Open(copy.folder()));
    test::ItemList list;
    EXPECT_EQ(kStoreNothingFound, list.Get(session.handle()));
    EXPECT_EQ(nullptr, list.get());
}

TEST(ItemZipPath, AddsASeparatorOnlyWhenNeeded) {
    const GUID guid = test::GuidOf(test::kGuidA);
    const std::wstring tail = std::wstring(L"quarantine\\") + test::kGuidA + L".zip";
    EXPECT_EQ(L"C:\\Q\\" + tail, ItemZipPath(L"C:\\Q", guid));
    EXPECT_EQ(L"C:\\Q\\" + tail, ItemZipPath(L"C:\\Q\\", guid));
    EXPECT_EQ(L"C:\\Q/" + tail, ItemZipPath(L"C:\\Q/", guid));
}

}  // namespace
}  // namespace vondrel
