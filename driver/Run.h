// The run from entry to exit: the data folder, the start checks, the command line, and the submission
// path that collects, packs, uploads and records the quarantined items.
#pragma once

#include <string>

#include "driver/DataFolder.h"
#include "driver/RunSettings.h"
#include "driver/StartChecks.h"

namespace vondrel {

// The whole run; returns the process exit code (0 success, 1 failure). The data and upload folders
// are checked through folders before anything is written into them.
int RunTool(int argc, wchar_t** argv, IStartChecks& checks, IFolderInspector& folders);

// The submission path; true when the run succeeded (nothing to send included).
bool RunSubmission(const RunSettings& settings, IFolderInspector& folders);

// The extract-only path (both switches set): every item into its own folder and archive under
// dataFolder + "\ExtractedItems", nothing uploaded.
bool RunExtractOnly(const RunSettings& settings);

// A free work-folder path under parent (UTF-8): "vdrel_" + 12 hex digits of a new GUID + "_" + MMDDYY
// + "_" + HHMMSS. False, with path cleared, when 99,999 names in a row were taken by files.
bool MakeWorkFolderPath(const std::string& parent, std::string& path);

// The proxy fields of the settings as an upload client, and the upload of the archive.
bool UploadArchive(const RunSettings& settings, const std::wstring& zipPath);

}  // namespace vondrel
