#pragma once

#include <cstddef>

// Keeps the memory of large, short-lived buffers (a reply read up to its cap,
// a long log text) from staying with the process once they are freed.
//
// The C library maps each large block on its own and unmaps it when it is
// freed, but by default it raises the size from which it does so to the size
// of every such block freed; later blocks below that size then come from the
// heap of the thread that asks, and a heap rarely shrinks. On a station whose
// worker threads each met one oversized reply, tens of MiB stayed resident
// for good. A fixed threshold ends that.
class HeapTuning {
public:
    // Blocks of this size and more are mapped on their own and returned to
    // the system as soon as they are freed.
    static constexpr size_t kSeparateBlocksFrom = 1024 * 1024;

    // Process-wide; call once, early in main. False where the C library offers no such setting.
    static bool returnLargeBlocksWhenFreed();
};
