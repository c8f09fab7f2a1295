// Memory for the big buffers of one encoding: rows, entries, set slots, sort items. Blocks of
// 4 MiB and more are taken 2 MiB-aligned with a hint for transparent huge pages. Every page of
// such a buffer is written soon after it is taken, and on a virtual machine a fresh 4 KiB page
// costs about 2 µs to fault in: 16 MiB of set slots took 7 ms in small pages, 0.6 ms in huge
// ones, and were given back 15 times faster. Smaller blocks come from operator new.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorlin {

namespace large_memory {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

inline void* allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= kHugeFrom) {
        if (bytes > std::numeric_limits<std::size_t>::max() - kHugePage) throw std::bad_alloc();
        const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(p, rounded, MADV_HUGEPAGE);  // only a hint: failure changes nothing
#endif
        return p;
    }
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        return ::operator new(bytes, std::align_val_t{alignment});
    }
    return ::operator new(bytes);
}

inline void release(void* p, std::size_t bytes, std::size_t alignment) noexcept {
    if (bytes >= kHugeFrom) {
        std::free(p);
    } else if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
        ::operator delete(p, std::align_val_t{alignment});
    } else {
        ::operator delete(p);
    }
}

}  // namespace large_memory

// An allocator for vectors of such buffers. It leaves the elements that a vector
// value-initialises uninitialised: a buffer sized up front is filled by its writer, and zeroing
// it first would be a wasted pass over fresh pages.
template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(large_memory::allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        large_memory::release(p, n * sizeof(T), alignof(T));
    }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const LargeAllocator&, const LargeAllocator&) noexcept { return true; }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

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
