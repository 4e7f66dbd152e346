#include "base/PathRules.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Padded(const std::wstring& prefix, size_t length) {
    return prefix + std::wstring(length - prefix.size(), L'p');
}

std::wstring CurrentDirectory() {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
    std::wstring dir(buffer, n);
    if (dir.back() != L'\\') dir += L'\\';
    return dir;
}

bool MakeFile(const std::wstring& path) {
    UniqueFile file(CreateFileExtended(path, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    return file.valid();
}

TEST(ExtendedPath, PrefixesByLengthAndTrailingDots) {
    const std::wstring drive261 = Padded(L"C:\\long\\", 261);
    const std::wstring drive248 = Padded(L"C:\\long\\", 248);
    const std::wstring share300 = Padded(L"\\\\server\\share\\", 300);
    const std::wstring mixedShare300 = Padded(L"//server/share/", 300);
    const std::wstring relative300 = Padded(L"dir\\file", 300);
    const std::wstring rooted300 = Padded(L"\\dir\\file", 300);
    const std::wstring prefixed300 = Padded(L"\\\\?\\C:\\x\\", 300);
    const std::wstring device300 = Padded(L"\\\\.\\C:\\x\\", 300);
    const std::wstring digitDrive300 = Padded(L"1:\\x\\", 300);
    struct PrefixCase {
        std::wstring path;
        size_t limit;
        std::wstring expected;
    };
    const PrefixCase cases[] = {
        {L"C:\\dir\\file.txt", 260, L"C:\\dir\\file.txt"},
        {L"C:\\dir.\\file.txt", 260, L"\\\\?\\C:\\dir.\\file.txt"},
        {L"C:\\dir\\file.", 260, L"\\\\?\\C:\\dir\\file."},
        {L"C:\\dir\\.\\..\\file.txt", 260, L"C:\\dir\\.\\..\\file.txt"},
        {L"C:\\dir\\\\file.txt\\", 260, L"C:\\dir\\\\file.txt\\"},
        {L"C:/dir./x", 260, L"\\\\?\\C:/dir./x"},
        {L"\\\\server.\\share", 260, L"\\\\?\\UNC\\server.\\share"},
        {L"\\\\server\\share\\a", 260, L"\\\\server\\share\\a"},
        {drive261, 260, L"\\\\?\\" + drive261},
        {drive261, 248, L"\\\\?\\" + drive261},
        {drive248, 248, drive248},
        {drive248 + L"q", 248, L"\\\\?\\" + drive248 + L"q"},
        {drive248 + L"q", 260, drive248 + L"q"},
        {share300, 260, L"\\\\?\\UNC\\" + share300.substr(2)},
        {mixedShare300, 260, L"\\\\?\\UNC\\" + mixedShare300.substr(2)},  // "/" stays "/"
        {relative300, 260, relative300},
        {L"dir.\\file.", 260, L"dir.\\file."},
        {rooted300, 260, rooted300},
        {prefixed300, 260, prefixed300},
        {device300, 248, device300},
        {L"\\\\?\\C:\\dir.\\x", 260, L"\\\\?\\C:\\dir.\\x"},
        {digitDrive300, 260, digitDrive300},
    };
    for (const PrefixCase& c : cases) {
        ExtendedPath extended(c.path, c.limit);
        EXPECT_EQ(c.expected, extended.c_str()) << Narrow(c.path.substr(0, 40)) << " limit " << c.limit;
        EXPECT_EQ(c.expected != c.path, extended.prefixed());
    }
    EXPECT_EQ(nullptr, ExtendedPath(static_cast<const wchar_t*>(nullptr), 260).c_str());
}

TEST(ExtendedPath, KeepsTrailingDotsAndLongPathsThroughTheRealCalls) {
    test::TempDir dir;
    const std::wstring dotted = dir / L"dir.";
    ASSERT_TRUE(CreateDirectoryW(ExtendedPath(dotted, kDefaultPathLimit).c_str(), nullptr));
    ASSERT_TRUE(MakeFile(dotted + L"\\file."));
    EXPECT_EQ(std::vector<std::wstring>{L"dir."}, test::NamesIn(dir.path()));
    EXPECT_EQ(std::vector<std::wstring>{L"file."}, test::NamesIn(dotted));
    EXPECT_TRUE(FileExists((dotted + L"\\file.").c_str()));
    EXPECT_TRUE(IsDirectory(dotted));
    EXPECT_TRUE(DeleteFileExtended(dotted + L"\\file."));
    EXPECT_TRUE(test::NamesIn(dotted).empty());

    const std::wstring deep = Padded(dir / L"deep\\", 200) + L"\\" + std::wstring(120, L'd');
    ASSERT_GT(deep.size(), kDefaultPathLimit);
    ASSERT_TRUE(CreateParentDirectories(deep + L"\\f.txt"));
    ASSERT_TRUE(IsDirectory(deep));
    ASSERT_TRUE(MakeFile(deep + L"\\f.txt"));
    WIN32_FIND_DATAW data;
    UniqueFind found(FindFirstFileExtended(deep + L"\\f.txt", &data));
    ASSERT_TRUE(found.valid());
    EXPECT_STREQ(L"f.txt", data.cFileName);
    found.reset();
    // The shell's recursive delete stops at its own path limit, so the long levels go one by one.
    EXPECT_TRUE(DeleteFileExtended(deep + L"\\f.txt"));
    EXPECT_TRUE(RemoveDirectoryW(ExtendedPath(deep, kDefaultPathLimit).c_str()));
    EXPECT_EQ(0u, RemoveDirectoryTree((dir / L"deep").c_str()));
    EXPECT_FALSE(IsDirectory(dir / L"deep"));
}

TEST(FullPathName, StripsThePrefixFromWhatTheSystemReturns) {
    struct FullCase {
        std::wstring path;
        std::wstring expected;
    };
    const std::wstring cwd = CurrentDirectory();
    const FullCase cases[] = {
        {L"\\\\?\\C:\\a\\b.txt", L"C:\\a\\b.txt"},
        {L"\\\\?\\UNC\\server\\share\\rest", L"\\\\server\\share\\rest"},
        {L"C:\\a\\..\\b", L"C:\\b"},
        {L"rel\\x.txt", cwd + L"rel\\x.txt"},
    };
    for (const FullCase& c : cases) {
        wchar_t buffer[512];
        const DWORD n = FullPathName(c.path.c_str(), 512, buffer);
        EXPECT_EQ(c.expected, std::wstring(buffer, n)) << Narrow(c.path);
        EXPECT_EQ(c.expected, FullPathString(c.path)) << Narrow(c.path);
    }
    // A buffer that is too small: the needed size comes back and nothing is stripped.
    wchar_t small[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_GT(FullPathName(L"\\\\?\\C:\\a\\b.txt", 4, small), 4u);
    EXPECT_EQ(0u, FullPathName(L"", 16, small));
    EXPECT_EQ(L"", FullPathString(L""));  // the input unchanged when the call fails
}

TEST(PathText, NameParentAndSeparators) {
    struct TextCase {
        std::wstring result;
        std::wstring expected;
    };
    const TextCase cases[] = {
        {FileNameOf(L"C:\\a\\b.txt"), L"b.txt"},
        {FileNameOf(L"C:\\a\\"), L""},
        {FileNameOf(L"b.txt"), L""},
        {ParentWithSeparator(L"C:\\a\\b.txt"), L"C:\\a\\"},
        {ParentWithSeparator(L"b.txt"), L"b.txt"},
        {CollapseSeparators(L"C:\\a\\\\\\b"), L"C:\\a\\b"},
        {CollapseSeparators(L"\\\\server\\\\share\\\\\\x"), L"\\\\server\\share\\x"},
        {CollapseSeparators(L"\\\\\\\\x"), L"\\\\x"},
        {CollapseSeparators(L"\\\\"), L"\\\\"},
        {CollapseSeparators(L"a/\\\\b//c"), L"a/\\b//c"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(c.expected, c.result);
}

TEST(FullPathOf, KeepsTheNameAsWritten) {
    const std::wstring cwd = CurrentDirectory();
    struct FullOfCase {
        std::wstring path;
        std::wstring expected;
    };
    const FullOfCase cases[] = {
        {L"C:\\a\\\\b.txt", L"C:\\a\\b.txt"},
        {L"C:rel\\\\b", L"C:rel\\b"},  // a drive path is taken as absolute
        {L"\\\\?\\C:\\a\\\\b", L"\\\\?\\C:\\a\\b"},
        {L"name.txt", cwd + L"name.txt"},
        {L"a\\b.txt.", cwd + L"a\\b.txt."},
        {L"a\\b.txt ", cwd + L"a\\b.txt "},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
    };
    for (const FullOfCase& c : cases) EXPECT_EQ(c.expected, FullPathOf(c.path)) << Narrow(c.path);
}

TEST(LongPathOf, ExpandsShortDirectoryNames) {
    test::TempDir dir;
    const std::wstring longDir = dir / L"a long directory name";
    ASSERT_TRUE(CreateDirectoryW(longDir.c_str(), nullptr));
    ASSERT_TRUE(MakeFile(longDir + L"\\existing file name.txt"));
    wchar_t shortBuffer[MAX_PATH];
    const DWORD n = GetShortPathNameW((longDir + L"\\existing file name.txt").c_str(), shortBuffer, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::wstring shortFile(shortBuffer, n);
    const std::wstring shortDir = ParentWithSeparator(shortFile);
    ASSERT_NE(std::wstring::npos, shortDir.find(L'~')) << Narrow(shortDir);

    const std::wstring longTemp = LongPathString(dir.path());
    EXPECT_EQ(longTemp + L"\\a long directory name\\new.txt", LongPathOf(shortDir + L"new.txt"));
    EXPECT_EQ(longTemp + L"\\a long directory name\\existing file name.txt", LongPathOf(shortFile));
    EXPECT_EQ(longTemp + L"\\a long directory name\\", LongPathString(shortDir));
    EXPECT_EQ(L"C:\\no\\such\\PROGRA~9", LongPathString(L"C:\\no\\such\\PROGRA~9"));  // unchanged on failure
}

// One resolver across the files of several folders, in and out of order, answers what LongPathOf
// answers for each.
TEST(LongPathResolver, GivesLongPathOfForEveryFileWhateverTheFolderBefore) {
    test::TempDir dir;
    const std::wstring first = dir / L"first long folder name";
    const std::wstring second = dir / L"second long folder name";
    ASSERT_TRUE(CreateDirectoryW(first.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(second.c_str(), nullptr));
    wchar_t shortBuffer[MAX_PATH];
    const DWORD n = GetShortPathNameW(first.c_str(), shortBuffer, MAX_PATH);
    ASSERT_GT(n, 0u);
    const std::wstring shortFirst(shortBuffer, n);
    ASSERT_NE(std::wstring::npos, shortFirst.find(L'~')) << Narrow(shortFirst);

    const std::wstring paths[] = {
        shortFirst + L"\\a.txt", shortFirst + L"\\b.txt", second + L"\\c.txt",
        shortFirst + L"\\d.txt", shortFirst + L"\\NAME~1.TXT", dir / L"top.txt",
    };
    LongPathResolver resolver;
    for (const std::wstring& path : paths) EXPECT_EQ(LongPathOf(path), resolver.Of(path)) << Narrow(path);
    EXPECT_EQ(LongPathString(dir.path()) + L"\\first long folder name\\d.txt", resolver.Of(paths[3]));
}

TEST(FileTests, DirectoriesFilesAndPatterns) {
    test::TempDir dir;
    ASSERT_TRUE(MakeFile(dir / L"f.txt"));
    EXPECT_TRUE(IsDirectory(dir.path()));
    EXPECT_FALSE(IsDirectory(dir / L"f.txt"));
    EXPECT_FALSE(IsDirectory(dir / L"missing"));
    EXPECT_TRUE(FileExists((dir / L"f.txt").c_str()));
    EXPECT_TRUE(FileExists((dir / L"*.txt").c_str()));
    EXPECT_FALSE(FileExists((dir / L"missing").c_str()));
    EXPECT_FALSE(FileExists(nullptr));
}

TEST(CreateDirectoryTree, CreatesMissingParents) {
    test::TempDir dir;
    const std::wstring nested = dir / L"a\\b\\c";
    EXPECT_TRUE(CreateDirectoryTree(nested));
    EXPECT_TRUE(IsDirectory(nested));
    EXPECT_TRUE(CreateDirectoryTree(nested));  // exists already
    ASSERT_TRUE(MakeFile(dir / L"file"));
    EXPECT_FALSE(CreateDirectoryTree(dir / L"file\\sub"));
    EXPECT_FALSE(CreateDirectoryTree(dir / L"file"));  // a file is no directory
    // Longer than the shell's limit: the directory is not there afterwards, so no success.
    EXPECT_FALSE(CreateDirectoryTree(Padded(dir / L"long\\", 200) + L"\\" + std::wstring(120, L'd')));
    EXPECT_FALSE(CreateDirectoryTree(L""));
}

TEST(CreateParentDirectories, CreatesTheFoldersAboveAFile) {
    test::TempDir dir;
    EXPECT_TRUE(CreateParentDirectories(dir / L"x\\y\\z\\file.bin"));
    EXPECT_TRUE(IsDirectory(dir / L"x\\y\\z"));
    EXPECT_FALSE(IsDirectory(dir / L"x\\y\\z\\file.bin"));
    EXPECT_TRUE(CreateParentDirectories(L"no-separator.bin"));
    EXPECT_TRUE(CreateParentDirectories(dir / L"x\\y\\z\\again.bin"));  // existing folders are fine
}

TEST(RemoveDirectoryTree, RemovesFilesAndSubFolders) {
    test::TempDir dir;
    const std::wstring tree = dir / L"tree";
    ASSERT_TRUE(CreateDirectoryTree(tree + L"\\sub\\deeper"));
    ASSERT_TRUE(MakeFile(tree + L"\\top.txt"));
    ASSERT_TRUE(MakeFile(tree + L"\\sub\\deeper\\low.txt"));
    EXPECT_EQ(0u, RemoveDirectoryTree(tree.c_str()));
    EXPECT_FALSE(IsDirectory(tree));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RemoveDirectoryTree(L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RemoveDirectoryTree(nullptr));
    EXPECT_NE(0u, RemoveDirectoryTree((dir / L"missing").c_str()));
}

TEST(RemoveDirectoryTree, AFileThatCannotGoKeepsItsFolderAndFailsTheCall) {
    test::TempDir dir;
    const std::wstring tree = dir / L"work";
    ASSERT_TRUE(CreateDirectoryTree(tree + L"\\item\\C\\Users"));
    ASSERT_TRUE(MakeFile(tree + L"\\item\\C\\Users\\held.bin"));
    ASSERT_TRUE(MakeFile(tree + L"\\item\\C\\free.bin"));
    {
        UniqueFile held(CreateFileW((tree + L"\\item\\C\\Users\\held.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        EXPECT_NE(0u, RemoveDirectoryTree(tree.c_str()));
        EXPECT_TRUE(FileExists((tree + L"\\item\\C\\Users\\held.bin").c_str()));
        EXPECT_FALSE(FileExists((tree + L"\\item\\C\\free.bin").c_str()));
    }
    EXPECT_EQ(0u, RemoveDirectoryTree(tree.c_str()));
    EXPECT_FALSE(IsDirectory(tree));
}

TEST(RemoveDirectoryTree, RemovesFilesOnlyThePrefixedPathNames) {
    // A restored sample named "x.exe." must not outlive its work folder.
    test::TempDir dir;
    const std::wstring tree = dir / L"work";
    ASSERT_TRUE(CreateDirectoryTree(tree));
    ASSERT_TRUE(MakeFile(tree + L"\\evil.exe."));
    ASSERT_TRUE(MakeFile(tree + L"\\dots..."));
    ASSERT_TRUE(MakeFile(tree + L"\\plain.txt"));
    ASSERT_TRUE(FileExists((tree + L"\\evil.exe.").c_str()));
    EXPECT_EQ(0u, RemoveDirectoryTree(tree.c_str()));
    EXPECT_FALSE(IsDirectory(tree));
}

}  // namespace
}  // namespace vondrel
