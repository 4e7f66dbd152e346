#include "quarantine/restore/FileRestore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "base/PathRules.h"
#include "quarantine/restore/BupFile.h"
#include "tests/quarantine/restore/RestoreRows.h"
#include "tests/support/BupWriter.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using test::FailedLine;
using test::FileRow;
using test::FileRows;
using test::HasLineStartingWith;
using test::kFailedLinePrefix;
using test::kLinkSummaryPrefix;
using test::LegacyRow;
using test::LogCapture;
using test::ReadBytes;
using test::RestoredLine;
using test::TempDir;
using test::ZipRow;

constexpr const wchar_t* kEnterLine = L"QuarManager::RestoreFiles : ENTER";
constexpr const wchar_t* kCopyFailedLine = L"Failed to CopyFromZIPFile";
constexpr const wchar_t* kToStreamFailedLine = L"QuarManager::RestoreFiles, RestoreFileToStream failed";
constexpr const wchar_t* kShareRoot = L"\\\\vondrel-restore\\share";

std::wstring ExitLine(unsigned code) { return L"QuarManager::RestoreFiles : EXIT, retval : " + std::to_wstring(code); }

std::wstring Fixture(const std::wstring& name) { return test::FixtureDir("restore") + L"\\" + name; }
std::wstring ItemZip() { return Fixture(L"item.zip"); }
// The bytes Info-ZIP packed for an entry.
std::vector<uint8_t> Source(const std::wstring& entry) { return ReadBytes(Fixture(L"source\\" + entry)); }

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(ExtendedPath(path, kDefaultPathLimit).c_str()); }
bool Exists(const std::wstring& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

// A unique folder below a fixed parent (the share, the linked folder), removed with its files.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& parent) {
        GUID guid;
        CoCreateGuid(&guid);
        path_ = parent + L"\\r" + std::to_wstring(guid.Data1) + L"_" + std::to_wstring(GetCurrentProcessId());
        created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
    }
    ~ScratchFolder() { RemoveDirectoryTree(path_.c_str()); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& path() const { return path_; }
    bool created() const { return created_; }

private:
    std::wstring path_;
    bool created_ = false;
};

// Passes the walk's calls to the file system, except for the parents it is told to show otherwise:
// as reparse points with a given tag, or as unreadable with a given error.
class OverridingLinkWalkCalls final : public ILinkWalkCalls {
public:
    std::map<std::wstring, DWORD> reparseTags;
    std::map<std::wstring, DWORD> unreadable;

    bool ReadAttributes(const std::wstring& path, DWORD& attributes, DWORD& error) override {
        if (auto it = unreadable.find(path); it != unreadable.end()) {
            error = it->second;
            return false;
        }
        if (reparseTags.count(path)) {
            attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
            return true;
        }
        return real_.ReadAttributes(path, attributes, error);
    }
    bool FindEntry(const std::wstring& path, WIN32_FIND_DATAW& data) override {
        auto it = reparseTags.find(path);
        if (it == reparseTags.end()) return real_.FindEntry(path, data);
        const bool found = real_.FindEntry(path, data);
        data.dwReserved0 = it->second;
        return found;
    }

private:
    FileSystemLinkWalkCalls real_;
};

// ---- the per-row rules ----

TEST(RestoreAttributes, FollowTheStoredColumn) {
    struct Case {
        const char* name;
        SqlValue column;
        DWORD value;
        bool set;
    };
    const Case cases[] = {
        {"NULL", SqlValue(), 0, true},
        {"text", SqlValue(L"33"), 0, true},
        {"normal", SqlValue(int64_t{0x80}), 0x80, false},
        {"invalid", SqlValue(int64_t{0xFFFFFFFF}), 0xFFFFFFFF, false},
        {"invalid stored as -1", SqlValue(int64_t{-1}), 0xFFFFFFFF, false},
        {"read-only archive", SqlValue(int64_t{0x21}), 0x21, true},
        {"bits above 32", SqlValue(int64_t{0x100000021}), 0x21, true},
        {"zero", SqlValue(int64_t{0}), 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RestoreAttributes attributes = AttributesFromColumn(c.column);
        EXPECT_EQ(attributes.value, c.value);
        EXPECT_EQ(attributes.set, c.set);
    }
}

TEST(DestinationNames, TakeTheLastPartAfterEitherSeparator) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Users\\a\\doc.txt", L"D:\\Work\\Items\\doc.txt"},
        {L"C:\\a/../../x.dll", L"D:\\Work\\Items\\x.dll"},
        {L"\\\\srv\\share\\dir/sub\\f.bin", L"D:\\Work\\Items\\f.bin"},
        {L"a.exe", L"D:\\Work\\Items\\"},
        {L"C:\\dir\\", L"D:\\Work\\Items\\"},
    };
    for (const auto& [original, destination] : cases) {
        EXPECT_EQ(DestinationPathOf(L"D:\\Work\\Items", original), destination) << original;
    }
}

