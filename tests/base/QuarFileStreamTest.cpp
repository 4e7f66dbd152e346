#include "base/QuarFileStream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/Handles.h"
#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using test::TempDir;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kInvalidFunction = static_cast<HRESULT>(0x80030001);

ComPtr<IStream> OpenStream(const std::wstring& path) {
    ComPtr<IStream> stream;
    EXPECT_EQ(S_OK, QuarFileStream::Open(path.c_str(), stream.put()));
    EXPECT_TRUE(stream);
    return stream;
}

std::string ReadAll(IStream* stream) {
    std::string text;
    char buffer[7];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0) text.append(buffer, got);
    return text;
}

uint64_t Position(IStream* stream) {
    LARGE_INTEGER zero{};
    ULARGE_INTEGER at{};
    EXPECT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_CUR, &at));
    return at.QuadPart;
}

bool CanOpenExclusively(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
}

TEST(QuarFileStreamOpen, MissingFileGivesFileNotFoundAndNoStream) {
    TempDir dir;
    IStream* stream = reinterpret_cast<IStream*>(0x1);
    EXPECT_EQ(kFileNotFound, QuarFileStream::Open((dir / L"missing.bin").c_str(), &stream));
    EXPECT_EQ(nullptr, stream);
}

TEST(QuarFileStreamOpen, FileHeldOpenForWritingStillOpens) {
    TempDir dir;
    const std::wstring path = dir / L"busy.txt";
    test::WriteText(path, "busy");
    UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    ComPtr<IStream> stream = OpenStream(path);
    ASSERT_TRUE(stream);
    EXPECT_EQ("busy", ReadAll(stream.get()));
}

TEST(QuarFileStreamOpen, DirectoryOpensButDoesNotRead) {
    TempDir dir;
    ComPtr<IStream> stream = OpenStream(dir.path());
    ASSERT_TRUE(stream);
    char buffer[16];
    ULONG got = 99;
    const HRESULT result = stream->Read(buffer, sizeof buffer, &got);
    EXPECT_TRUE(FAILED(result));
    EXPECT_EQ(0x80070000u, static_cast<unsigned>(result) & 0xFFFF0000u);
}

TEST(QuarFileStreamOpen, LongPathOpensAndStatNamesItWithoutPrefix) {
    TempDir dir;
    std::wstring folder = dir / std::wstring(120, L'd');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    const std::wstring path = folder + L"\\" + std::wstring(140, L'f') + L".txt";
    test::WriteText(path, "long");
    ComPtr<IStream> stream = OpenStream(path);
    ASSERT_TRUE(stream);
    STATSTG stat{};
    ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
    ASSERT_NE(nullptr, stat.pwcsName);
    EXPECT_EQ(path, std::wstring(stat.pwcsName));
    CoTaskMemFree(stat.pwcsName);
}

class QuarFileStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_ / L"content.txt";
        test::WriteText(path_, "0123456789abcdef");
        stream_ = OpenStream(path_);
        ASSERT_TRUE(stream_);
    }

    TempDir dir_;
    std::wstring path_;
    ComPtr<IStream> stream_;
};

TEST_F(QuarFileStreamTest, ReadsWholeFileAndAllowsNullCount) {
    char buffer[4] = {};
    EXPECT_EQ(S_OK, stream_->Read(buffer, sizeof buffer, nullptr));
    EXPECT_EQ("0123", std::string(buffer, 4));
    EXPECT_EQ("456789abcdef", ReadAll(stream_.get()));
}

TEST_F(QuarFileStreamTest, SeekOrigins) {
    struct Case {
        LONGLONG move;
        DWORD origin;
        uint64_t expected;
    };
    const Case cases[] = {{5, STREAM_SEEK_SET, 5}, {3, STREAM_SEEK_CUR, 8}, {-2, STREAM_SEEK_CUR, 6},
                          {-4, STREAM_SEEK_END, 12}, {0, STREAM_SEEK_END, 16}, {0, STREAM_SEEK_SET, 0}};
    for (const Case& c : cases) {
        LARGE_INTEGER move;
        move.QuadPart = c.move;
        ULARGE_INTEGER at{};
        EXPECT_EQ(S_OK, stream_->Seek(move, c.origin, &at)) << c.move << " from " << c.origin;
        EXPECT_EQ(c.expected, at.QuadPart) << c.move << " from " << c.origin;
    }
    LARGE_INTEGER seven;
    seven.QuadPart = 7;
    EXPECT_EQ(S_OK, stream_->Seek(seven, STREAM_SEEK_SET, nullptr));
    EXPECT_EQ("789abcdef", ReadAll(stream_.get()));
}

TEST_F(QuarFileStreamTest, UnknownSeekOriginIsRejectedAndKeepsPosition) {
    LARGE_INTEGER move;
    move.QuadPart = 3;
    ASSERT_EQ(S_OK, stream_->Seek(move, STREAM_SEEK_SET, nullptr));
    ULARGE_INTEGER at{};
    at.QuadPart = 77;
    EXPECT_EQ(kInvalidFunction, stream_->Seek(move, 3, &at));
    EXPECT_EQ(3u, Position(stream_.get()));
}

