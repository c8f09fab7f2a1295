#include "core/large_array.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

// AddressSanitizer does not watch memory mapped by hand: its builds take big blocks from
// malloc, so that overruns of them are still caught.
#if defined(__SANITIZE_ADDRESS__)
#define QUORLIN_MAP_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORLIN_MAP_BLOCKS 0
#endif
#endif
#ifndef QUORLIN_MAP_BLOCKS
#define QUORLIN_MAP_BLOCKS 1
#endif

namespace quorlin::large_memory {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks of this size and more are mapped whole.
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

std::size_t mapped_size(std::size_t bytes) noexcept {
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

// A fresh mapping, 2 MiB-aligned, hinted for huge pages. On a virtual machine a fresh 4 KiB
// page costs about 2 µs to fault in: 16 MiB of set slots took 7 ms in small pages and 0.6 ms in
// huge ones, and were unmapped 15 times faster. The block is mapped rather than taken from
// malloc so that the hint stays on it: a hinted range that malloc later reused would give huge
// pages (each zeroed whole on its first touch) to whatever small buffers came to live there.
void* map_block(std::size_t size) {
#if QUORLIN_MAP_BLOCKS
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    // Mapped a huge page longer, then cut to the aligned middle.
    void* raw =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > start) munmap(raw, aligned - start);
    const std::size_t tail = start + size + kHugePage - (aligned + size);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, size, MADV_HUGEPAGE);  // only a hint: failure changes nothing
#endif
    return block;
#else
    void* block = std::aligned_alloc(kHugePage, size);
    if (!block) throw std::bad_alloc();
    return block;
#endif
}

void unmap_block(void* block, std::size_t size) noexcept {
#if QUORLIN_MAP_BLOCKS
    munmap(block, size);
#else
    (void)size;
    std::free(block);
#endif
}

}  // namespace

void* allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= kHugeFrom) return map_block(mapped_size(bytes));
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        return ::operator new(bytes, std::align_val_t{alignment});
    }
    return ::operator new(bytes);
}

void release(void* p, std::size_t bytes, std::size_t alignment) noexcept {
    if (bytes >= kHugeFrom) {
        unmap_block(p, mapped_size(bytes));
    } else if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, std::align_val_t{alignment});
    } else {
        ::operator delete(p);
    }
}

}  // namespace quorlin::large_memory
