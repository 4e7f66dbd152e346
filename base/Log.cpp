#include "base/Log.h"

#include <ctime>

#include "base/TextWriter.h"

namespace vondrel {
namespace {

constexpr const wchar_t* kLogFilePath = L"C:\\ProgramData\\Norvane\\Vondrel\\log.txt";
constexpr const wchar_t* kTimeStampFormat = L"%d:%d:%d %d-%d-%d ";

std::wstring TimeStamp() {
    __time64_t now = _time64(nullptr);
    struct tm local {};
    if (_localtime64_s(&local, &now) != 0) return FormatText(kTimeStampFormat, 0, 0, 0, 0, 0, 0);
    return FormatText(kTimeStampFormat, local.tm_hour, local.tm_min, local.tm_sec, local.tm_mday,
                      local.tm_mon + 1, local.tm_year + 1900);
}

}  // namespace

const std::wstring& LogFilePath() {
    static const std::wstring path(kLogFilePath);
    return path;
}

int LogWrite(int /*level*/, const wchar_t* /*category*/, const wchar_t* format, ...) {
    // Opened and closed per line, so every line is whole on disk when the call returns and other
    // programs can read the log while the tool runs.
    TextFile file;
    if (!file.Open(LogFilePath(), TextFile::Mode::Append, TextFile::Links::Refuse)) return 1;
    va_list args;
    va_start(args, format);
    std::wstring line = TimeStamp() + FormatTextMaskedV(format, args) + L"\n";
    va_end(args);
    file.Write(line);
    return 0;
}

}  // namespace vondrel