TEST(DestinationNames, RefuseNamesThatAreNoPlainFileInTheFolder) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"doc.txt", true},     {L"x.", true},          {L"...", true},        {L"CONSOLE.txt", true},
        {L"com0.txt", true},    {L"COM10", true},       {L"lpt.txt", true},    {L"nul_", true},
        {L"", false},           {L".", false},          {L"..", false},        {L"b.txt:evil", false},
        {L"a\x01.txt", false},  {L"tab\there", false},  {L"del\x7F", false},   {L"CON", false},
        {L"con", false},        {L"Con.txt", false},    {L"CON .log", false},  {L"nul.tar.gz", false},
        {L"PRN", false},        {L"aux.c", false},      {L"COM1", false},      {L"com9.log", false},
        {L"LPT1", false},       {L"lpt9.txt", false},
    };
    for (const auto& [name, safe] : cases) EXPECT_EQ(IsSafeDestinationName(name), safe) << name;
}

// ---- restores into real folders ----

class FileRestoreTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CreateDirectoryW(items_.c_str(), nullptr)); }

    uint32_t Restore(std::vector<SqlRow> rows, const std::wstring& folder) {
        FileRows query(std::move(rows));
        return RestoreFiles(&entries_, query, folder.c_str(), &count_);
    }
    uint32_t Restore(std::vector<SqlRow> rows) { return Restore(std::move(rows), items_); }
    uint32_t RestoreThrough(ILinkWalkCalls& calls, std::vector<SqlRow> rows, const std::wstring& folder) {
        FileRows query(std::move(rows));
        return RestoreFiles(&entries_, query, folder.c_str(), &count_, calls);
    }
    void Reset() {
        count_ = 0;
        entries_.entries.clear();
    }

    TempDir dir_;
    std::wstring items_ = dir_ / L"Items";
    unsigned count_ = 0;
    test::RecordingEntries entries_{&count_};
};

TEST_F(FileRestoreTest, WritesTheFileUnderItsOwnNameAndReportsIt) {
    LogCapture log;
    const std::wstring destination = items_ + L"\\doc.txt";
    EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}), kRestoreOk);

    EXPECT_EQ(ReadBytes(destination), Source(L"Users\\a\\doc.txt"));
    EXPECT_EQ(count_, 1u);
    ASSERT_EQ(entries_.entries.size(), 1u);
    EXPECT_EQ(entries_.entries[0].index, 0u);
    EXPECT_EQ(entries_.entries[0].destination, destination);
    EXPECT_EQ(entries_.entries[0].countBefore, 0u);  // reported before it is counted
    const std::vector<std::wstring> lines = test::RestoreCallLines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), kEnterLine);
    EXPECT_EQ(lines.back(), ExitLine(0));
    EXPECT_TRUE(log.Contains(L"QuarManager::RestoreFiles : Destination path C:\\Users\\a\\doc.txt"));
    EXPECT_TRUE(log.Contains(L"QuarManager::RestoreFiles : Destination after check for . in path " + destination));
    EXPECT_TRUE(log.Contains(std::wstring(kLinkSummaryPrefix) + L"0"));
    EXPECT_TRUE(log.Contains(RestoredLine(destination)));
}

TEST_F(FileRestoreTest, NoRowsLogOnlyEnterAndExit) {
    LogCapture log;
    EXPECT_EQ(Restore({}), kRestoreOk);
    EXPECT_EQ(test::RestoreCallLines(log), (std::vector<std::wstring>{kEnterLine, ExitLine(0)}));
    EXPECT_EQ(count_, 0u);
}

