#include "driver/Digests.h"

#include <cpuid.h>

#include <cstring>
#include <memory>

#include "driver/Sha256Transforms.h"

namespace vondrel {
namespace {

// Large reads: each ReadFile is a system call (under Wine a round trip as well), and the transforms
// are fastest on long runs of blocks.
constexpr DWORD kDigestBlockSize = 256 * 1024;

uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Byte by byte, which the compiler turns into one load (and a byte swap).
uint32_t LoadLittleEndian(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t LoadBigEndian(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void StoreLittleEndian(uint32_t v, uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void StoreBigEndian(uint32_t v, uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Feeds bytes through a 64-byte block buffer: both digests share the Merkle-Damgard framing. Whole
// blocks of the input go to the transform in place, as many at a time as there are.
template <typename Transform>
void FeedBlocks(uint8_t buffer[64], uint64_t& length, const void* data, size_t size, Transform transform) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = size_t(length % 64);
    length += size;
    if (used != 0) {
        const size_t take = size < 64 - used ? size : 64 - used;
        std::memcpy(buffer + used, in, take);
        in += take;
        size -= take;
        if (used + take < 64) return;
        transform(buffer, 1);
    }
    const size_t blocks = size / 64;
    if (blocks != 0) transform(in, blocks);
    in += 64 * blocks;
    std::memcpy(buffer, in, size % 64);
}

// The closing padding: 0x80, zeros up to 56 mod 64, then the bit length in 8 bytes.
template <typename Transform>
void PadBlocks(uint8_t buffer[64], uint64_t length, bool bigEndianLength, Transform transform) {
    size_t used = size_t(length % 64);
    buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer + used, 0, 64 - used);
        transform(buffer, 1);
        used = 0;
    }
    std::memset(buffer + used, 0, 56 - used);
    const uint64_t bits = length * 8;
    for (int i = 0; i < 8; ++i) {
        const int shift = bigEndianLength ? 56 - 8 * i : 8 * i;
        buffer[56 + i] = uint8_t(bits >> shift);
    }
    transform(buffer, 1);
}

// MD5 per-round shift amounts and sine-derived constants (RFC 1321, 3.4).
constexpr int kMd5Shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// The four MD5 rounds of 16 steps: each its own mixing function and order of the message words.
struct Md5RoundF {
    static constexpr int kFirst = 0;
    static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
    static constexpr int Word(int i) { return i % 16; }
};
struct Md5RoundG {
    static constexpr int kFirst = 16;
    // (d & b) | (~d & c), added rather than or-ed: the two halves never share a bit, and only d & b
    // waits for b, the newest word.
    static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return (~d & c) + (d & b); }
    static constexpr int Word(int i) { return (5 * i + 1) % 16; }
};
struct Md5RoundH {
    static constexpr int kFirst = 32;
    static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
    static constexpr int Word(int i) { return (3 * i + 5) % 16; }
};
struct Md5RoundI {
    static constexpr int kFirst = 48;
    static uint32_t Mix(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }
    static constexpr int Word(int i) { return (7 * i) % 16; }
};

template <typename Round>
[[gnu::always_inline]] inline void Md5Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, const uint8_t* block,
                                           int i) {
    // b, the newest word, joins last.
    a = b + RotateLeft(a + kMd5Sine[i] + LoadLittleEndian(block + 4 * Round::Word(i)) + Round::Mix(b, c, d),
                       kMd5Shift[i]);
}

// Unrolled and inlined, so that every constant, shift and word offset is fixed and the state stays in
// registers.
template <typename Round>
[[gnu::always_inline]] inline void Md5Round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d,
                                            const uint8_t* block) {
#pragma GCC unroll 4
    for (int i = Round::kFirst; i < Round::kFirst + 16; i += 4) {
        Md5Step<Round>(a, b, c, d, block, i);
        Md5Step<Round>(d, a, b, c, block, i + 1);
        Md5Step<Round>(c, d, a, b, block, i + 2);
        Md5Step<Round>(b, c, d, a, block, i + 3);
    }
}

void Md5Transform(uint32_t state[4], const uint8_t* blocks, size_t count) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count != 0; --count, blocks += 64) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        Md5Round<Md5RoundF>(a, b, c, d, blocks);
        Md5Round<Md5RoundG>(a, b, c, d, blocks);
        Md5Round<Md5RoundH>(a, b, c, d, blocks);
        Md5Round<Md5RoundI>(a, b, c, d, blocks);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

// One round, written for its caller to rotate the names instead of moving eight words: only d and h
// change (d becomes the next e, h the next a).
void Sha256Round(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                 uint32_t constantPlusWord) {
    const uint32_t choose = g ^ (e & (f ^ g));
    const uint32_t majority = (a & b) | (c & (a | b));
    const uint32_t t1 =
        h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) + choose + constantPlusWord;
    const uint32_t t2 = (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) + majority;
    d += t1;
    h = t1 + t2;
}

