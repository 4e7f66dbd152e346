// Sinks that extracted zip content is written into: a new file on disk or a caller's IStream. The
// reader opens the sink, writes the entry block by block and closes it again.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "base/Handles.h"

namespace vondrel {

class FileWriter {
public:
    virtual bool Open() = 0;
    // Called once after a successful Open, whatever happened in between.
    virtual void Close() = 0;
    // True only when every byte was taken.
    virtual bool Write(const void* buffer, DWORD length) = 0;
    virtual ~FileWriter() = default;
};

// Writes into a stream the caller owns; no reference is added or released.
class IStreamWriter : public FileWriter {
public:
    explicit IStreamWriter(IStream* target) : target_(target) {}
    bool Open() override;
    void Close() override;
    bool Write(const void* buffer, DWORD length) override;

private:
    IStream* target_;
};

// Writes into a new file; an existing file makes Open fail, so nothing is ever overwritten. The path
// is borrowed and must outlive the writer.
class WinIOWriter : public FileWriter {
public:
    explicit WinIOWriter(const wchar_t* path) : path_(path) {}
    bool Open() override;
    void Close() override;
    bool Write(const void* buffer, DWORD length) override;

private:
    const wchar_t* path_;
    UniqueFile handle_;
};

}  // namespace vondrel