TEST_F(FileRestoreTest, RowsWithoutEntryNameOrKnownKindAreSkippedWithoutFailureLine) {
    struct Case {
        const char* name;
        SqlValue kind;
        const wchar_t* originalPath;
    };
    const Case cases[] = {
        {"no backslash", SqlValue(int64_t{1}), L"a.exe"},
        {"relative path", SqlValue(int64_t{1}), L"dir\\a.exe"},
        {"share without path", SqlValue(int64_t{1}), L"\\\\srv\\share"},
        {"unknown kind", SqlValue(int64_t{3}), L"C:\\Users\\a\\doc.txt"},
        {"kind stored as text", SqlValue(L"1"), L"C:\\Users\\a\\doc.txt"},
        {"kind NULL", SqlValue(), L"C:\\Users\\a\\doc.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        EXPECT_EQ(Restore({FileRow(c.kind, c.originalPath, ItemZip())}), kRestoreFailed);
        EXPECT_EQ(count_, 0u);
        EXPECT_TRUE(entries_.entries.empty());
        EXPECT_TRUE(test::NamesIn(items_).empty());
        EXPECT_FALSE(HasLineStartingWith(log, kFailedLinePrefix));
        EXPECT_FALSE(HasLineStartingWith(log, kLinkSummaryPrefix));
        EXPECT_TRUE(log.Contains(ExitLine(kRestoreFailed)));
    }
}

TEST_F(FileRestoreTest, FailedExtractionsGoThroughTheMemoryRouteAndLeaveNoFile) {
    struct Case {
        const char* name;
        const wchar_t* originalPath;
        std::wstring zip;
    };
    const Case cases[] = {
        {"entry not in the backup", L"C:\\Users\\a\\missing.txt", ItemZip()},
        {"backup missing", L"C:\\Users\\a\\doc.txt", Fixture(L"no-such-backup.zip")},
        // The writer has created the destination before inflating fails.
        {"entry does not inflate", L"C:\\Users\\a\\doc.txt", Fixture(L"corrupt.zip")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        const std::wstring destination = items_ + L"\\" + FileNameOf(c.originalPath);
        EXPECT_EQ(Restore({ZipRow(c.originalPath, c.zip)}), kRestoreFailed);
        EXPECT_TRUE(log.Contains(kCopyFailedLine));
        EXPECT_TRUE(log.Contains(kToStreamFailedLine));
        EXPECT_TRUE(log.Contains(FailedLine(kRestoreFailed, destination)));
        EXPECT_FALSE(Exists(destination));
        EXPECT_EQ(count_, 0u);
    }
}

TEST_F(FileRestoreTest, ExistingDestinationIsLeftUntouched) {
    LogCapture log;
    const std::wstring destination = items_ + L"\\doc.txt";
    test::WriteText(destination, "kept");
    EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}), kRestoreFailed);
    EXPECT_EQ(test::ReadText(destination), "kept");
    EXPECT_TRUE(log.Contains(FailedLine(kRestoreFailed, destination)));
    EXPECT_FALSE(HasLineStartingWith(log, kLinkSummaryPrefix));
    EXPECT_EQ(count_, 0u);
}

TEST_F(FileRestoreTest, MissingParentFolderCountsAsALink) {
    LogCapture log;
    const std::wstring missing = items_ + L"\\missing";
    EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}, missing), kRestoreFailed);
    EXPECT_TRUE(HasLineStartingWith(log, L"Failed to read attributes of " + missing + L". Error: "));
    EXPECT_TRUE(log.Contains(std::wstring(kLinkSummaryPrefix) + L"1"));
    EXPECT_TRUE(log.Contains(FailedLine(kRestoreFailed, missing + L"\\doc.txt")));
    EXPECT_FALSE(Exists(missing));
}

TEST_F(FileRestoreTest, EntriesOfEverySizeComeBackWhole) {
    const wchar_t* const entries[] = {L"Users\\a\\doc.txt", L"Users\\a\\empty.txt", L"Users\\a\\data.bin"};
    for (const wchar_t* entry : entries) {
        SCOPED_TRACE(testing::Message() << entry);
        Reset();
        EXPECT_EQ(Restore({ZipRow(std::wstring(L"C:\\") + entry, ItemZip())}), kRestoreOk);
        EXPECT_EQ(ReadBytes(items_ + L"\\" + FileNameOf(entry)), Source(entry));
        EXPECT_EQ(count_, 1u);
    }
}

TEST_F(FileRestoreTest, StoredAttributesAreAppliedUnlessNormalOrInvalid) {
    constexpr DWORD kChecked = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    struct Case {
        const char* name;
        SqlValue column;
        DWORD expected;  // of the checked bits
    };
    const Case cases[] = {
        {"read-only hidden", SqlValue(int64_t{0x03}), 0x03},
        {"low 32 bits only", SqlValue(int64_t{0x100000001}), 0x01},
        {"normal: not applied", SqlValue(int64_t{0x80}), 0},
        // Applying it would set every settable bit.
        {"invalid: not applied", SqlValue(int64_t{0xFFFFFFFF}), 0},
        {"NULL: cleared", SqlValue(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring destination = items_ + L"\\doc.txt";
        EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip(), c.column)}), kRestoreOk);
        EXPECT_EQ(Attributes(destination) & kChecked, c.expected);
        SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(destination.c_str());
    }
}

