#include "base/TextConvert.h"

#include <windows.h>

#include <new>
#include <vector>

namespace vondrel {

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    try {
        std::wstring out(static_cast<size_t>(n), L'\0');
        n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    try {
        // Four bytes per character plus four hold any conversion.
        std::vector<char> buffer(text.size() * 4 + 4, '\0');
        int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), buffer.data(),
                                    static_cast<int>(buffer.size()), nullptr, nullptr);
        return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

}  // namespace vondrel
