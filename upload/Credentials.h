// The back end's user name and password: built into the program only scrambled, unscrambled into
// heap buffers for the one upload that needs them and wiped when those buffers go.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace vondrel {

// A heap buffer of fixed size that is overwritten with zeros before it is freed.
class ScrubbedBuffer {
public:
    explicit ScrubbedBuffer(size_t size);
    ~ScrubbedBuffer();
    ScrubbedBuffer(ScrubbedBuffer&& other) noexcept;
    ScrubbedBuffer(const ScrubbedBuffer&) = delete;
    ScrubbedBuffer& operator=(const ScrubbedBuffer&) = delete;

    char* data() { return bytes_.get(); }
    size_t size() const { return size_; }
    const char* data() const { return bytes_.get(); }

private:
    std::unique_ptr<char[]> bytes_;
    size_t size_;
};

// Undoes the build's scrambling of one buffer of size bytes.
ScrubbedBuffer Unscramble(const volatile unsigned char* scrambled, size_t size);

// The built-in credentials, unscrambled into buffers of 18 and 11 bytes.
ScrubbedBuffer UnscrambleUserName();
ScrubbedBuffer UnscramblePassword();

// The UTF-16 copy of a credential that WinHTTP takes, overwritten with zeros before it is freed.
class WideSecret {
public:
    // The buffer's UTF-8 text up to its first zero byte (all of it when there is none); empty when it
    // does not convert.
    explicit WideSecret(const ScrubbedBuffer& utf8);
    ~WideSecret();
    WideSecret(const WideSecret&) = delete;
    WideSecret& operator=(const WideSecret&) = delete;

    const std::wstring& text() const { return text_; }

private:
    std::wstring text_;
};

}  // namespace vondrel