TEST_F(FileRestoreTest, LastRowDecidesTheResultAndEverySuccessIsCounted) {
    const std::wstring doc = L"C:\\Users\\a\\doc.txt";
    const std::wstring second = L"C:\\Users\\a\\second.txt";
    struct Case {
        const char* name;
        std::vector<std::wstring> originals;
        uint32_t code;
        std::vector<size_t> reported;
    };
    const Case cases[] = {
        {"failure then success", {L"a.exe", doc}, kRestoreOk, {1}},
        {"success then failure", {doc, L"a.exe"}, kRestoreFailed, {0}},
        {"two successes", {doc, second}, kRestoreOk, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        std::vector<SqlRow> rows;
        for (const std::wstring& original : c.originals) rows.push_back(ZipRow(original, ItemZip()));
        EXPECT_EQ(Restore(std::move(rows)), c.code);
        EXPECT_EQ(count_, c.reported.size());
        ASSERT_EQ(entries_.entries.size(), c.reported.size());
        for (size_t i = 0; i < c.reported.size(); ++i) {
            EXPECT_EQ(entries_.entries[i].index, c.reported[i]);
            EXPECT_EQ(entries_.entries[i].countBefore, i);
        }
        for (const std::wstring& name : test::NamesIn(items_)) DeleteFileW((items_ + L"\\" + name).c_str());
    }
}

// Destinations written in the forms the walk treats specially, on real folders.
TEST_F(FileRestoreTest, PrefixedAndDeviceFormsReachTheirWalkLinesAndRestore) {
    ASSERT_EQ(items_.substr(0, 3), L"C:\\");
    struct Case {
        const char* name;
        std::wstring folder;
        std::wstring line;
    };
    const Case cases[] = {
        {"long-path prefix", L"\\\\?\\" + items_,
         L"Failed to read attributes of C:. Because it is drive letter prefixed with \\\\?\\ , okay to restore at this "
         L"point"},
        {"device prefix", L"\\\\.\\" + items_,
         L"Failed to read attributes of \\\\.\\C:. Because it was a device name, restore is OK to continue"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}, c.folder), kRestoreOk);
        EXPECT_TRUE(log.Contains(c.line));
        EXPECT_TRUE(log.Contains(RestoredLine(c.folder + L"\\doc.txt")));
        EXPECT_EQ(ReadBytes(items_ + L"\\doc.txt"), Source(L"Users\\a\\doc.txt"));
        DeleteFileW((items_ + L"\\doc.txt").c_str());
    }
}

// The fixture maps \\vondrel-restore\share onto a real folder; Wine reads the server part as a folder
// too, so the machine-name stop is shown by making that one read fail.
TEST_F(FileRestoreTest, ShareDestinationsAreRestored) {
    ScratchFolder share(kShareRoot);
    ASSERT_TRUE(share.created());
    LogCapture log;
    EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}, share.path()), kRestoreOk);
    EXPECT_EQ(ReadBytes(share.path() + L"\\doc.txt"), Source(L"Users\\a\\doc.txt"));
    DeleteFileW((share.path() + L"\\doc.txt").c_str());

    OverridingLinkWalkCalls calls;
    calls.unreadable[L"\\\\vondrel-restore"] = ERROR_BAD_NETPATH;
    EXPECT_EQ(RestoreThrough(calls, {ZipRow(L"C:\\Users\\a\\second.txt", ItemZip())}, share.path()), kRestoreOk);
    EXPECT_TRUE(log.Contains(L"Failed to read attributes of \\\\vondrel-restore. Error: 53"));
    EXPECT_TRUE(log.Contains(
        L"Failed to read attributes of \\\\vondrel-restore. Because it was a machine name, restore is OK to continue"));
    EXPECT_EQ(ReadBytes(share.path() + L"\\second.txt"), Source(L"Users\\a\\second.txt"));
}

