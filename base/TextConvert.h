// Whole-string conversions between UTF-8 and UTF-16 with code page 65001 and no flags.
#pragma once

#include <string>

namespace vondrel {

// The text without a terminator; an empty string when the conversion or the allocation fails.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace vondrel
