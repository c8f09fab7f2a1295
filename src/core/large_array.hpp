// Uninitialised array for the large per-entry tables of one encoding. Big arrays are taken in
// 2 MiB-aligned blocks with a hint for transparent huge pages, so that a table of tens of
// megabytes costs a few dozen page faults instead of thousands.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace quorlin {

template <class T>
class LargeArray {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                  std::is_trivially_destructible_v<T>);

  public:
    explicit LargeArray(std::size_t count) {
        std::size_t bytes = count * sizeof(T);
        if (count != 0 && bytes / count != sizeof(T)) throw std::bad_alloc();
        void* p;
        if (bytes >= kHugeFrom) {
            bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
            p = std::aligned_alloc(kHugePage, bytes);
#ifdef MADV_HUGEPAGE
            if (p) madvise(p, bytes, MADV_HUGEPAGE);  // only a hint: failure changes nothing
#endif
        } else {
            p = std::malloc(bytes == 0 ? 1 : bytes);
        }
        if (!p) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }

    T* get() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }

  private:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
};

}  // namespace quorlin