TEST_F(QuarFileStreamTest, WritingAndResizingTheReadOnlyHandleAreDenied) {
    ULONG written = 99;
    EXPECT_EQ(kAccessDenied, stream_->Write("xy", 2, &written));
    EXPECT_EQ(kAccessDenied, stream_->Write("xy", 2, nullptr));
    ULARGE_INTEGER size;
    size.QuadPart = 4;
    // Windows reports access denied, Wine an invalid parameter: either way a Win32 error.
    const HRESULT resized = stream_->SetSize(size);
    EXPECT_TRUE(FAILED(resized));
    EXPECT_EQ(0x80070000u, static_cast<unsigned>(resized) & 0xFFFF0000u);
    EXPECT_EQ("0123456789abcdef", test::ReadText(path_));
}

TEST_F(QuarFileStreamTest, StatWithAndWithoutName) {
    SYSTEMTIME when{2021, 6, 2, 15, 12, 34, 56, 0};
    FILETIME written;
    ASSERT_TRUE(SystemTimeToFileTime(&when, &written));
    {
        UniqueFile file(CreateFileW(path_.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
    }
    STATSTG stat{};
    stat.pwcsName = reinterpret_cast<LPOLESTR>(0x1);
    ASSERT_EQ(S_OK, stream_->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(nullptr, stat.pwcsName);
    EXPECT_EQ(16u, stat.cbSize.QuadPart);
    EXPECT_EQ(written.dwLowDateTime, stat.mtime.dwLowDateTime);
    EXPECT_EQ(written.dwHighDateTime, stat.mtime.dwHighDateTime);

    STATSTG named{};
    ASSERT_EQ(S_OK, stream_->Stat(&named, STATFLAG_DEFAULT));
    ASSERT_NE(nullptr, named.pwcsName);
    EXPECT_EQ(path_, std::wstring(named.pwcsName));
    CoTaskMemFree(named.pwcsName);
}

TEST_F(QuarFileStreamTest, QueryInterfaceForItsThreeInterfacesOnly) {
    for (REFIID iid : {IID_IUnknown, IID_IStream, IID_ISequentialStream}) {
        void* object = nullptr;
        EXPECT_EQ(S_OK, stream_->QueryInterface(iid, &object));
        EXPECT_EQ(static_cast<void*>(stream_.get()), object);
        EXPECT_EQ(1u, stream_->Release());
    }
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, stream_->QueryInterface(IID_IPersist, &object));
    EXPECT_EQ(nullptr, object);
}

TEST_F(QuarFileStreamTest, ReferenceCountAndReleaseClosesTheFile) {
    EXPECT_EQ(2u, stream_->AddRef());
    EXPECT_EQ(1u, stream_->Release());
    EXPECT_FALSE(CanOpenExclusively(path_));
    EXPECT_EQ(0u, stream_.detach()->Release());
    EXPECT_TRUE(CanOpenExclusively(path_));
}

class QuarFileStreamLogTest : public QuarFileStreamTest {};

TEST_F(QuarFileStreamLogTest, UnimplementedOperationsLogOnceAndReturnNotImpl) {
    ULARGE_INTEGER n{};
    struct Case {
        const wchar_t* line;
        std::function<HRESULT(IStream*)> call;
    };
    const Case cases[] = {
        {L"Quarantine Library called ISTream::CopyTo. This should be impmented.",
         [&](IStream* s) { return s->CopyTo(nullptr, n, nullptr, nullptr); }},
        {L"Quarantine Library called ISTream::Commit. This should be impmented.",
         [](IStream* s) { return s->Commit(STGC_DEFAULT); }},
        {L"Quarantine Library called ISTream::Revert. This should be impmented.", [](IStream* s) { return s->Revert(); }},
        {L"Quarantine Library called ISTream::LockRegion. This should be impmented.",
         [&](IStream* s) { return s->LockRegion(n, n, LOCK_WRITE); }},
        {L"Quarantine Library called ISTream::UnlockRegion. This should be impmented.",
         [&](IStream* s) { return s->UnlockRegion(n, n, LOCK_WRITE); }},
        {L"Quarantine Library called ISTream::Clone. This should be impmented.",
         [](IStream* s) {
             IStream* clone = reinterpret_cast<IStream*>(0x1);
             HRESULT r = s->Clone(&clone);
             return clone == nullptr ? r : E_FAIL;
         }},
    };
    for (const Case& c : cases) {
        test::LogCapture log;
        EXPECT_EQ(E_NOTIMPL, c.call(stream_.get())) << c.line;
        const std::vector<std::wstring> lines = log.Lines();
        ASSERT_EQ(1u, lines.size()) << c.line;
        EXPECT_EQ(c.line, lines[0]);
    }
}

}  // namespace
}  // namespace vondrel
