#include "base/TextConvert.h"

#include <windows.h>

#include <cstdint>
#include <new>
#include <utility>

namespace vondrel {
namespace {

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The code point of the complete, valid sequence at pos and its length; length 0 when the byte at
// pos starts none (an overlong form, a surrogate, a value past U+10FFFF or a cut sequence).
struct Sequence {
    uint32_t codePoint = 0;
    size_t length = 0;
};

Sequence SequenceAt(const unsigned char* bytes, size_t count, size_t pos) {
    unsigned char lead = bytes[pos];
    if (lead < 0x80) return {lead, 1};
    size_t length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || count - pos < length) return {};
    uint32_t codePoint = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(bytes[pos + i])) return {};
        codePoint = (codePoint << 6) | (bytes[pos + i] & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF) return {};
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return {};
    return {codePoint, length};
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    try {
        std::wstring out;
        Utf8ToWide(text.data(), text.size(), out);
        return out;
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

std::string WideToUtf8(const std::wstring& text) {
    try {
        std::string out;
        ToUtf8(text, out);
        return out;
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

bool ToUtf8(const std::wstring& wide, std::string& narrow) {
    narrow.clear();
    if (wide.empty()) return true;
    const int units = static_cast<int>(wide.size());
    // Three bytes per UTF-16 unit hold any conversion (a surrogate pair's four bytes take two units).
    std::string buffer(static_cast<size_t>(units) * 3, '\0');
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, buffer.data(),
                                          static_cast<int>(buffer.size()), nullptr, nullptr);
    if (bytes <= 0 || static_cast<size_t>(bytes) > buffer.size()) return false;
    buffer.resize(static_cast<size_t>(bytes));
    narrow = std::move(buffer);
    return true;
}

bool Utf8ToWide(const char* text, size_t length, std::wstring& wide) {
    if (length == 0) return true;
    const int bytes = static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, bytes, nullptr, 0);
    if (units <= 0) return false;
    wide.resize(static_cast<size_t>(units));
    if (MultiByteToWideChar(CP_UTF8, 0, text, bytes, wide.data(), units) == units) return true;
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    wide.clear();
    return false;
}

std::wstring Utf8ToWideDroppingInvalid(const char* text, size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::wstring out;
    size_t pos = 0;
    while (pos < length) {
        Sequence sequence = SequenceAt(bytes, length, pos);
        if (sequence.length == 0) {
            ++pos;
            continue;
        }
        pos += sequence.length;
        if (sequence.codePoint < 0x10000) {
            out.push_back(static_cast<wchar_t>(sequence.codePoint));
            continue;
        }
        out.push_back(static_cast<wchar_t>(0xD800 + ((sequence.codePoint - 0x10000) >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (sequence.codePoint & 0x3FF)));
    }
    return out;
}

}  // namespace vondrel
