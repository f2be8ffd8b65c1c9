#pragma once
// Exact heap figures for the programs that measure memory: heap_counter.cpp
// replaces operator new and delete and counts every block. It is linked only
// into those programs, so the other tests keep the sanitizer's own checks of
// new and delete.
#include <cstddef>

namespace kdv::testing {

// Bytes in use now.
std::size_t LiveHeapBytes();

// The most bytes in use at once while `work` ran, beyond those in use
// before it.
template <class TWork>
std::size_t PeakHeapBytesOf(TWork work);

// Starts a new peak at the bytes in use now and returns them.
std::size_t RestartHeapPeak();
// The peak since the last restart.
std::size_t HeapPeak();

template <class TWork>
std::size_t PeakHeapBytesOf(TWork work) {
    const std::size_t before = RestartHeapPeak();
    work();
    return HeapPeak() - before;
}

}  // namespace kdv::testing
