// What a direct read of NumPy memory relies on: the kinds of cells read straight from memory,
// the layout of each array read (checked again wherever Python code may have run), the arrays
// held while a matrix reads their memory, and what a read says when they changed under it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/number_cells.hpp"
#include "python/numpy.hpp"

namespace quorlin {

// DirectKind::None for every dtype that keeps item access.
DirectKind direct_kind(PyArray_Descr* descr);

// What a direct read relies on about the array it reads: its data, shape, strides and dtype.
// Python code (a cell's own conversions, a signal handler, a finalizer) may resize, reshape or
// retype the array between two cells, so the read checks the layout again before each cell.
// The dtype is held, so that its address cannot be reused by another one meanwhile.
class ArrayLayout {
  public:
    explicit ArrayLayout(PyArrayObject* array);
    // The array's own layout, and memory_kept().
    bool unchanged() const noexcept { return own_.same() && memory_kept(); }
    // Whether the array that owns the memory of a view is as it was: resizing that one
    // (refcheck=False) frees the memory of every view of it, which then reads freed memory,
    // by item access too.
    bool memory_kept() const noexcept { return !owner_ || owner_->same(); }

  private:
    struct Shape {
        explicit Shape(PyArrayObject* array);
        bool same() const noexcept;

        PyRef array;
        PyRef descr;
        const void* data;
        int ndim;
        // Every dimension counts: resizing an array along a later one frees memory without
        // moving its data or changing the first two.
        std::vector<npy_intp> dims;
        std::vector<npy_intp> strides;
    };
    Shape own_;
    std::optional<Shape> owner_;
};

// Arrays whose memory a matrix reads where it lies, held for as long as the matrix lives, with
// their layouts.
class HeldArrays {
  public:
    void hold(PyObject* array);
    bool unchanged() const noexcept;

  private:
    std::vector<ArrayLayout> layouts_;
};

// What a reader of a matrix over held arrays says when they changed before the read.
inline constexpr const char* kArrayChanged = "ndarray changed while it was read";

// One column of cells in memory: scan.rows() cells `stride` bytes apart, in the array whose
// layout `layout` describes.
struct ColumnCells {
    const char* data;
    std::ptrdiff_t stride;
    DirectKind kind;
    std::size_t itemsize;
    const ArrayLayout* layout;
};

// What a reader of a frame's columns says when their arrays changed before the read. Only code
// that resizes or reshapes pandas' own arrays under the read (a signal handler, a finalizer)
// can make this happen.
inline constexpr const char* kFrameChanged = "DataFrame changed while it was read";

}  // namespace quorlin
