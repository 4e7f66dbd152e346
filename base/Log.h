// The tool's one log: every component writes its progress and failure lines through LogWrite into a
// fixed text file that grows across runs. The texts are named constants beside their use (those that
// several steps of the run share in driver/Messages.h). Every one stays byte for byte as the tool has
// always written it, spelling included ("Sucessfully", "impmented"): the tools that read these logs
// match the lines exactly.
#pragma once

#include <string>

namespace vondrel {

// Levels and categories the callers name (neither is written into the line).
constexpr int kLogLevelMain = 123;
constexpr int kLogLevelStoreError = 2;
constexpr int kLogLevelStoreWarning = 3;
constexpr int kLogLevelStoreInfo = 4;
constexpr const wchar_t* kLogMain = L"Main";
constexpr const wchar_t* kLogCommunication = L"Communication";
constexpr const wchar_t* kLogQuarantine = L"Quarantine";

// Appends one line: the local time as "%d:%d:%d %d-%d-%d ", the message formatted by FormatText with
// the arguments' control characters written as "?" (so a line is always one line), CR LF. Returns 0
// when written, 1 when the file could not be opened.
int LogWrite(int level, const wchar_t* category, const wchar_t* format, ...);

// "C:\ProgramData\Norvane\Vondrel\log.txt", fixed for the process.
const std::wstring& LogFilePath();

}  // namespace vondrel
