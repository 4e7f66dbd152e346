// Log texts that several steps of the run write; the texts of a single step are named constants beside
// their use. Every log text stays byte for byte as the tool has always written it, spelling included
// ("Sucessfully", "impmented"): the tools that read these logs match the lines exactly.
#pragma once

namespace vondrel {

constexpr const wchar_t* kStartingMessage = L"Starting Vondrel.exe utility";
constexpr const wchar_t* kStoppingMessage = L"Stopping Vondrel.exe utility";
constexpr const wchar_t* kWorkDirFailed = L"Failed to create zip file directory %s , 0x%x";

}  // namespace vondrel
