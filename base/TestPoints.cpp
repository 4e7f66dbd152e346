// The test build's side of the test points. A test names one point and which arrival at it counts
// ("file-packed:2") in VONDREL_TEST_POINT, and a folder in VONDREL_TEST_POINT_DIR. On that arrival the
// program writes "reached" into the folder (holding the point as given) and then waits until the test
// kills it or creates "release" there. Compiled into the test build only.
#include "base/TestPoints.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "base/Handles.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kPointVariable = L"VONDREL_TEST_POINT";
constexpr const wchar_t* kFolderVariable = L"VONDREL_TEST_POINT_DIR";
constexpr const wchar_t* kReachedFile = L"\\reached";
constexpr const wchar_t* kReachedPartFile = L"\\reached.part";
constexpr const wchar_t* kReleaseFile = L"\\release";
constexpr DWORD kReleasePollMilliseconds = 5;

constexpr const wchar_t* kPointNames[] = {L"file-restored", L"file-packed", L"request-sent", L"cache-written",
                                          L"archive-recorded"};

std::wstring Variable(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, sizeof value / sizeof value[0]);
    if (length == 0 || length >= sizeof value / sizeof value[0]) return std::wstring();
    return std::wstring(value, length);
}

struct Request {
    std::wstring point;  // "name:count" as given, for the reached file
    int index = -1;      // into kPointNames; -1 when no point was asked for
    unsigned long count = 1;
    std::wstring folder;
};

Request ReadRequest() {
    Request request;
    request.point = Variable(kPointVariable);
    request.folder = Variable(kFolderVariable);
    if (request.point.empty() || request.folder.empty()) return request;
    const size_t colon = request.point.find(L':');
    const std::wstring name = request.point.substr(0, colon);
    if (colon != std::wstring::npos) request.count = std::wcstoul(request.point.c_str() + colon + 1, nullptr, 10);
    for (int i = 0; i < static_cast<int>(sizeof kPointNames / sizeof kPointNames[0]); ++i) {
        if (name == kPointNames[i]) request.index = i;
    }
    return request;
}

// Written beside its name and moved there, so that the test never reads it half written.
void SignalReached(const Request& request) {
    const std::wstring part = request.folder + kReachedPartFile;
    {
        UniqueFile file(CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file) return;
        DWORD written = 0;
        WriteFile(file.get(), request.point.data(), static_cast<DWORD>(request.point.size() * sizeof(wchar_t)),
                  &written, nullptr);
    }
    MoveFileW(part.c_str(), (request.folder + kReachedFile).c_str());
}

void WaitForRelease(const Request& request) {
    const std::wstring release = request.folder + kReleaseFile;
    while (GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(kReleasePollMilliseconds);
}

}  // namespace

void ReachTestPoint(TestPoint point) {
    static const Request request = ReadRequest();
    static unsigned long arrivals = 0;
    if (request.index != static_cast<int>(point)) return;
    if (++arrivals != request.count) return;
    SignalReached(request);
    WaitForRelease(request);
}

}  // namespace vondrel