// The schedule word for round i, kept in a ring of 16: from round 16 on it is made from the words of
// rounds i - 16, i - 15, i - 7 and i - 2.
[[gnu::always_inline]] inline uint32_t ScheduleWord(uint32_t w[16], int i) {
    if (i < 16) return w[i];
    const uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
    const uint32_t s0 = RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3);
    const uint32_t s1 = RotateRight(w2, 17) ^ RotateRight(w2, 19) ^ (w2 >> 10);
    return w[i & 15] += s0 + w[(i - 7) & 15] + s1;
}

void Sha256Block(uint32_t state[8], const uint8_t block[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    // Fully unrolled, so that every ring index is fixed.
#pragma GCC unroll 8
    for (int i = 0; i < 64; i += 8) {
        Sha256Round(a, b, c, d, e, f, g, h, sha256::kRound[i] + ScheduleWord(w, i));
        Sha256Round(h, a, b, c, d, e, f, g, sha256::kRound[i + 1] + ScheduleWord(w, i + 1));
        Sha256Round(g, h, a, b, c, d, e, f, sha256::kRound[i + 2] + ScheduleWord(w, i + 2));
        Sha256Round(f, g, h, a, b, c, d, e, sha256::kRound[i + 3] + ScheduleWord(w, i + 3));
        Sha256Round(e, f, g, h, a, b, c, d, sha256::kRound[i + 4] + ScheduleWord(w, i + 4));
        Sha256Round(d, e, f, g, h, a, b, c, sha256::kRound[i + 5] + ScheduleWord(w, i + 5));
        Sha256Round(c, d, e, f, g, h, a, b, sha256::kRound[i + 6] + ScheduleWord(w, i + 6));
        Sha256Round(b, c, d, e, f, g, h, a, sha256::kRound[i + 7] + ScheduleWord(w, i + 7));
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

namespace sha256 {

void TransformPortable(uint32_t state[8], const uint8_t* blocks, size_t count) {
    for (; count != 0; --count, blocks += 64) Sha256Block(state, blocks);
}

bool ShaExtensionsAvailable() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    if ((ecx & bit_SSSE3) == 0 || (ecx & bit_SSE4_1) == 0) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & bit_SHA) != 0;
}

Transform ChosenTransform() {
    static const Transform chosen = ShaExtensionsAvailable() ? TransformAccelerated : TransformPortable;
    return chosen;
}

const char* ChosenTransformName() {
    return ChosenTransform() == TransformAccelerated ? "SHA extensions" : "portable";
}

}  // namespace sha256

void CMD5::Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    length_ = 0;
}

void CMD5::Update(const void* data, size_t size) {
    FeedBlocks(buffer_, length_, data, size,
               [this](const uint8_t* blocks, size_t count) { Md5Transform(state_, blocks, count); });
}

void CMD5::Final(uint8_t digest[kDigestSize]) {
    PadBlocks(buffer_, length_, false,
              [this](const uint8_t* blocks, size_t count) { Md5Transform(state_, blocks, count); });
    for (int i = 0; i < 4; ++i) StoreLittleEndian(state_[i], digest + 4 * i);
    Init();
}

void SHA256::Init() {
    static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state_, kInitial, sizeof state_);
    length_ = 0;
}

void SHA256::Update(const void* data, size_t size) {
    const sha256::Transform transform = sha256::ChosenTransform();
    FeedBlocks(buffer_, length_, data, size,
               [this, transform](const uint8_t* blocks, size_t count) { transform(state_, blocks, count); });
}

void SHA256::Final(uint8_t digest[kDigestSize]) {
    const sha256::Transform transform = sha256::ChosenTransform();
    PadBlocks(buffer_, length_, true,
              [this, transform](const uint8_t* blocks, size_t count) { transform(state_, blocks, count); });
    for (int i = 0; i < 8; ++i) StoreBigEndian(state_[i], digest + 4 * i);
    Init();
}

std::wstring HexText(const uint8_t* bytes, size_t size) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

bool ComputeFileDigests(HANDLE file, std::wstring& md5, std::wstring& sha256) {
    md5 = kDigestUnavailable;
    sha256 = kDigestUnavailable;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) return false;
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;

    CMD5 md5State;
    SHA256 sha256State;
    const std::unique_ptr<uint8_t[]> block(new uint8_t[kDigestBlockSize]);
    for (;;) {
        DWORD read = 0;
        // A digest of part of the file would pass for the file's own: a failed read gives none.
        if (!ReadFile(file, block.get(), kDigestBlockSize, &read, nullptr)) return false;
        if (read == 0) break;
        md5State.Update(block.get(), read);
        sha256State.Update(block.get(), read);
    }
    uint8_t md5Digest[CMD5::kDigestSize];
    uint8_t sha256Digest[SHA256::kDigestSize];
    md5State.Final(md5Digest);
    sha256State.Final(sha256Digest);
    md5 = HexText(md5Digest, sizeof md5Digest);
    sha256 = HexText(sha256Digest, sizeof sha256Digest);
    return true;
}

}  // namespace vondrel
