// make_bup OUT DETAILS [CONTENT...]: writes a legacy backup file OUT whose "Details" stream holds the
// bytes of the file DETAILS ("-" for no "Details" stream) and whose "File_0", "File_1", ... streams
// hold the bytes of the CONTENT files, all scrambled. Exit code 0 on success, 2 on bad arguments, 1
// on failure (the reason on stderr).
#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/BupWriter.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr const wchar_t* kNoDetails = L"-";

std::vector<vondrel::test::BupStream> StreamsFromArguments(int argc, wchar_t** argv) {
    std::vector<std::vector<uint8_t>> contents;
    for (int i = 3; i < argc; ++i) contents.push_back(vondrel::test::ReadBytes(argv[i]));
    bool noDetails = std::wstring(argv[2]) == kNoDetails;
    std::vector<uint8_t> details = noDetails ? std::vector<uint8_t>() : vondrel::test::ReadBytes(argv[2]);
    std::vector<vondrel::test::BupStream> streams =
        vondrel::test::BupStreams(std::string(details.begin(), details.end()), contents);
    if (noDetails) streams.erase(streams.begin());
    return streams;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: make_bup OUT DETAILS|- [CONTENT...]\n", stderr);
        return 2;
    }
    try {
        vondrel::test::WriteBupFile(argv[1], StreamsFromArguments(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_bup: %s\n", e.what());
        return 1;
    }
    return 0;
}
