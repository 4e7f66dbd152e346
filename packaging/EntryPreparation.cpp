#include "packaging/EntryPreparation.h"

#include <zlib.h>

#include <climits>
#include <memory>

#include "base/PathRules.h"
#include "base/QuarFileStream.h"

namespace vondrel {
namespace {

// How many entries may wait deflated ahead of the writer: bounds the memory they hold.
constexpr size_t kEntriesAheadPerWorker = 2;
constexpr unsigned kMaxWorkers = 4;

// Frees the deflate state however the preparation ends.
class Deflater {
public:
    Deflater() { ready_ = deflateInit2(&stream_, kCompressionLevel, Z_DEFLATED, -MAX_WBITS, kMemoryLevel,
                                       Z_DEFAULT_STRATEGY) == Z_OK; }
    ~Deflater() {
        if (ready_) deflateEnd(&stream_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool ready() const { return ready_; }

    // Deflates one block into out, which was sized by Bound and so never runs short.
    bool Add(const unsigned char* data, ULONG length, int flush, std::vector<unsigned char>& out) {
        stream_.next_in = const_cast<unsigned char*>(data);
        stream_.avail_in = length;
        stream_.next_out = out.data() + stream_.total_out;
        stream_.avail_out = static_cast<uInt>(out.size() - stream_.total_out);
        const int result = deflate(&stream_, flush);
        return flush == Z_FINISH ? result == Z_STREAM_END : result == Z_OK && stream_.avail_in == 0;
    }

    uLong Bound(uint64_t size) { return deflateBound(&stream_, static_cast<uLong>(size)); }
    uLong total() const { return stream_.total_out; }
    bool text() const { return stream_.data_type == Z_TEXT; }

private:
    z_stream stream_{};
    bool ready_ = false;
};

// The content is fed in the writer's block size, as the one-at-a-time path feeds it, so that the
// deflated bytes are the same.
bool ReadAndDeflate(IStream* stream, PreparedEntry& entry) {
    Deflater deflater;
    if (!deflater.ready()) return false;
    entry.deflated.resize(deflater.Bound(entry.size) + kStreamBufferSize);
    std::vector<unsigned char> block(kStreamBufferSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    for (;;) {
        ULONG count = 0;
        if (FAILED(stream->Read(block.data(), kStreamBufferSize, &count))) return false;
        if (count == 0) break;
        total += count;
        // A file that grew past its stated size would overrun the bound: the writer takes it instead.
        if (total > entry.size) return false;
        crc = crc32(crc, block.data(), count);
        if (!deflater.Add(block.data(), count, Z_NO_FLUSH, entry.deflated)) return false;
    }
    if (total != entry.size || !deflater.Add(nullptr, 0, Z_FINISH, entry.deflated)) return false;
    entry.deflated.resize(deflater.total());
    entry.crc = crc;
    entry.text = deflater.text();
    return true;
}

PreparedEntry Prepare(const std::wstring& path) {
    PreparedEntry entry;
    entry.state = PreparedEntry::State::Stream;
    ComPtr<IStream> stream;
    if (FAILED(QuarFileStream::Open(path.c_str(), stream.put())) || !stream) return entry;
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return entry;
    entry.size = stat.cbSize.QuadPart;
    entry.dosDateTime = DosDateTimeOf(stat.mtime);
    if (entry.size > kPreparedEntryLimit || !ReadAndDeflate(stream.get(), entry)) {
        entry.deflated = std::vector<unsigned char>();
        return entry;
    }
    entry.state = PreparedEntry::State::Ready;
    return entry;
}

// The files' entries, prepared by the workers in order of index and taken by the writer in the same
// order; a worker stays at most kEntriesAheadPerWorker entries per worker ahead of the writer.
class PreparationQueue {
public:
    PreparationQueue(const std::vector<std::wstring>& paths, size_t ahead)
        : paths_(paths), entries_(paths.size()), ahead_(ahead) {}

    // A worker's loop: prepares the next entry until none is left or the writer has stopped.
    void Work() {
        for (;;) {
            const size_t index = NextIndex();
            if (index == kNone) return;
            Publish(index, PrepareEntry(paths_[index]));
        }
    }

    // The writer's turn at index: waits until its entry is prepared and takes it.
    PreparedEntry Take(size_t index) {
        AcquireSRWLockExclusive(&lock_);
        while (entries_[index].state == PreparedEntry::State::Pending)
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        PreparedEntry entry = std::move(entries_[index]);
        entries_[index] = PreparedEntry{};
        written_ = index + 1;
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
        return entry;
    }

    // No entry is handed out after this; workers finish the one they hold.
    void Stop() {
        AcquireSRWLockExclusive(&lock_);
        stopped_ = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    size_t NextIndex() {
        AcquireSRWLockExclusive(&lock_);
        while (!stopped_ && next_ < paths_.size() && next_ >= written_ + ahead_)
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        const size_t index = stopped_ || next_ >= paths_.size() ? kNone : next_++;
        ReleaseSRWLockExclusive(&lock_);
        return index;
    }

    void Publish(size_t index, PreparedEntry entry) {
        AcquireSRWLockExclusive(&lock_);
        entries_[index] = std::move(entry);
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
    }

    const std::vector<std::wstring>& paths_;
    std::vector<PreparedEntry> entries_;
    const size_t ahead_;
    size_t next_ = 0;
    size_t written_ = 0;
    bool stopped_ = false;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
};

DWORD WINAPI WorkerMain(void* queue) {
    static_cast<PreparationQueue*>(queue)->Work();
    return 0;
}

// The worker threads, stopped and joined when it goes, whichever way the writer leaves.
class WorkerGroup {
public:
    WorkerGroup(PreparationQueue& queue, unsigned count) : queue_(queue) {
        threads_.reserve(count);  // so that no thread is started before an allocation that can fail
        for (unsigned i = 0; i < count; ++i) {
            UniqueKernelHandle thread(CreateThread(nullptr, 0, WorkerMain, &queue_, 0, nullptr));
            if (thread) threads_.push_back(std::move(thread));
        }
    }
    ~WorkerGroup() {
        queue_.Stop();
        for (const UniqueKernelHandle& thread : threads_) WaitForSingleObject(thread.get(), INFINITE);
    }
    WorkerGroup(const WorkerGroup&) = delete;
    WorkerGroup& operator=(const WorkerGroup&) = delete;

    bool empty() const { return threads_.empty(); }

private:
    PreparationQueue& queue_;
    std::vector<UniqueKernelHandle> threads_;
};

bool AddOnThisThread(const std::wstring& path, ZipArchiveAppender& archive) {
    return AddResolvedFileToZip(path, archive) == kZipAddOk;
}

bool WriteInTurn(const std::wstring& path, const PreparedEntry& entry, ZipArchiveAppender& archive) {
    if (entry.state != PreparedEntry::State::Ready) return AddOnThisThread(path, archive);
    return WritePreparedEntry(entry, path, archive);
}

// The queue and its workers, or none when they cannot be had: the files are then added one at a time.
bool StartWorkers(const std::vector<std::wstring>& paths, unsigned workers, std::unique_ptr<PreparationQueue>& queue,
                  std::unique_ptr<WorkerGroup>& group) {
    if (workers == 0 || paths.size() < 2) return false;
    try {
        queue.reset(new PreparationQueue(paths, kEntriesAheadPerWorker * workers));
        group.reset(new WorkerGroup(*queue, workers));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return !group->empty();
}

}  // namespace

PreparedEntry PrepareEntry(const std::wstring& path) {
    try {
        return Prepare(path);
    } catch (const std::bad_alloc&) {
        PreparedEntry entry;
        entry.state = PreparedEntry::State::Stream;
        return entry;
    }
}

bool WritePreparedEntry(const PreparedEntry& entry, const std::wstring& path, ZipArchiveAppender& archive) {
    if (entry.state != PreparedEntry::State::Ready) return false;
    try {
        ZipEntryWriter writer(archive, FileNameOf(path).c_str(), entry.dosDateTime, entry.size, entry.crc,
                              ZipEntryWriter::Raw{entry.text});
        const unsigned char* data = entry.deflated.data();
        size_t left = entry.deflated.size();
        while (left > 0) {
            const unsigned chunk = left > UINT_MAX ? UINT_MAX : static_cast<unsigned>(left);
            writer.Write(data, chunk);
            data += chunk;
            left -= chunk;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void AddFilesToZip(const std::vector<std::wstring>& paths, ZipArchiveAppender& archive, unsigned workers,
                   const std::function<void(size_t, bool)>& done) {
    std::unique_ptr<PreparationQueue> queue;
    std::unique_ptr<WorkerGroup> group;  // declared after the queue, so it is joined before the queue goes
    const bool ahead = StartWorkers(paths, workers, queue, group);
    for (size_t i = 0; i < paths.size(); ++i) {
        const bool added = ahead ? WriteInTurn(paths[i], queue->Take(i), archive) : AddOnThisThread(paths[i], archive);
        done(i, added);
    }
}

unsigned PreparationWorkers() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    if (info.dwNumberOfProcessors <= 1) return 0;
    return info.dwNumberOfProcessors < kMaxWorkers ? info.dwNumberOfProcessors : kMaxWorkers;
}

}  // namespace vondrel
