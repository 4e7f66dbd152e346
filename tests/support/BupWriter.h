// Writes legacy backup files the way the anti-malware product does: a compound file made straight
// through the platform's structured storage, every stream scrambled by this helper's own code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vondrel::test {

struct BupStream {
    std::wstring name;
    std::vector<uint8_t> bytes;  // as they should read after descrambling
};

// The streams of a usual backup: "Details" with the given text, then "File_0", "File_1", ...
std::vector<BupStream> BupStreams(const std::string& details, const std::vector<std::vector<uint8_t>>& contents);

// Creates (or replaces) the compound file at path holding the streams in the root storage, each
// XORed with 0xA7. Throws std::runtime_error naming the call that failed.
void WriteBupFile(const std::wstring& path, const std::vector<BupStream>& streams);

}  // namespace vondrel::test
