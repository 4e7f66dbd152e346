#include "upload/Credentials.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "UploadCredentials.h"
#include "base/TextConvert.h"

namespace vondrel {
namespace {

// The inverse of the build's per-byte mixing: the low nibble was xor-ed with the high one after the
// high one had been xor-ed with the low one.
unsigned char Unmix(unsigned char y) {
    const unsigned char y1 = static_cast<unsigned char>(y ^ (y >> 4));
    return static_cast<unsigned char>(y1 ^ ((y1 & 0x0F) << 4));
}

// The build's neighbour swaps (i <-> i+1 for odd i), undone by doing them again.
void SwapNeighbours(char* bytes, size_t size) {
    for (size_t i = 1; i + 1 < size; i += 2) std::swap(bytes[i], bytes[i + 1]);
}

// The build's mirror swaps (i <-> size-1-i for even i in the first half), undone by doing them again.
void SwapMirrored(char* bytes, size_t size) {
    for (size_t i = 0; i < size / 2; i += 2) {
        const size_t j = size - 1 - i;
        if (i < j) std::swap(bytes[i], bytes[j]);
    }
}

}  // namespace

ScrubbedBuffer::ScrubbedBuffer(size_t size) : bytes_(new char[size]()), size_(size) {}

ScrubbedBuffer::ScrubbedBuffer(ScrubbedBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}

ScrubbedBuffer::~ScrubbedBuffer() {
    if (bytes_) SecureZeroMemory(bytes_.get(), size_);
}

ScrubbedBuffer Unscramble(const volatile unsigned char* scrambled, size_t size) {
    ScrubbedBuffer out(size);
    // Read through volatile so that the compiler cannot fold the plain text into the program.
    char* bytes = out.data();
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(scrambled[i]);
    SwapNeighbours(bytes, size);
    SwapMirrored(bytes, size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(Unmix(static_cast<unsigned char>(bytes[i])));
    return out;
}

ScrubbedBuffer UnscrambleUserName() {
    return Unscramble(build::kScrambledUserName, build::kUserNameBufferSize);
}

ScrubbedBuffer UnscramblePassword() {
    return Unscramble(build::kScrambledPassword, build::kPasswordBufferSize);
}

WideSecret::WideSecret(const ScrubbedBuffer& utf8) {
    // Converted straight from the buffer into its final place, so that no other copy is left unwiped.
    const char* begin = utf8.data();
    const size_t length = static_cast<size_t>(std::find(begin, begin + utf8.size(), '\0') - begin);
    Utf8ToWide(begin, length, text_);
}

WideSecret::~WideSecret() {
    SecureZeroMemory(text_.data(), text_.size() * sizeof(wchar_t));
}

}  // namespace vondrel
