#include "platform/HeapTuning.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

bool HeapTuning::returnLargeBlocksWhenFreed()
{
#if defined(__GLIBC__)
    // Setting either value also turns off the library's own adjustment of both.
    const bool mapped = ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kSeparateBlocksFrom)) == 1;
    const bool trimmed = ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kSeparateBlocksFrom)) == 1;
    return mapped && trimmed;
#else
    return false;
#endif
}
