#include "support/heap/heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

#ifdef _WIN32
// The C runtime's name for the usable size of a heap block.
std::size_t malloc_usable_size(void* block) { return _msize(block); }
#endif

std::atomic<std::size_t> live_bytes{0};
std::atomic<std::size_t> peak_bytes{0};

void* Counted(void* block) {
    if (block == nullptr) return nullptr;
    const std::size_t now = live_bytes += malloc_usable_size(block);
    std::size_t peak = peak_bytes.load();
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
    }
    return block;
}

void Release(void* block) noexcept {
    if (block == nullptr) return;
    live_bytes -= malloc_usable_size(block);
    std::free(block);
}

void* Allocate(std::size_t size) {
    void* block = Counted(std::malloc(size == 0 ? 1 : size));
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Counted(std::malloc(size == 0 ? 1 : size)); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Counted(std::malloc(size == 0 ? 1 : size)); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }

namespace kdv::testing {

std::size_t LiveHeapBytes() { return live_bytes.load(); }

std::size_t RestartHeapPeak() {
    const std::size_t now = live_bytes.load();
    peak_bytes = now;
    return now;
}

std::size_t HeapPeak() { return peak_bytes.load(); }

}  // namespace kdv::testing
