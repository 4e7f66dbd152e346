// Adds a list of files to an archive in their order while worker threads read and deflate the files
// ahead of the writer, so that a machine's cores share the compression. The archive's bytes are those
// of adding the files one at a time: each file is deflated with the writer's own settings and input
// blocks, and the writer, on the calling thread, draws each entry's encryption header and encrypts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "packaging/ZipWriter.h"

namespace vondrel {

// One file read and deflated in memory, ready to be written as a raw entry. Stream: the file is not
// held in memory (too large, or it could not be read whole as it was stated), and the writer adds it
// in its turn the one-at-a-time way, with that way's result.
struct PreparedEntry {
    enum class State { Pending, Ready, Stream };
    State state = State::Pending;
    uLong dosDateTime = 0;
    uint64_t size = 0;
    uLong crc = 0;
    bool text = false;  // deflate's judgement of the content
    std::vector<unsigned char> deflated;
};

// Files larger than this are not held in memory.
constexpr uint64_t kPreparedEntryLimit = 8u << 20;

// Reads and deflates the file at path (a long, full path): Ready or Stream. Safe on any thread.
PreparedEntry PrepareEntry(const std::wstring& path);

// Writes the Ready entry of the file at path into the archive under the file's name; false when the
// archive or the entry could not be written.
bool WritePreparedEntry(const PreparedEntry& entry, const std::wstring& path, ZipArchiveAppender& archive);

// Adds each of paths (long, full paths) to the archive in order and tells done(index, added) after
// each, on the calling thread, before the next file is written. workers: the threads that prepare
// entries ahead; 0 prepares none and adds every file on the calling thread.
void AddFilesToZip(const std::vector<std::wstring>& paths, ZipArchiveAppender& archive, unsigned workers,
                   const std::function<void(size_t, bool)>& done);

// The worker count for this machine: one per processor, at most four; none on a single processor.
unsigned PreparationWorkers();

}  // namespace vondrel
