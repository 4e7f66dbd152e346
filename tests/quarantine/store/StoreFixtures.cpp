#include "tests/quarantine/store/StoreFixtures.h"

#include <objbase.h>

#include <stdexcept>

#include "base/Handles.h"

namespace vondrel::test {

std::wstring CatalogueFixture(const std::string& name) { return FixtureDir("store") + L"\\" + std::wstring(name.begin(), name.end()); }

std::wstring LegacyBackupPath() { return CatalogueFixture("legacy") + L"\\item.bup"; }

void CopyTree(const std::wstring& from, const std::wstring& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw std::runtime_error("cannot create a copy folder");
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((from + L"\\*").c_str(), &data));
    if (!find) throw std::runtime_error("fixture folder missing: run the store_catalogues set-up");
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CopyTree(from + L"\\" + name, to + L"\\" + name);
        } else if (!CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE)) {
            throw std::runtime_error("cannot copy a fixture file");
        }
    } while (FindNextFileW(find.get(), &data));
}

CatalogueCopy::CatalogueCopy(const std::string& name) : folder_(dir_ / L"Quarantine") {
    CopyTree(CatalogueFixture(name), folder_);
}

Session::~Session() { Release(); }

uint32_t Session::Open(const std::wstring& folder) {
    Release();
    return OpenBackup(folder.c_str(), &handle_);
}

QuarManager& Session::manager() const {
    StoreLockHolder lock;
    QuarManager* session = SessionFromHandle(handle_);
    if (session == nullptr) throw std::runtime_error("no open session");
    return *session;
}

void Session::Release() {
    if (handle_ == 0) return;
    StoreLockHolder lock;
    ReleaseBackup(handle_);
    handle_ = 0;
}

uint32_t ItemList::Get(QuarantineHandle handle) {
    FreeItems(list_);
    list_ = nullptr;
    StoreLockHolder lock;
    return GetItems(handle, &list_);
}

std::wstring FolderOfLength(const TempDir& dir, size_t length) {
    std::wstring folder = dir.path() + L"\\";
    folder.append(length - folder.size(), L'q');
    return folder;
}

GUID GuidOf(const wchar_t* text) {
    // The system's own parser, independent of the store's.
    GUID guid{};
    const std::wstring braced = L"{" + std::wstring(text) + L"}";
    if (FAILED(CLSIDFromString(braced.c_str(), &guid))) throw std::runtime_error("not a GUID text");
    return guid;
}

std::wstring TextOr(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(L"(null)"); }

}  // namespace vondrel::test
