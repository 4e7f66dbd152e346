// Digests one file with ComputeFileDigests and prints "md5 sha256 elapsed-seconds thread-seconds path"
// (the call's own time, without Wine's start-up; the SHA-256 transform this processor ran): the
// benchmark's driver.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "driver/Digests.h"
#include "driver/Sha256Transforms.h"
#include "base/Handles.h"
#include "base/PathRules.h"

namespace {

// User and kernel time of this thread.
double ThreadSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0.0;
    const auto ticks = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return double(ticks(kernel) + ticks(user)) / 1e7;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: digest_tool FILE\n");
        return 2;
    }
    vondrel::UniqueFile file(vondrel::CreateFileExtended(argv[1], GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                                         FILE_ATTRIBUTE_NORMAL));
    if (!file) {
        std::fprintf(stderr, "cannot open the file: %lu\n", GetLastError());
        return 1;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const double cpuBefore = ThreadSeconds();
    QueryPerformanceCounter(&start);
    std::wstring md5, sha256;
    const bool computed = vondrel::ComputeFileDigests(file.get(), md5, sha256);
    QueryPerformanceCounter(&end);
    const double cpu = ThreadSeconds() - cpuBefore;
    std::printf("%ls %ls %.3f %.3f %s\n", md5.c_str(), sha256.c_str(),
                double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart), cpu,
                vondrel::sha256::ChosenTransformName());
    return computed ? 0 : 1;
}
