// The listing against its reference of four statements per item, over every catalogue the store
// fixtures and the hostile corpus hold: the same code, every field of every record, the same log lines.
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "quarantine/store/QuarManager.h"
#include "tests/quarantine/store/ReferenceListing.h"
#include "tests/quarantine/store/StoreFixtures.h"

namespace vondrel {
namespace {

void DescribeText(std::wostringstream& out, const wchar_t* name, const wchar_t* text) {
    out << L" " << name << L"=" << (text == nullptr ? L"(null)" : L"[" + std::wstring(text) + L"]");
}

void DescribeEntry(std::wostringstream& out, const BackupEntry& entry) {
    out << L"\n  entry cbSize=" << entry.cbSize << L" kind=" << entry.kind << L" rootKey=" << entry.rootKey;
    DescribeText(out, L"name", entry.name);
    if (entry.file == nullptr) return;
    const BackupFileRecord& f = *entry.file;
    out << L" file cbSize=" << f.cbSize << L" size=" << f.size << L" times=" << f.createTime << L"," << f.modifyTime
        << L"," << f.accessTime << L" isCreated=" << f.isCreated << L" attribute=" << f.fileAttribute;
    DescribeText(out, L"actor", f.actorProcessName);
}

void DescribeItem(std::wostringstream& out, const QuarantineItem& item) {
    const GUID& g = item.guid;
    const SYSTEMTIME& t = item.creationTime;
    out << L"\nitem cbSize=" << item.cbSize << L" guid=" << g.Data1 << L"-" << g.Data2 << L"-" << g.Data3;
    for (unsigned char b : g.Data4) out << L"." << b;
    out << L" time=" << t.wYear << L"/" << t.wMonth << L"/" << t.wDayOfWeek << L"/" << t.wDay << L" " << t.wHour
        << L":" << t.wMinute << L":" << t.wSecond << L"." << t.wMilliseconds << L" virusType=" << item.virusType
        << L" detectType=" << item.detectType;
    DescribeText(out, L"detection", item.detectionName);
    DescribeText(out, L"backupPath", item.backupPath);
    out << L" info=" << item.additionalInfoSize << L":";
    for (uint32_t i = 0; i < item.additionalInfoSize; ++i) out << static_cast<unsigned>(item.additionalInfo[i]) << L",";
    if (item.version != nullptr) {
        const BackupVersionRecord& v = *item.version;
        out << L" version cbSize=" << v.cbSize << L" itemId=" << v.itemId << L" " << v.major << L"." << v.minor
            << L" date=" << v.creationDate;
        DescribeText(out, L"additional", v.additional);
    }
    out << L" entries=" << item.entryCount;
    for (uint32_t i = 0; i < item.entryCount; ++i) DescribeEntry(out, *item.entries[i]);
}

// Everything a listing gave: its code, every record, and the log lines it wrote.
struct Listing {
    uint32_t code = 0;
    std::wstring records;
    std::vector<std::wstring> log;
    uint32_t items = 0;
};

template <typename GetItemsFunction>
Listing ListWith(GetItemsFunction getItems, QuarantineHandle handle) {
    test::LogCapture log;
    QuarantineItemList* list = nullptr;
    Listing listing;
    listing.code = getItems(handle, &list);
    listing.log = log.Lines();
    std::wostringstream out;
    if (list != nullptr) {
        out << L"list cbSize=" << list->cbSize << L" count=" << list->count;
        for (uint32_t i = 0; i < list->count; ++i) DescribeItem(out, *list->items[i]);
        listing.items = list->count;
    }
    listing.records = out.str();
    FreeItems(list);
    return listing;
}

// The catalogue folders of a fixture folder: every sub-folder with a "Quarantine.db" in it.
std::vector<std::wstring> CatalogueFolders(const std::wstring& root) {
    std::vector<std::wstring> folders;
    for (const std::wstring& name : test::NamesIn(root)) {
        if (GetFileAttributesW((root + L"\\" + name + L"\\Quarantine.db").c_str()) != INVALID_FILE_ATTRIBUTES) {
            folders.push_back(root + L"\\" + name);
        }
    }
    return folders;
}

TEST(GetItems, GivesWhatTheListingOfFourStatementsPerItemGaveOnEveryCatalogue) {
    const std::wstring fixtures = test::FixtureDir("listing_corpus");
    std::vector<std::wstring> folders = CatalogueFolders(fixtures + L"\\store");
    const std::vector<std::wstring> hostile = CatalogueFolders(fixtures + L"\\hostile");
    folders.insert(folders.end(), hostile.begin(), hostile.end());
    ASSERT_GT(hostile.size(), 40u) << "the hostile corpus's catalogues are missing";

    size_t listed = 0;
    size_t failed = 0;
    uint32_t items = 0;
    for (const std::wstring& folder : folders) {
        SCOPED_TRACE(testing::Message() << folder.c_str());
        test::TempDir dir;
        const std::wstring copy = dir / L"Quarantine";
        test::CopyTree(folder, copy);
        test::Session session;
        if (session.Open(copy) != kStoreOk) continue;
        const Listing reference = ListWith(test::GetItemsOneByOne, session.handle());
        const Listing grouped = ListWith(GetItems, session.handle());
        EXPECT_EQ(grouped.code, reference.code);
        EXPECT_EQ(grouped.records, reference.records);
        EXPECT_EQ(grouped.log, reference.log);
        ++(reference.code == kStoreOk ? listed : failed);
        items += reference.items;
    }
    // The comparison reached listings of both outcomes and a good many records.
    EXPECT_GT(listed, 40u);
    EXPECT_GT(failed, 3u);
    EXPECT_GT(items, 100u);
}

}  // namespace
}  // namespace vondrel
