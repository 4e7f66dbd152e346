// The submission report "Ostrel.xml" that travels inside every uploaded archive: who submitted it,
// from which machine, and how many files it holds.
#pragma once

#include <string>

namespace vondrel {

constexpr const wchar_t* kSubmissionReportFileName = L"Ostrel.xml";

// Writes workFolder + "\Ostrel.xml" (created new; CR LF, one byte per character). Does nothing when
// workFolder is empty; a report that cannot be written is not reported, the run goes on without it.
// The e-mail and comment lines are left out when their text is empty.
void WriteSubmissionReport(const std::wstring& workFolder, unsigned int fileCount, const std::wstring& email,
                           const std::wstring& comment);

}  // namespace vondrel
