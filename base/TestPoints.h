// Named places of a run at which a test build of the program stops and waits, so that a crash test
// kills it exactly there however fast or loaded the machine is. The product build compiles every
// point to nothing: the call sites stay, the facility does not.
#pragma once

namespace vondrel {

enum class TestPoint {
    FileRestored,     // a restored file is complete on disk and logged
    FilePacked,       // one more file is in the archive; the folder's next file is not yet
    RequestSent,      // the upload's request and body are sent; its answer is not yet read
    CacheWritten,     // the cache's temporary file is complete; the old cache is still in place
    ArchiveRecorded,  // an uploaded archive's items are in the cache
};

#ifdef VONDREL_TEST_POINTS
// Stops when the point and its arrival count are the ones the test asked for; see TestPoints.cpp.
void ReachTestPoint(TestPoint point);
#else
inline void ReachTestPoint(TestPoint) {}
#endif

}  // namespace vondrel
