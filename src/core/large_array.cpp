#include "core/large_array.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <thread>

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

#if QUORLIN_MAP_BLOCKS

// Blocks given back are kept mapped for a while and handed out again. A fresh block costs its
// page faults and the zeroing of every page, and on a virtual machine the host may have taken
// the pages back once they were unmapped: an encoding of a million rows that mapped its blocks
// afresh spent 40 to 100 ms of system time on them, longer than the encoding itself. Calls that
// follow each other (and the stages of one call) reuse the pages instead. Calls often come
// seconds apart, with other work between them: after a pause of 2.5 s, an encoding of a million
// rows of many labels took 130 to 230 ms with its blocks unmapped, against 90 to 100 ms with them
// kept. So a block kept ten seconds without reuse (as long as jemalloc keeps freed pages) is
// unmapped by a thread of its own, and memory still goes back soon after the last call. Before a
// block is mapped anew, kept ones that did not fit are unmapped to make room for it, and kept
// ones give way to an output's fresh pages (make_room): what is kept adds to a call's peak only
// while nothing else needs fresh pages.
class BlockCache {
  public:
    // A kept block of at least `size` bytes, cut to `size`; null when none is kept that large.
    // Then, when the caller maps a block instead (`mapping`), kept ones make room for it.
    void* take(std::size_t size, bool mapping) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        auto best = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->second.size >= size &&
                (best == kept_.end() || it->second.size < best->second.size))
                best = it;
        }
        if (best == kept_.end()) {
            if (mapping) make_room(size);
            return nullptr;
        }
        const std::uintptr_t start = best->first;
        const Kept block = best->second;
        kept_.erase(best);
        bytes_ -= block.size;
        keep_part(start + size, block.size - size, block.since);
        return reinterpret_cast<void*>(start);
    }

    // Keeps a block given back, joined with kept neighbours; beyond the cap it is unmapped.
    void give(void* block, std::size_t size) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        if (bytes_ + size > kMostKept) {
            lock.unlock();
            unmap_block(block, size);
            return;
        }
        auto start = reinterpret_cast<std::uintptr_t>(block);
        const auto since = Clock::now();
        auto next = kept_.lower_bound(start);
        if (next != kept_.begin()) {
            auto before = std::prev(next);
            if (before->first + before->second.size == start) {
                start = before->first;
                size += before->second.size;
                bytes_ -= before->second.size;
                kept_.erase(before);
            }
        }
        if (next != kept_.end() && next->first == start + size) {
            size += next->second.size;
            bytes_ -= next->second.size;
            kept_.erase(next);
        }
        try {
            kept_.emplace(start, Kept{size, since});
        } catch (...) {
            unmap_block(reinterpret_cast<void*>(start), size);  // with the neighbours it joined
            return;
        }
        bytes_ += size;
        if (!purging_) {
            // Without the thread (none could be started) blocks are unmapped on the spot.
            purging_ = start_purger();
            if (!purging_) drop_older_than(Clock::time_point::max());
        }
        woken_.notify_one();
    }

    // Unmaps [start, start + size) where a kept block holds it; what the block holds beyond it
    // stays kept.
    void drop(std::uintptr_t start, std::size_t size) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = kept_.upper_bound(start);
        if (it == kept_.begin()) return;
        --it;
        const std::uintptr_t from = it->first;
        const Kept block = it->second;
        const std::uintptr_t end = start + size;
        if (end > from + block.size) return;
        kept_.erase(it);
        bytes_ -= block.size;
        unmap_block(reinterpret_cast<void*>(start), size);
        keep_part(from, start - from, block.since);
        keep_part(end, from + block.size - end, block.since);
    }

    // Unmaps kept blocks, the largest first, until `size` bytes are gone or none is left.
    void give_way(std::size_t size) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        make_room(size);
    }

    // A forked child has the kept blocks but not the thread, and the mutex may have been copied
    // locked: it starts afresh.
    void forget_in_child() noexcept {
        new (&mutex_) std::mutex();
        new (&woken_) std::condition_variable();
        purging_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kKeepFor = std::chrono::seconds(10);
    static constexpr std::size_t kMostKept = std::size_t{1} << 30;

    struct Kept {
        std::size_t size;
        Clock::time_point since;  // when it was last given back
    };

    bool start_purger() noexcept {
        try {
            std::thread([this] { purge(); }).detach();
            return true;
        } catch (...) {
            return false;
        }
    }

    // The purging thread: unmaps what has been kept too long, then sleeps until the next block
    // is due, or until one is given back when none is kept.
    void purge() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            drop_older_than(Clock::now() - kKeepFor);
            if (kept_.empty()) {
                woken_.wait(lock);
            } else {
                Clock::time_point due = Clock::time_point::max();
                for (const auto& [start, block] : kept_)
                    due = std::min(due, block.since + kKeepFor);
                woken_.wait_until(lock, due);
            }
        }
    }

    // Unmaps the blocks given back before `time`. Called with the mutex held: unmapping under it
    // keeps a block from being handed out while it goes.
    void drop_older_than(Clock::time_point time) noexcept {
        for (auto it = kept_.begin(); it != kept_.end();) {
            if (it->second.since < time) {
                unmap_block(reinterpret_cast<void*>(it->first), it->second.size);
                bytes_ -= it->second.size;
                it = kept_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Keeps what is left of a block cut in two (nothing when empty), or unmaps it.
    void keep_part(std::uintptr_t start, std::size_t size, Clock::time_point since) noexcept {
        if (size == 0) return;
        try {
            kept_.emplace(start, Kept{size, since});
            bytes_ += size;
        } catch (...) {
            unmap_block(reinterpret_cast<void*>(start), size);
        }
    }

    // Unmaps kept blocks, the largest first, until `size` bytes are gone or none is left.
    void make_room(std::size_t size) noexcept {
        std::size_t freed = 0;
        while (freed < size && !kept_.empty()) {
            auto largest = std::max_element(
                kept_.begin(), kept_.end(),
                [](const auto& a, const auto& b) { return a.second.size < b.second.size; });
            unmap_block(reinterpret_cast<void*>(largest->first), largest->second.size);
            freed += largest->second.size;
            bytes_ -= largest->second.size;
            kept_.erase(largest);
        }
    }

    std::mutex mutex_;
    std::condition_variable woken_;
    std::map<std::uintptr_t, Kept> kept_;  // by address, so that neighbours can be joined
    std::size_t bytes_ = 0;
    bool purging_ = false;
};

// Never destroyed: blocks are given back from threads and at times that may outlive static
// destruction, and the purging thread runs on to the end of the process.
BlockCache& cache() {
    static BlockCache* const blocks = [] {
        auto* made = new BlockCache();
        pthread_atfork(nullptr, nullptr, [] { cache().forget_in_child(); });
        return made;
    }();
    return *blocks;
}

#endif

}  // namespace

bool is_mapped(std::size_t bytes) noexcept {
    return bytes >= kHugeFrom;
}

std::size_t bytes_not_resident(const void* p, std::size_t bytes) noexcept {
    if (bytes == 0) return 0;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{page - 1};
    const std::size_t pages =
        (reinterpret_cast<std::uintptr_t>(p) + bytes - start + page - 1) / page;
    std::size_t absent = 0;
    unsigned char in_memory[1024];
    for (std::size_t done = 0; done < pages; done += sizeof in_memory) {
        const std::size_t n = std::min(sizeof in_memory, pages - done);
        if (mincore(reinterpret_cast<void*>(start + done * page), n * page, in_memory) != 0)
            return bytes;  // unknown: taken as all to come
        for (std::size_t i = 0; i < n; ++i) absent += (in_memory[i] & 1) == 0;
    }
    return std::min(bytes, absent * page);
}

void unkeep(const void* p, std::size_t bytes) noexcept {
#if QUORLIN_MAP_BLOCKS
    if (is_mapped(bytes)) cache().drop(reinterpret_cast<std::uintptr_t>(p), mapped_size(bytes));
#else
    (void)p;
    (void)bytes;
#endif
}

void make_room(std::size_t bytes) noexcept {
#if QUORLIN_MAP_BLOCKS
    if (bytes > 0) cache().give_way(bytes);
#else
    (void)bytes;
#endif
}

void* reuse(std::size_t bytes, bool zeroed, bool& mapped) noexcept {
    mapped = false;
#if QUORLIN_MAP_BLOCKS
    try {
        const std::size_t size = mapped_size(bytes);
        if (void* block = cache().take(size, false)) {
            if (zeroed) std::memset(block, 0, bytes);
            mapped = true;
            return block;
        }
        // Memory that malloc has at hand, freed by the process before, costs no new pages;
        // what it would map or claim afresh is better mapped here in huge pages. An array is
        // written whole, and 64 MiB of small pages, each faulted in on its own, took 30 ms more
        // than the decode that wrote them.
        if (void* heap = std::malloc(bytes)) {
            if (bytes_not_resident(heap, bytes) <= bytes / 2) {
                if (zeroed) std::memset(heap, 0, bytes);
                return heap;
            }
            std::free(heap);
        }
        void* block = cache().take(size, true);  // kept ones make room for a fresh block
        if (block == nullptr) block = map_block(size);
        mapped = true;
        return block;  // fresh pages read as zero
    } catch (...) {
        mapped = false;  // the cache or the block could not be made
    }
#endif
    return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
}

void* allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= kHugeFrom) {
        const std::size_t size = mapped_size(bytes);
#if QUORLIN_MAP_BLOCKS
        if (void* block = cache().take(size, true)) return block;
#endif
        return map_block(size);
    }
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        return ::operator new(bytes, std::align_val_t{alignment});
    }
    return ::operator new(bytes);
}

void release(void* p, std::size_t bytes, std::size_t alignment) noexcept {
    if (bytes >= kHugeFrom) {
#if QUORLIN_MAP_BLOCKS
        cache().give(p, mapped_size(bytes));
#else
        unmap_block(p, mapped_size(bytes));
#endif
    } else if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, std::align_val_t{alignment});
    } else {
        ::operator delete(p);
    }
}

}  // namespace quorlin::large_memory
