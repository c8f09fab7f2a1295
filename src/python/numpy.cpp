#define QUORLIN_NUMPY_API_OWNER
#include "python/numpy.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "core/large_array.hpp"
#include "python/errors.hpp"

namespace quorlin {

namespace {

// The data of the big arrays we make comes, through NumPy's allocator interface (so that the
// array owns it as any other), from the blocks that the encoding's own buffers gave back, when
// one is kept that is large enough; else from malloc, when it has memory at hand that costs no
// new pages, or from a fresh block in huge pages. A block goes back to the kept ones once the
// array is dropped. Calls in a row then pass their pages on instead of faulting in and zeroing
// fresh ones: a million rows of eight columns is 64 MiB of them.
class BigBlocks {
  public:
    static void* allocate(void*, std::size_t size) noexcept { return take(size, false); }
    static void* allocate_zeroed(void*, std::size_t count, std::size_t each) noexcept {
        if (each != 0 && count > SIZE_MAX / each) return nullptr;
        return take(count * each, true);
    }
    static void* reallocate(void*, void* p, std::size_t size) noexcept {
        const std::size_t old = size_of(p);
        if (old == 0) return std::realloc(p, size);  // from malloc, or null
        void* moved = take(size, false);
        if (moved == nullptr) return nullptr;  // the block stays as it was
        std::memcpy(moved, p, std::min(old, size));
        give_back(p, old);
        return moved;
    }
    // NumPy says the size, but only the block's own record is trusted.
    static void release(void*, void* p, std::size_t) noexcept {
        const std::size_t size = size_of(p);
        if (size == 0) {
            std::free(p);
        } else {
            give_back(p, size);
        }
    }

  private:
    static void* take(std::size_t size, bool zeroed) noexcept {
        if (!large_memory::is_mapped(size))
            return zeroed ? std::calloc(size, 1) : std::malloc(size);
        bool mapped = false;
        void* block = large_memory::reuse(size, zeroed, mapped);
        if (!mapped) return block;  // malloc's, or null
        std::lock_guard<std::mutex> lock(mutex());
        try {
            sizes().emplace(block, size);
        } catch (...) {
            large_memory::release(block, size, alignof(std::max_align_t));
            return zeroed ? std::calloc(size, 1) : std::malloc(size);
        }
        return block;
    }
    static void give_back(void* p, std::size_t size) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex());
            sizes().erase(p);
        }
        large_memory::release(p, size, alignof(std::max_align_t));
    }
    // The size of a block handed out here; 0 for memory from malloc.
    static std::size_t size_of(void* p) noexcept {
        if (p == nullptr) return 0;
        std::lock_guard<std::mutex> lock(mutex());
        const auto it = sizes().find(p);
        return it == sizes().end() ? 0 : it->second;
    }
    // Never destroyed: arrays may be freed during and after static destruction.
    static std::mutex& mutex() {
        static auto* const held = new std::mutex();
        return *held;
    }
    static std::unordered_map<void*, std::size_t>& sizes() {
        static auto* const held = new std::unordered_map<void*, std::size_t>();
        return *held;
    }
};

PyDataMem_Handler big_blocks_handler = {
    "quorlin_big_blocks",
    1,
    {nullptr, BigBlocks::allocate, BigBlocks::allocate_zeroed, BigBlocks::reallocate,
     BigBlocks::release},
};

// While it lives, arrays made on this thread take their data from the big blocks, unless the
// caller has put an allocator of their own in NumPy's place: theirs is left to do its work.
// Either way it leaves the handler as it found it, and any error being raised untouched.
class BigBlockArrays {
  public:
    BigBlockArrays() {
        PyRef current = PyRef::steal(PyDataMem_GetHandler());
        auto* handler = current ? static_cast<PyDataMem_Handler*>(
                                      PyCapsule_GetPointer(current.get(), "mem_handler"))
                                : nullptr;
        PyRef ours;
        if (handler != nullptr && std::strcmp(handler->name, "default_allocator") == 0) {
            ours = PyRef::steal(PyCapsule_New(&big_blocks_handler, "mem_handler", nullptr));
        }
        if (ours) previous_ = PyRef::steal(PyDataMem_SetHandler(ours.get()));
        // Any failure above leaves NumPy's allocator in place, which is as good.
        if (!previous_) PyErr_Clear();
    }
    ~BigBlockArrays() {
        if (!previous_) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Py_XDECREF(PyDataMem_SetHandler(previous_.get()));
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    BigBlockArrays(const BigBlockArrays&) = delete;
    BigBlockArrays& operator=(const BigBlockArrays&) = delete;

  private:
    PyRef previous_;
};

}  // namespace