// A Unix symbolic-link directory: a reparse point whose tag is no symbolic link's.
TEST_F(FileRestoreTest, ReparsePointThatIsNoSymbolicLinkDoesNotBlock) {
    const std::wstring linked = Fixture(L"linked");
    ScratchFolder folder(linked);
    ASSERT_TRUE(folder.created());
    LogCapture log;
    EXPECT_EQ(Restore({ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}, folder.path()), kRestoreOk);
    EXPECT_TRUE(log.Contains(linked + L" has a reparse flag set"));
    EXPECT_TRUE(log.Contains(L"Even though  linked had reparse flag, it was not a symbolic link"));
    EXPECT_TRUE(log.Contains(std::wstring(kLinkSummaryPrefix) + L"0"));
    const std::wstring target = Fixture(L"linktarget\\") + FileNameOf(folder.path()) + L"\\doc.txt";
    EXPECT_EQ(ReadBytes(target), Source(L"Users\\a\\doc.txt"));
}

// Symbolic links and junctions cannot be made under Wine; the walk is shown them through its calls.
TEST_F(FileRestoreTest, SymbolicLinkParentBlocksAndJunctionDoesNot) {
    struct Case {
        const char* name;
        DWORD tag;
        uint32_t code;
        std::wstring line;
    };
    const Case cases[] = {
        {"symbolic link", IO_REPARSE_TAG_SYMLINK, kRestoreFailed, L"Symbolic link found for Items"},
        {"junction", IO_REPARSE_TAG_MOUNT_POINT, kRestoreOk,
         L"Even though  Items had reparse flag, it was not a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        OverridingLinkWalkCalls calls;
        calls.reparseTags[items_] = c.tag;
        EXPECT_EQ(RestoreThrough(calls, {ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip())}, items_), c.code);
        EXPECT_TRUE(log.Contains(c.line));
        EXPECT_EQ(Exists(items_ + L"\\doc.txt"), c.code == kRestoreOk);
        DeleteFileW((items_ + L"\\doc.txt").c_str());
    }
}

TEST_F(FileRestoreTest, HostileOriginalNamesAreRefusedWithTheFailureLine) {
    const wchar_t* const originals[] = {
        L"C:\\a\\b.txt:evil", L"C:\\a\\CON",  L"C:\\a\\nul.txt", L"C:\\a\\com1.log", L"C:\\a\\LPT9",
        L"C:\\a\\\x01.txt",   L"C:\\a\\..",   L"C:\\a\\.",       L"C:\\a\\",
    };
    for (const wchar_t* original : originals) {
        SCOPED_TRACE(testing::Message() << original);
        Reset();
        LogCapture log;
        std::wstring logged = items_ + L"\\" + DestinationNameOf(original);
        // The log writes the name's control characters as "?".
        std::replace_if(logged.begin(), logged.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }, L'?');
        EXPECT_EQ(Restore({ZipRow(original, ItemZip())}), kRestoreFailed);
        EXPECT_TRUE(log.Contains(FailedLine(kRestoreFailed, logged)));
        EXPECT_TRUE(test::NamesIn(items_).empty());
        EXPECT_EQ(test::NamesIn(dir_.path()), std::vector<std::wstring>{L"Items"});
        EXPECT_EQ(count_, 0u);
    }
}

TEST_F(FileRestoreTest, ForwardSlashesInTheOriginalNameStayInsideTheFolder) {
    struct Case {
        const wchar_t* original;
        const wchar_t* name;
        const wchar_t* source;
    };
    const Case cases[] = {
        {L"C:\\a/../../x.dll", L"x.dll", L"a\\pp\\qq\\x.dll"},
        {L"C:\\a/b.txt", L"b.txt", L"a\\b.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.original);
        EXPECT_EQ(Restore({ZipRow(c.original, ItemZip())}), kRestoreOk);
        EXPECT_EQ(ReadBytes(items_ + L"\\" + c.name), Source(c.source));
        EXPECT_EQ(test::NamesIn(dir_.path()), std::vector<std::wstring>{L"Items"});
    }
}

// ---- legacy backups ----

TEST_F(FileRestoreTest, LegacyBackupsWriteTheirStreamsOverTheDestination) {
    const std::string one = "[Details]\r\nNumberOfFiles = 1\r\n";
    struct Case {
        const char* name;
        std::string details;
        std::vector<std::vector<uint8_t>> contents;
        bool existing;
        uint32_t code;
        bool fileAfter;
        std::string content;
    };
    const Case cases[] = {
        {"NumberOfFiles 0", "[Details]\r\nNumberOfFiles = 0\r\n", {}, false, kRestoreOk, false, ""},
        {"no NumberOfFiles", "[Details]\r\n", {}, false, kRestoreOk, false, ""},
        {"one stream over an existing file", one, {Bytes("restored")}, true, kRestoreOk, true, "restored"},
        {"the last stream written wins", "[Details]\r\nNumberOfFiles = 2\r\n", {Bytes("zero"), Bytes("one")}, false,
         kRestoreOk, true, "zero"},
        {"added file is deleted", one + "[File_0]\r\nWasAdded = 1\r\n", {Bytes("x")}, true, kRestoreOk, false, ""},
        {"content stream missing", one, {}, false, kBupNotWritten, false, ""},
    };
    const std::wstring backup = dir_ / L"item.bup";
    const std::wstring destination = items_ + L"\\doc.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        test::WriteBupFile(backup, test::BupStreams(c.details, c.contents));
        if (c.existing) test::WriteText(destination, "existing");
        EXPECT_EQ(Restore({LegacyRow(L"C:\\Users\\a\\doc.txt", backup)}), c.code);
        ASSERT_EQ(Exists(destination), c.fileAfter);
        if (c.fileAfter) {
            EXPECT_EQ(test::ReadText(destination), c.content);
        }
        EXPECT_EQ(count_, c.code == kRestoreOk ? 1u : 0u);
        EXPECT_TRUE(log.Contains(c.code == kRestoreOk ? RestoredLine(destination) : FailedLine(c.code, destination)));
        DeleteFileW(destination.c_str());
    }
}

