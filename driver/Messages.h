// Log texts that several steps of the run write; the texts of a single step are named constants beside
// their use. None may change by a byte (see base/Log.h).
#pragma once

namespace vondrel {

constexpr const wchar_t* kStartingMessage = L"Starting Vondrel.exe utility";
constexpr const wchar_t* kStoppingMessage = L"Stopping Vondrel.exe utility";
constexpr const wchar_t* kWorkDirFailed = L"Failed to create zip file directory %s , 0x%x";

}  // namespace vondrel
