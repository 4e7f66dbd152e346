// The MD5 (RFC 1321) and SHA-256 (FIPS 180-4) digests of the files the tool writes back, computed in
// one pass over the file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vondrel {

class CMD5 {
public:
    static constexpr size_t kDigestSize = 16;

    CMD5() { Init(); }
    void Init();
    void Update(const void* data, size_t size);
    // Pads, writes the digest and leaves the object to be Init()ed again.
    void Final(uint8_t digest[kDigestSize]);

private:
    uint32_t state_[4];
    uint64_t length_;  // bytes fed so far
    uint8_t buffer_[64];
};

class SHA256 {
public:
    static constexpr size_t kDigestSize = 32;

    SHA256() { Init(); }
    void Init();
    void Update(const void* data, size_t size);
    void Final(uint8_t digest[kDigestSize]);

private:
    uint32_t state_[8];
    uint64_t length_;
    uint8_t buffer_[64];
};

// Written in place of a digest that was not computed.
constexpr const wchar_t* kDigestUnavailable = L"N/A";

// Lower-case hexadecimal, two digits per byte, in byte order.
std::wstring HexText(const uint8_t* bytes, size_t size);

// The two digests of an open file as hexadecimal text, read from its start in large blocks that feed
// both digests. A file whose size cannot be read or is 0, or whose content cannot be read
// to its end, gets "N/A" for both and false.
bool ComputeFileDigests(HANDLE file, std::wstring& md5, std::wstring& sha256);

}  // namespace vondrel