TEST_F(FileRestoreTest, LegacyRowsFailWithTheOpenCodeOrTheNameCheck) {
    const std::wstring backup = dir_ / L"item.bup";
    test::WriteBupFile(backup, test::BupStreams("[Details]\r\nNumberOfFiles = 1\r\n", {Bytes("content")}));
    struct Case {
        const char* name;
        std::wstring original;
        std::wstring backup;
        uint32_t code;
    };
    const Case cases[] = {
        {"backup missing", L"C:\\Users\\a\\doc.txt", dir_ / L"missing.bup", kBupNotOpened},
        {"not a compound file", L"C:\\Users\\a\\doc.txt", ItemZip(), kBupNotOpened},
        {"parent folder as name", L"C:\\a\\..", backup, kRestoreFailed},
        {"stream name", L"C:\\a\\doc.txt:evil", backup, kRestoreFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        LogCapture log;
        EXPECT_EQ(Restore({LegacyRow(c.original, c.backup)}), c.code);
        EXPECT_TRUE(log.Contains(FailedLine(c.code, items_ + L"\\" + DestinationNameOf(c.original))));
        EXPECT_TRUE(test::NamesIn(items_).empty());
        EXPECT_EQ(count_, 0u);
    }
}

// ---- the memory route ----

std::vector<uint8_t> StreamBytes(IStream* stream) {
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
}

TEST(RestoreFileToStream, ExtractsTheRowsEntryIntoMemory) {
    FileRows rows({ZipRow(L"C:\\Users\\a\\second.txt", ItemZip()), ZipRow(L"C:\\Users\\a\\data.bin", ItemZip())});
    ComPtr<IStream> stream;
    ASSERT_EQ(RestoreFileToStream(rows, stream.put(), 1), kRestoreOk);
    ASSERT_TRUE(stream);
    EXPECT_EQ(StreamBytes(stream.get()), Source(L"Users\\a\\data.bin"));
}

TEST(RestoreFileToStream, FailsWithOrWithoutAStreamAsFarAsItGot) {
    struct Case {
        const char* name;
        SqlRow row;
        size_t index;
        bool streamMade;
    };
    const Case cases[] = {
        {"entry not in the backup", ZipRow(L"C:\\Users\\a\\missing.txt", ItemZip()), 0, true},
        {"entry does not inflate", ZipRow(L"C:\\Users\\a\\doc.txt", Fixture(L"corrupt.zip")), 0, true},
        {"legacy row", LegacyRow(L"C:\\Users\\a\\doc.txt", ItemZip()), 0, true},
        {"no entry name", ZipRow(L"a.exe", ItemZip()), 0, false},
        {"index past the rows", ZipRow(L"C:\\Users\\a\\doc.txt", ItemZip()), 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileRows rows({c.row});
        ComPtr<IStream> stream;
        EXPECT_EQ(RestoreFileToStream(rows, stream.put(), c.index), kRestoreFailed);
        EXPECT_EQ(static_cast<bool>(stream), c.streamMade);
    }
}

}  // namespace
}  // namespace vondrel
