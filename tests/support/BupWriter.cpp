#include "tests/support/BupWriter.h"

#include <windows.h>
#include <objbase.h>

#include <stdexcept>

#include "base/Handles.h"

namespace vondrel::test {

namespace {

constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::vector<uint8_t> Scrambled(std::vector<uint8_t> bytes) {
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(b ^ 0xA7u);
    return bytes;
}

void Check(HRESULT hr, const char* call) {
    if (FAILED(hr)) throw std::runtime_error(std::string(call) + " failed: " + std::to_string(static_cast<unsigned long>(hr)));
}

void WriteStream(IStorage& storage, const BupStream& content) {
    ComPtr<IStream> stream;
    Check(storage.CreateStream(content.name.c_str(), kCreateMode, 0, 0, stream.put()), "CreateStream");
    std::vector<uint8_t> bytes = Scrambled(content.bytes);
    if (bytes.empty()) return;
    ULONG written = 0;
    Check(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), "IStream::Write");
    if (written != bytes.size()) throw std::runtime_error("IStream::Write wrote too little");
}

}  // namespace

std::vector<BupStream> BupStreams(const std::string& details, const std::vector<std::vector<uint8_t>>& contents) {
    std::vector<BupStream> streams{{L"Details", std::vector<uint8_t>(details.begin(), details.end())}};
    for (size_t i = 0; i < contents.size(); ++i) streams.push_back({L"File_" + std::to_wstring(i), contents[i]});
    return streams;
}

void WriteBupFile(const std::wstring& path, const std::vector<BupStream>& streams) {
    ComPtr<IStorage> storage;
    Check(StgCreateDocfile(path.c_str(), kCreateMode, 0, storage.put()), "StgCreateDocfile");
    for (const BupStream& stream : streams) WriteStream(*storage.get(), stream);
    Check(storage->Commit(STGC_DEFAULT), "IStorage::Commit");
}

}  // namespace vondrel::test
