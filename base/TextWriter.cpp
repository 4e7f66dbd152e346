#include "base/TextWriter.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/Handles.h"
#include "base/PathRules.h"

namespace vondrel {
namespace {

struct FormatSpec {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;
    int longCount = 0;  // 0: 32-bit, 2: 64-bit
    bool narrow = false;
};

void Pad(std::wstring& out, const std::wstring& body, const FormatSpec& spec, bool numeric) {
    const int fill = spec.width - static_cast<int>(body.size());
    if (fill <= 0) {
        out += body;
        return;
    }
    if (spec.leftAlign) {
        out += body;
        out.append(fill, L' ');
        return;
    }
    if (spec.zeroPad && numeric && spec.precision < 0) {
        size_t signLength = (!body.empty() && body[0] == L'-') ? 1 : 0;
        out.append(body, 0, signLength);
        out.append(fill, L'0');
        out.append(body, signLength, std::wstring::npos);
        return;
    }
    out.append(fill, L' ');
    out += body;
}

std::wstring Digits(unsigned long long value, unsigned base, bool upper, int precision) {
    const wchar_t* alphabet = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring reversed;
    while (value != 0) {
        reversed += alphabet[value % base];
        value /= base;
    }
    while (static_cast<int>(reversed.size()) < precision) reversed += L'0';
    if (reversed.empty() && precision != 0) reversed = L"0";
    return std::wstring(reversed.rbegin(), reversed.rend());
}

const wchar_t* ParseSpec(const wchar_t* p, FormatSpec& spec, va_list& args) {
    for (;; ++p) {
        if (*p == L'-') spec.leftAlign = true;
        else if (*p == L'0') spec.zeroPad = true;
        else if (*p == L'+' || *p == L' ' || *p == L'#') continue;
        else break;
    }
    if (*p == L'*') {
        spec.width = va_arg(args, int);
        ++p;
    }
    while (*p >= L'0' && *p <= L'9') spec.width = spec.width * 10 + (*p++ - L'0');
    if (*p == L'.') {
        ++p;
        spec.precision = 0;
        if (*p == L'*') {
            spec.precision = va_arg(args, int);
            ++p;
        }
        while (*p >= L'0' && *p <= L'9') spec.precision = spec.precision * 10 + (*p++ - L'0');
    }
    for (;;) {
        if (*p == L'l') { ++spec.longCount; ++p; }
        else if (*p == L'h') { spec.narrow = true; ++p; }
        else if (*p == L'z' || *p == L'j' || *p == L't') { spec.longCount = 2; ++p; }
        else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { spec.longCount = 2; p += 3; }
        else break;
    }
    return p;
}

std::wstring StringArgument(const FormatSpec& spec, va_list& args) {
    std::wstring text;
    if (spec.narrow) {
        const char* s = va_arg(args, const char*);
        text = s ? std::wstring(s, s + strlen(s)) : L"(null)";
    } else {
        const wchar_t* s = va_arg(args, const wchar_t*);
        text = s ? s : L"(null)";
    }
    if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < text.size()) text.resize(spec.precision);
    return text;
}

enum class ArgumentText { AsIs, ControlsMasked };

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

std::wstring Argument(std::wstring text, ArgumentText kind) {
    if (kind == ArgumentText::ControlsMasked) std::replace_if(text.begin(), text.end(), IsControl, L'?');
    return text;
}

std::wstring Format(const wchar_t* format, va_list args, ArgumentText argumentText) {
    std::wstring out;
    if (format == nullptr) return out;
    va_list ap;
    va_copy(ap, args);
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == L'%') {
            out += L'%';
            continue;
        }
        FormatSpec spec;
        p = ParseSpec(p, spec, ap);
        const bool wide = spec.longCount >= 2;
        switch (*p) {
            case L's':
            case L'S':
                Pad(out, Argument(StringArgument(spec, ap), argumentText), spec, false);
                break;
            case L'c':
                Pad(out, Argument(std::wstring(1, static_cast<wchar_t>(va_arg(ap, int))), argumentText), spec, false);
                break;
            case L'd':
            case L'i': {
                long long value = wide ? va_arg(ap, long long) : va_arg(ap, int);
                unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                         : static_cast<unsigned long long>(value);
                std::wstring body = Digits(magnitude, 10, false, spec.precision);
                Pad(out, value < 0 ? L"-" + body : body, spec, true);
                break;
            }
            case L'u':
            case L'x':
            case L'X': {
                unsigned long long value = wide ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned int);
                unsigned base = *p == L'u' ? 10 : 16;
                Pad(out, Digits(value, base, *p == L'X', spec.precision), spec, true);
                break;
            }
            case L'p':
                Pad(out, Digits(reinterpret_cast<uintptr_t>(va_arg(ap, void*)), 16, true, 16), spec, false);
                break;
            case L'\0':
                --p;  // a lone "%" at the end of the format
                break;
            default:
                out += L'%';
                out += *p;
                break;
        }
    }
    va_end(ap);
    return out;
}

}  // namespace

std::wstring FormatTextV(const wchar_t* format, va_list args) { return Format(format, args, ArgumentText::AsIs); }

std::wstring FormatTextMaskedV(const wchar_t* format, va_list args) {
    return Format(format, args, ArgumentText::ControlsMasked);
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatTextV(format, args);
    va_end(args);
    return text;
}

std::string EncodeSingleByte(const std::wstring& text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (wchar_t c : text) {
        if (c == L'\n') {
            bytes += "\r\n";
        } else if (c <= 0xFF) {
            bytes += static_cast<char>(static_cast<unsigned char>(c));
        } else {
            bytes += '?';
        }
    }
    return bytes;
}

namespace {

bool IsLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// GetFileInformationByHandle would also read the volume's serial number, which under Wine is a round
// trip to the mount manager and costs a millisecond on every line of the log; these two classes carry
// the only facts needed here.
bool IsLinkedFile(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag))) return true;
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) return true;
    return IsLinkAttributes(tag.FileAttributes) || standard.NumberOfLinks > 1;
}

}  // namespace

bool TextFile::Open(const std::wstring& path, Mode mode, Links links) {
    file_.reset();
    const DWORD access = mode == Mode::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    const DWORD disposition = mode == Mode::Append ? OPEN_ALWAYS : CREATE_ALWAYS;
    const bool refuseLinks = links == Links::Refuse;
    if (refuseLinks && IsLinkAttributes(GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str()))) return false;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (refuseLinks ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    UniqueFile file(CreateFileExtended(path, access | (refuseLinks ? FILE_READ_ATTRIBUTES : 0),
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition, flags));
    if (!file) return false;
    if (refuseLinks && IsLinkedFile(file.get())) return false;
    file_ = std::move(file);
    return true;
}

bool TextFile::IsOpen() const { return file_.valid(); }

bool TextFile::Write(const std::wstring& text) {
    if (!file_) return false;
    const std::string bytes = EncodeSingleByte(text);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file_.get(), bytes.data() + done, chunk, &written, nullptr) || written != chunk) return false;
        done += written;
    }
    return true;
}

bool TextFile::Printf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatTextV(format, args);
    va_end(args);
    return Write(text);
}

bool TextFile::Flush() { return file_ && FlushFileBuffers(file_.get()) != FALSE; }

void TextFile::Close() { file_.reset(); }

}  // namespace vondrel
