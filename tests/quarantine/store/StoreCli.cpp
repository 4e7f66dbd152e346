// store_cli open <folder>          prints OpenBackup's code (the session is released again)
// store_cli remove <folder> <guid> prints RemoveItem's code for the item (after a successful open)
// store_cli list <folder>          prints one line per item: guid text, entry count, backup path
#include <cstdio>
#include <string>

#include "quarantine/store/QuarManager.h"
#include "quarantine/store/QuarantineDatabase.h"

namespace {

using namespace vondrel;

void PrintLine(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) bytes += c < 0x80 ? static_cast<char>(c) : '?';
    std::printf("%s\n", bytes.c_str());
}

int Usage() {
    std::fprintf(stderr, "usage: store_cli open|list <folder> | remove <folder> <guid>\n");
    return 2;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    const std::wstring command = argv[1];
    QuarantineHandle handle = 0;
    const uint32_t opened = OpenBackup(argv[2], &handle);
    if (command == L"open") {
        PrintLine(std::to_wstring(opened));
    } else if (command == L"remove" && argc == 4 && opened == kStoreOk) {
        StoreLockHolder lock;
        const GUID guid = GuidFromText(argv[3]);
        PrintLine(std::to_wstring(RemoveItem(*SessionFromHandle(handle), &guid)));
    } else if (command == L"list" && opened == kStoreOk) {
        StoreLockHolder lock;
        QuarantineItemList* list = nullptr;
        const uint32_t code = GetItems(handle, &list);
        PrintLine(L"code " + std::to_wstring(code));
        for (uint32_t i = 0; list != nullptr && i < list->count; ++i) {
            const QuarantineItem& item = *list->items[i];
            PrintLine(GuidToText(item.guid) + L" " + std::to_wstring(item.entryCount) + L" " +
                      (item.backupPath ? item.backupPath : L"-"));
        }
        FreeItems(list);
    } else {
        PrintLine(L"open " + std::to_wstring(opened));
        return 1;
    }
    StoreLockHolder lock;
    ReleaseBackup(handle);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return Run(argc, argv); }
