// catalogue_bench <folder> <runs> [snapshot]: times OpenBackup + GetItems + FreeItems on one catalogue,
// once per run (the session is released outside the timed part), and prints one line per run and the
// median. With "snapshot" the listing runs inside one read transaction on the session's connection,
// which shows what the per-statement locking of the file costs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "quarantine/store/QuarManager.h"

namespace {

using namespace vondrel;

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One timed listing; false when the store failed.
bool TimeOneListing(const wchar_t* folder, bool snapshot, double* seconds, uint32_t* items) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    QuarantineHandle handle = 0;
    const uint32_t opened = OpenBackup(folder, &handle);
    if (opened != kStoreOk) {
        std::printf("OpenBackup failed: %u\n", opened);
        return false;
    }
    StoreLockHolder lock;
    ISQLInterface& connection = *SessionFromHandle(handle)->connection;
    if (snapshot) connection.Execute(L"BEGIN;");
    QuarantineItemList* list = nullptr;
    const uint32_t listed = GetItems(handle, &list);
    if (snapshot) connection.Execute(L"COMMIT;");
    *items = list ? list->count : 0;
    FreeItems(list);
    QueryPerformanceCounter(&end);
    ReleaseBackup(handle);
    if (listed != kStoreOk) {
        std::printf("GetItems failed: %u\n", listed);
        return false;
    }
    *seconds = Seconds(start, end);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: catalogue_bench <folder> <runs> [snapshot]\n");
        return 2;
    }
    const bool snapshot = argc == 4 && wcscmp(argv[3], L"snapshot") == 0;
    const int runs = std::max(1, static_cast<int>(wcstol(argv[2], nullptr, 10)));
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double seconds = 0;
        uint32_t items = 0;
        if (!TimeOneListing(argv[1], snapshot, &seconds, &items)) return 1;
        std::printf("run %d items %u seconds %.6f\n", i + 1, items, seconds);
        times.push_back(seconds);
    }
    std::sort(times.begin(), times.end());
    std::printf("median %.6f\n", times[times.size() / 2]);
    return 0;
}
