// The link walk's decisions for parents Wine cannot produce (symbolic links, junctions, servers and
// volumes that cannot be read), shown to the walk through its two calls.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "quarantine/restore/FileRestore.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using test::LogCapture;

// Every path reads as a plain folder unless listed; the paths asked for are recorded in order.
class ScriptedLinkWalkCalls final : public ILinkWalkCalls {
public:
    std::map<std::wstring, DWORD> errors;        // unreadable parts
    std::map<std::wstring, DWORD> reparseTags;   // reparse points, with the tag their find data carries
    std::vector<std::wstring> notFound;          // reparse points whose find fails
    std::vector<std::wstring> asked;

    bool ReadAttributes(const std::wstring& path, DWORD& attributes, DWORD& error) override {
        asked.push_back(path);
        if (auto it = errors.find(path); it != errors.end()) {
            error = it->second;
            return false;
        }
        const bool reparse = reparseTags.count(path) || IsNotFound(path);
        attributes = FILE_ATTRIBUTE_DIRECTORY | (reparse ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
        return true;
    }
    bool FindEntry(const std::wstring& path, WIN32_FIND_DATAW& data) override {
        if (IsNotFound(path)) return false;
        data = WIN32_FIND_DATAW{};
        const std::wstring name = path.substr(path.rfind(L'\\') + 1);
        name.copy(data.cFileName, MAX_PATH - 1);
        data.dwReserved0 = reparseTags.at(path);
        return true;
    }

private:
    bool IsNotFound(const std::wstring& path) const {
        for (const std::wstring& p : notFound) {
            if (p == path) return true;
        }
        return false;
    }
};

struct WalkCase {
    const char* name;
    std::wstring destination;
    std::map<std::wstring, DWORD> errors;
    std::map<std::wstring, DWORD> reparseTags;
    std::vector<std::wstring> notFound;
    bool links;
    std::vector<std::wstring> asked;
    std::vector<std::wstring> lines;  // in the log, in this order
};

void ExpectInOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& expected) {
    size_t at = 0;
    for (const std::wstring& line : lines) {
        if (at < expected.size() && line == expected[at]) ++at;
    }
    EXPECT_EQ(at, expected.size()) << "missing: " << testing::PrintToString(at < expected.size() ? expected[at] : L"");
}

const std::wstring kSummary = L"QuarManager::RestoreFiles : Destination path checked for symbolic links. Path has links: ";