PyRef new_big_array(int ndim, npy_intp* dims, int type, bool fortran_order) {
    ensure_numpy();
    // Only arrays whose data would be a block of its own: the handler's swap costs a small
    // array more than its data.
    PyRef descr = or_pass_on(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type)));
    auto bytes =
        static_cast<std::size_t>(PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr*>(descr.get())));
    for (int i = 0; i < ndim; ++i) {
        const auto extent = static_cast<std::size_t>(dims[i]);
        bytes = extent != 0 && bytes > SIZE_MAX / extent ? SIZE_MAX : bytes * extent;
    }
    std::optional<BigBlockArrays> blocks;
    if (large_memory::is_mapped(bytes)) blocks.emplace();
    // Not PyArray_EMPTY, which fills an object array with None: ours start with NULL slots.
    return or_pass_on(PyArray_New(&PyArray_Type, ndim, dims, type, nullptr, nullptr, 0,
                                  fortran_order ? 1 : 0, nullptr));
}

void ensure_numpy() {
    // Runs under the interpreter lock; a repeated import after a failure simply tries again.
    if (PyArray_API != nullptr) return;
    // _import_array leaves the import's own exception set (import_array would print it).
    if (_import_array() < 0) pass_on_error();
}

NumericMatrix new_array_matrix(std::size_t rows, std::size_t cols, bool fortran_order) {
    matrix_bytes(rows, cols);  // the size check comes before any allocation
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyRef array = new_big_array(2, dims, NPY_DOUBLE, fortran_order);
    PyObject* handle = array.release();
    auto* block = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(handle)));
    // The matrix is only ever released on the calling thread, which holds the interpreter. Should
    // the owner's own allocation fail, it releases the array itself.
    std::shared_ptr<void> owner(handle, [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
    auto r = static_cast<std::ptrdiff_t>(rows);
    auto c = static_cast<std::ptrdiff_t>(cols);
    return fortran_order
               ? NumericMatrix::adopt(block, rows, cols, 1, r, 0, std::move(owner), handle)
               : NumericMatrix::adopt(block, rows, cols, c, 1, 0, std::move(owner), handle);
}

PyObject* lent_array(const NumericMatrix& matrix) {
    constexpr auto kDouble = static_cast<npy_intp>(sizeof(double));
    auto* array = static_cast<PyArrayObject*>(matrix.handle());
    if (array == nullptr || PyArray_NDIM(array) != 2) return nullptr;
    const bool same =
        PyArray_DATA(array) == static_cast<const void*>(matrix.origin()) &&
        PyArray_DIM(array, 0) == static_cast<npy_intp>(matrix.rows()) &&
        PyArray_DIM(array, 1) == static_cast<npy_intp>(matrix.cols()) &&
        (matrix.rows() <= 1 || PyArray_STRIDE(array, 0) == matrix.row_stride() * kDouble) &&
        (matrix.cols() <= 1 || PyArray_STRIDE(array, 1) == matrix.col_stride() * kDouble);
    return same ? reinterpret_cast<PyObject*>(array) : nullptr;
}

PyRef new_float_array(NumericMatrix& matrix) {
    ensure_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(matrix.rows()), static_cast<npy_intp>(matrix.cols())};
    if (PyObject* lent = lent_array(matrix)) {
        // The matrix lives in a fresh array of exactly its shape and layout: hand that over.
        return PyRef::borrow(lent);
    }
    PyRef array = new_big_array(2, dims, NPY_DOUBLE, false);
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    if (matrix.is_row_major()) {
        if (matrix.size() > 0) std::memcpy(data, matrix.origin(), matrix.size() * sizeof(double));
    } else {
        for (std::size_t r = 0; r < matrix.rows(); ++r) {
            for (std::size_t c = 0; c < matrix.cols(); ++c) *data++ = matrix.at(r, c);
        }
    }
    return array;
}

}  // namespace quorlin
