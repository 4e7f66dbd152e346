// What the store tests share: the GUIDs and paths of the catalogues make_catalogues.py writes, copies of
// those catalogues to work on, and a session that ends itself.
#pragma once

#include <windows.h>

#include <string>

#include "quarantine/store/QuarManager.h"
#include "tests/support/TestSupport.h"

namespace vondrel::test {

constexpr const wchar_t* kGuidA = L"3f2504e0-4f89-11d3-9a0c-0305e82c3301";
constexpr const wchar_t* kGuidB = L"7c9e6679-7425-40de-944b-e07fc1f90ae7";
constexpr const wchar_t* kGuidC = L"a1b2c3d4-0000-4000-8000-00000000000c";
constexpr const wchar_t* kGuidDUpper = L"E5F6A7B8-1111-4222-8333-DDDDDDDDDDDD";
constexpr const wchar_t* kGuidE = L"0000000e-0000-0000-0000-00000000000e";
constexpr const wchar_t* kGuidR1 = L"10000000-0000-0000-0000-000000000001";
constexpr const wchar_t* kGuidR2 = L"20000000-0000-0000-0000-000000000002";
constexpr const wchar_t* kGuidR3 = L"30000000-0000-0000-0000-000000000003";
constexpr const wchar_t* kGuidR4 = L"40000000-0000-0000-0000-000000000004";
constexpr const wchar_t* kGuidR5 = L"50000000-0000-0000-0000-000000000005";

// A catalogue folder made by the Linux-side set-up: fixtures/store/<name>.
std::wstring CatalogueFixture(const std::string& name);

// The legacy backup file that the removal catalogue's second item names (absent until a test writes it).
std::wstring LegacyBackupPath();

// A copy of a fixture folder (with its sub-folders) inside a fresh temporary folder.
class CatalogueCopy {
public:
    explicit CatalogueCopy(const std::string& name);
    const std::wstring& folder() const { return folder_; }

private:
    TempDir dir_;
    std::wstring folder_;
};

void CopyTree(const std::wstring& from, const std::wstring& to);

// A store session released (under the store lock) when it goes.
class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    uint32_t Open(const std::wstring& folder);
    QuarantineHandle handle() const { return handle_; }
    QuarManager& manager() const;
    void Release();

private:
    QuarantineHandle handle_ = 0;
};

// An item list freed when it goes.
class ItemList {
public:
    ItemList() = default;
    ~ItemList() { FreeItems(list_); }
    ItemList(const ItemList&) = delete;
    ItemList& operator=(const ItemList&) = delete;

    uint32_t Get(QuarantineHandle handle);
    QuarantineItemList* get() const { return list_; }
    QuarantineItemList* operator->() const { return list_; }
    const QuarantineItem& Item(uint32_t index) const { return *list_->items[index]; }

private:
    QuarantineItemList* list_ = nullptr;
};

// A folder path of exactly `length` characters inside `dir` (the folder itself is not made).
std::wstring FolderOfLength(const TempDir& dir, size_t length);

GUID GuidOf(const wchar_t* text);
// The record's text, "(null)" when absent, so comparisons show what came back.
std::wstring TextOr(const wchar_t* text);

}  // namespace vondrel::test
