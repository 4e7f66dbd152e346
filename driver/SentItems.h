// The cache of items already submitted: the GUID texts listed in "guid_cache.txt" in the upload
// folder, read before a collection pass and rewritten after a successful upload, so that a later run
// sends only new items.
#pragma once

#include <set>
#include <string>

namespace vondrel {

// GUID texts in ascending order of their UTF-16 code units, case-sensitive, without duplicates
// (wchar_t is an unsigned 16-bit unit on Windows, so std::wstring's own order is that order).
using SentItemSet = std::set<std::wstring>;

constexpr const wchar_t* kSentItemsFileName = L"guid_cache.txt";

// folder + "\guid_cache.txt".
std::wstring SentItemsFilePath(const std::wstring& folder);

// Replaces sentItems with the file's lines (CR LF or LF ends, every line kept as it stands, an empty
// one included, a last line without a line end too). An empty folder or a file that cannot be opened
// leaves sentItems untouched; the result then is false.
bool LoadSentItems(const std::wstring& folder, SentItemSet& sentItems);

// Writes sentItems, one per line with CR LF, in set order. The file is replaced atomically: written to
// a temporary file beside it, flushed, then moved over the old one, so a crash leaves either the old
// or the new cache, never an empty or torn one. False when folder is empty or any step fails (the old
// file is then as it was).
bool SaveSentItems(const std::wstring& folder, const SentItemSet& sentItems);

}  // namespace vondrel
