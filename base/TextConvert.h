// Every conversion between UTF-8 and UTF-16 of the program. The plain ones use code page 65001 with no
// flags, so an invalid sequence or an unpaired surrogate becomes U+FFFD; the property bag's decoding
// drops such bytes instead.
#pragma once

#include <cstddef>
#include <string>

namespace vondrel {

// The whole text without a terminator; an empty string when the conversion or the allocation fails.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// UTF-16 to UTF-8; false when the text does not convert (an empty text converts).
bool ToUtf8(const std::wstring& wide, std::string& narrow);

// length bytes of UTF-8 straight into wide, which must be empty, so that a secret leaves no other copy
// behind; false, with wide wiped and emptied, when they do not convert. An allocation failure throws.
bool Utf8ToWide(const char* text, size_t length, std::wstring& wide);

// The property bag's decoding: bytes that start no complete, valid sequence (an overlong form, a
// surrogate, a value past U+10FFFF, a cut sequence) are dropped, not replaced.
std::wstring Utf8ToWideDroppingInvalid(const char* text, size_t length);

}  // namespace vondrel
