// The one text writer of the tool: formats wide text with printf-style rules and writes it as the
// tool's text files expect it (CR LF line ends, one byte per character, no byte-order mark),
// independently of the C runtime's locale and text mode.
#pragma once

#include <cstdarg>
#include <string>

#include "base/Handles.h"

namespace vondrel {

// Formats like the wide-character printf family: %s takes a wide string (%hs a narrow one), %c a wide
// character, %d/%i signed and %u/%x/%X unsigned 32-bit numbers (the l, ll and I64 modifiers widen them
// to 64 bits), with the '-' and '0' flags, a width and a precision; %% prints "%". Arguments are never
// formatted again, so a "%" inside one is printed as it stands.
std::wstring FormatText(const wchar_t* format, ...);
std::wstring FormatTextV(const wchar_t* format, va_list args);

// The same, with every control character (U+0000 to U+001F, U+007F) of a %s or %c argument written as
// "?": text from the store cannot break a line or forge one, while the format's own line ends stay.
std::wstring FormatTextMaskedV(const wchar_t* format, va_list args);

// The bytes of a text file line: "\n" becomes CR LF, U+0000 to U+00FF become the byte of the same
// value, and any other character becomes "?".
std::string EncodeSingleByte(const std::wstring& text);

// A text file open for writing; the handle is closed on destruction.
class TextFile {
public:
    enum class Mode { Append, CreateAlways };
    // RefuseLinks: a file that is a symbolic link or reparse point, or has other hard links, is not
    // opened, so a link planted in its place cannot redirect the writes.
    enum class Links { Follow, Refuse };

    // Opens with shared read/write access; Append creates a missing file and writes at its end.
    bool Open(const std::wstring& path, Mode mode, Links links = Links::Follow);
    bool IsOpen() const;
    // Writes the text encoded by EncodeSingleByte; true when every byte was written.
    bool Write(const std::wstring& text);
    bool Printf(const wchar_t* format, ...);
    // Flushes the file's buffers to disk.
    bool Flush();
    void Close();

private:
    UniqueFile file_;
};

}  // namespace vondrel
