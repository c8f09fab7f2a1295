// Memory for the big buffers of one encoding: a column's rows and entries, set slots and labels,
// sort items, per-entry tables, and the data of the arrays handed out. Blocks of 4 MiB and more
// are mapped on their own in transparent huge pages, and kept for ten seconds once given back,
// for the next block to reuse; smaller ones come from operator new. Rows and entries, which grow
// as they are read, are here rather than on malloc's heap: malloc keeps what a thread's arena
// gave back, beyond the reach of anything that could make room for an output's pages (64 MiB of
// a 395 MiB peak, on an object frame of 4x10^6 rows with a column of 800,000 labels).
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorlin {

namespace large_memory {

// Whether blocks of this size are mapped on their own (and kept for reuse once given back)
// rather than taken from operator new.
bool is_mapped(std::size_t bytes) noexcept;
void* allocate(std::size_t bytes, std::size_t alignment);
// For memory that would otherwise come from malloc: `bytes` (is_mapped), all zero if `zeroed`.
// A kept block if one is large enough; else malloc's, when what it hands out is mostly in
// memory already; else a fresh block. `mapped` says whether it is a block (to go back through
// release) or malloc's (to go back through free). Null when none can be had.
void* reuse(std::size_t bytes, bool zeroed, bool& mapped) noexcept;
void release(void* p, std::size_t bytes, std::size_t alignment) noexcept;
// Unmaps kept blocks, the largest first, until `bytes` of them are gone (or none is left): for
// memory about to come into use that is not theirs (fresh pages of an array being written), so
// that blocks kept for reuse do not add to the peak beside it.
void make_room(std::size_t bytes) noexcept;
// Unmaps the block of `bytes` at p, given back and still kept: for one that will not be reused
// soon, whose pages would otherwise stay in memory beside what replaced it.
void unkeep(const void* p, std::size_t bytes) noexcept;
// How many bytes of [p, p + bytes) are not in memory yet (all of them when that cannot be told).
std::size_t bytes_not_resident(const void* p, std::size_t bytes) noexcept;

}  // namespace large_memory

// Leaves elements that a vector value-initialises uninitialised: a buffer sized up front is
// filled by its writer, and zeroing it first would be a wasted pass over fresh pages.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() noexcept = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Vectors of the big buffers above, their elements left uninitialised likewise.
template <class T>
struct LargeAllocator : UninitAllocator<T> {
    template <class U>
    struct rebind {
        using other = LargeAllocator<U>;
    };
    // An over-aligned element is laid out by cache lines (a set's slots, two to a line): its
    // blocks start on a line.
    static constexpr std::size_t kAlignment = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__
                                                  ? std::max<std::size_t>(alignof(T), 64)
                                                  : alignof(T);

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(large_memory::allocate(n * sizeof(T), kAlignment));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        large_memory::release(p, n * sizeof(T), kAlignment);
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Gives back a vector's block unmapped rather than kept (see large_memory::unkeep); the vector is
// left empty.
template <class T>
void give_back_unkept(LargeVector<T>& vector) noexcept {
    const T* data = vector.data();
    const std::size_t bytes = vector.capacity() * sizeof(T);
    LargeVector<T>().swap(vector);
    large_memory::unkeep(data, bytes);
}

// A fixed-size uninitialised array of such a buffer.
template <class T>
class LargeArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

  public:
    explicit LargeArray(std::size_t count) : data_(LargeAllocator<T>().allocate(count), {count}) {}

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }

  private:
    struct Free {
        std::size_t count = 0;
        void operator()(T* p) const noexcept { LargeAllocator<T>().deallocate(p, count); }
    };
    std::unique_ptr<T[], Free> data_;
};

}  // namespace quorlin