TEST(LinkWalk, DecidesFromTheDestinationsParents) {
    const WalkCase cases[] = {
        {"plain folders up to the drive", L"D:\\Work\\Items\\doc.txt", {}, {}, {}, false,
         {L"D:\\Work\\Items", L"D:\\Work", L"D:"}, {kSummary + L"0"}},
        {"symbolic link", L"D:\\Work\\Items\\doc.txt", {}, {{L"D:\\Work", IO_REPARSE_TAG_SYMLINK}}, {}, true,
         {L"D:\\Work\\Items", L"D:\\Work"},
         {L"D:\\Work has a reparse flag set", L"Symbolic link found for Work", kSummary + L"1"}},
        {"junction", L"D:\\Work\\Items\\doc.txt", {}, {{L"D:\\Work", IO_REPARSE_TAG_MOUNT_POINT}}, {}, false,
         {L"D:\\Work\\Items", L"D:\\Work", L"D:"},
         {L"D:\\Work has a reparse flag set", L"Even though  Work had reparse flag, it was not a symbolic link",
          kSummary + L"0"}},
        {"reparse point that cannot be found", L"D:\\Work\\Items\\doc.txt", {}, {}, {L"D:\\Work\\Items"}, false,
         {L"D:\\Work\\Items"}, {L"D:\\Work\\Items has a reparse flag set", kSummary + L"0"}},
        {"missing parent", L"D:\\Work\\Gone\\doc.txt", {{L"D:\\Work\\Gone", ERROR_FILE_NOT_FOUND}}, {}, {}, true,
         {L"D:\\Work\\Gone"}, {L"Failed to read attributes of D:\\Work\\Gone. Error: 2", kSummary + L"1"}},
        {"share whose server cannot be read", L"\\\\srv\\share\\Items\\doc.txt", {{L"\\\\srv", ERROR_BAD_NETPATH}}, {},
         {}, false, {L"\\\\srv\\share\\Items", L"\\\\srv\\share", L"\\\\srv"},
         {L"Failed to read attributes of \\\\srv. Error: 53",
          L"Failed to read attributes of \\\\srv. Because it was a machine name, restore is OK to continue",
          kSummary + L"0"}},
        {"prefixed share whose server cannot be read", L"\\\\?\\UNC\\srv\\share\\doc.txt",
         {{L"\\\\?\\UNC\\srv", ERROR_BAD_NETPATH}}, {}, {}, false, {L"\\\\?\\UNC\\srv\\share", L"\\\\?\\UNC\\srv"},
         {L"Failed to read attributes of \\\\?\\UNC\\srv. Because it was a machine name, restore is OK to continue"}},
        {"volume name", L"\\\\?\\Volume{1b2c}\\Items\\doc.txt", {{L"\\\\?\\Volume{1b2c}", ERROR_INVALID_NAME}}, {}, {},
         false, {L"\\\\?\\Volume{1b2c}\\Items", L"\\\\?\\Volume{1b2c}"},
         {L"Failed to read attributes of \\\\?\\Volume{1b2c}. Because it was a machine name, restore is OK to "
          L"continue"}},
        {"prefixed drive goes on at the plain drive", L"\\\\?\\D:\\Work\\doc.txt",
         {{L"\\\\?\\D:", ERROR_INVALID_PARAMETER}}, {}, {}, false, {L"\\\\?\\D:\\Work", L"\\\\?\\D:", L"D:"},
         {L"Failed to read attributes of \\\\?\\D:. Error: 87",
          L"Failed to read attributes of D:. Because it is drive letter prefixed with \\\\?\\ , okay to restore at "
          L"this point",
          kSummary + L"0"}},
        {"prefixed drive whose plain drive cannot be read", L"\\\\?\\D:\\doc.txt",
         {{L"\\\\?\\D:", ERROR_INVALID_PARAMETER}, {L"D:", ERROR_NOT_READY}}, {}, {}, true, {L"\\\\?\\D:", L"D:"},
         {L"Failed to read attributes of D:. Error: 21", kSummary + L"1"}},
        {"device", L"\\\\.\\D:\\Work\\doc.txt", {{L"\\\\.\\D:", ERROR_INVALID_PARAMETER}}, {}, {}, false,
         {L"\\\\.\\D:\\Work", L"\\\\.\\D:"},
         {L"Failed to read attributes of \\\\.\\D:. Because it was a device name, restore is OK to continue"}},
        {"unreadable share part below the server", L"\\\\srv\\share\\doc.txt", {{L"\\\\srv\\share", ERROR_ACCESS_DENIED}},
         {}, {}, true, {L"\\\\srv\\share"}, {kSummary + L"1"}},
        {"walk ends at the bare prefix", L"\\\\?\\\\doc.txt", {}, {}, {}, false, {}, {kSummary + L"0"}},
        {"walk ends at a leading backslash", L"\\\\doc.txt", {}, {}, {}, false, {}, {kSummary + L"0"}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        ScriptedLinkWalkCalls calls;
        calls.errors = c.errors;
        calls.reparseTags = c.reparseTags;
        calls.notFound = c.notFound;
        EXPECT_EQ(DestinationHasLinks(c.destination, calls), c.links);
        EXPECT_EQ(calls.asked, c.asked);
        ExpectInOrder(log.Lines(), c.lines);
    }
}

}  // namespace
}  // namespace vondrel
