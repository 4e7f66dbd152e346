// minizip's file callbacks against a plain model of the file: whatever mix of reads, seeks, tells and
// writes minizip makes, through the read block or past it, they must see and leave the bytes a
// handle without a block would.
#include "packaging/ZipWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vondrel {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kReadWriteExisting = ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_WRITE | ZLIB_FILEFUNC_MODE_EXISTING;

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes bytes(size);
    std::mt19937 random(seed);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// The file as a handle without a block would leave it, and where it stands.
struct Model {
    Bytes content;
    uint64_t position = 0;

    Bytes Read(size_t size) {
        const size_t start = static_cast<size_t>(std::min<uint64_t>(position, content.size()));
        const size_t count = std::min(size, content.size() - start);
        position += count;
        return Bytes(content.begin() + start, content.begin() + start + count);
    }
    void Write(const Bytes& bytes) {
        if (content.size() < position + bytes.size()) content.resize(position + bytes.size());
        std::copy(bytes.begin(), bytes.end(), content.begin() + position);
        position += bytes.size();
    }
};

class Callbacks {
public:
    explicit Callbacks(const std::wstring& path, int mode = kReadWriteExisting)
        : functions_(ZipFileFunctions()), handle_(functions_.zopen64_file(nullptr, path.c_str(), mode)) {}
    ~Callbacks() { Close(); }
    Callbacks(const Callbacks&) = delete;
    Callbacks& operator=(const Callbacks&) = delete;

    Bytes Read(size_t size) {
        Bytes bytes(size);
        bytes.resize(functions_.zread_file(nullptr, handle_, bytes.data(), static_cast<uLong>(size)));
        return bytes;
    }
    uLong Write(const Bytes& bytes) {
        return functions_.zwrite_file(nullptr, handle_, bytes.data(), static_cast<uLong>(bytes.size()));
    }
    long Seek(ZPOS64_T offset, int origin) { return functions_.zseek64_file(nullptr, handle_, offset, origin); }
    ZPOS64_T Tell() { return functions_.ztell64_file(nullptr, handle_); }
    int Error() { return functions_.zerror_file(nullptr, handle_); }
    void Close() {
        if (handle_ != nullptr) functions_.zclose_file(nullptr, handle_);
        handle_ = nullptr;
    }

private:
    zlib_filefunc64_def functions_;
    voidpf handle_;
};

// Sizes around the block's size and alignment, and minizip's own: 1, 2 and 4-byte header fields,
// its 1 KiB comment search and 16 KiB inflate input.
const size_t kReadSizes[] = {1, 2, 4, 46, 1028, 16384, 32767, 32768, 40000, 65535, 65536, 65537, 200000};

TEST(ZipFileFunctions, ReadsSeeksTellsAndWritesSeeTheFileAsItIs) {
    test::TempDir dir;
    const std::wstring path = dir / L"file.bin";
    Model model{Pattern(300000, 1)};
    test::WriteBytes(path, model.content);
    std::mt19937 random(7);
    {
        Callbacks file(path);
        for (int step = 0; step < 3000; ++step) {
            SCOPED_TRACE(testing::Message() << "step " << step << " at " << model.position);
            const unsigned choice = random() % 10;
            if (choice < 5) {
                const size_t size = kReadSizes[random() % std::size(kReadSizes)];
                ASSERT_EQ(file.Read(size), model.Read(size));
            } else if (choice < 7) {
                const uint64_t target = random() % (model.content.size() + 70000);  // also past the end
                ASSERT_EQ(file.Seek(target, ZLIB_FILEFUNC_SEEK_SET), 0);
                model.position = target;
            } else if (choice == 7) {
                const uint64_t back = random() % 3000;
                ASSERT_EQ(file.Seek(back, ZLIB_FILEFUNC_SEEK_END), 0);  // minizip's "end" seeks move forwards only
                model.position = model.content.size() + back;
            } else if (choice == 8) {
                const uint64_t forward = random() % 5000;
                ASSERT_EQ(file.Seek(forward, ZLIB_FILEFUNC_SEEK_CUR), 0);
                model.position += forward;
            } else {
                const Bytes bytes = Pattern(1 + random() % 100, step);
                ASSERT_EQ(file.Write(bytes), bytes.size());
                model.Write(bytes);
            }
            ASSERT_EQ(file.Tell(), model.position);
            ASSERT_EQ(file.Error(), 0);
        }
    }
    EXPECT_TRUE(test::ReadBytes(path) == model.content) << "the file differs from its model";
}

TEST(ZipFileFunctions, AFailedCallFailsEveryLaterCall) {
    test::TempDir dir;
    const std::wstring path = dir / L"file.bin";
    test::WriteBytes(path, Pattern(1000, 2));
    {
        Callbacks file(path);
        ASSERT_EQ(file.Read(10).size(), 10u);
        EXPECT_EQ(file.Seek(static_cast<ZPOS64_T>(-20), ZLIB_FILEFUNC_SEEK_CUR), -1);  // before the start
        EXPECT_EQ(file.Error(), 1);
        EXPECT_EQ(file.Read(10).size(), 0u);  // inside what the block holds, all the same
        EXPECT_EQ(file.Tell(), static_cast<ZPOS64_T>(-1));
        EXPECT_EQ(file.Seek(0, ZLIB_FILEFUNC_SEEK_SET), -1);
        EXPECT_EQ(file.Write(Bytes(5, 'x')), 0u);
    }
    {
        Callbacks file(path);
        EXPECT_EQ(file.Seek(0, 7), -1);  // an unknown origin fails the call, not the handle
        EXPECT_EQ(file.Error(), 0);
        EXPECT_EQ(file.Seek(static_cast<ZPOS64_T>(-1), ZLIB_FILEFUNC_SEEK_SET), -1);
        EXPECT_EQ(file.Error(), 1);
    }
    Callbacks missing(dir / L"missing.bin");
    EXPECT_EQ(missing.Error(), 1);
    EXPECT_EQ(missing.Read(1).size(), 0u);
    EXPECT_TRUE(test::ReadBytes(path) == Pattern(1000, 2));
}

}  // namespace
}  // namespace vondrel
