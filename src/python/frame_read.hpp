// Fast path of the cell-by-cell path for an object that is exactly pandas.DataFrame: each
// column is read from its own array instead of from `values`, which would box every numeric
// cell of a frame that mixes text and numbers.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "core/number_cells.hpp"
#include "core/numeric_matrix.hpp"
#include "core/table_scan.hpp"
#include "python/array_layout.hpp"
#include "python/ref.hpp"

namespace quorlin {

// A frame's columns of numbers, to be copied into the scan beside the encoding of its text
// columns rather than beside their read: their output pages then do not come in beside the sets
// of a column of many labels (a frame of 4x10^6 rows with four float columns and a column of
// two million distinct ids peaked at 1.55x its output, now 1.41x). The arrays are held meanwhile
// and checked again before the copy.
class FrameNumbers {
  public:
    void hold(PyObject* array, const NumberColumn& column);
    // Runs `work`, which runs no Python code, beside the copy of every column held into the
    // scan, on the pool: the copy takes up what the work leaves of the workers' time. Throws
    // InternalFailure(kFrameChanged), before either starts, when an array changed since it was
    // opened.
    void copy_beside(TableScan& scan, const std::function<void()>& work) const;

  private:
    HeldArrays held_;
    std::vector<NumberColumn> columns_;
};

// Reads every cell of `frame` when it is exactly pandas.DataFrame and every column has a
// NumPy dtype read directly (object, bool, integers, float16/32/64), a pandas string dtype or
// ArrowDtype of string or large_string; each cell comes out as `values` would give it, and
// text kept in Arrow memory is read from its buffers. Otherwise reads nothing, returns false.
// Columns of text in Arrow memory are read on the worker pool; columns of numbers are left to
// `numbers`, to be copied later.
bool scan_exact_frame(TableScan& scan, PyObject* frame, FrameNumbers& numbers);

bool is_exact_frame(PyObject* obj);

// The cells of `frame` (rows x cols) where they lie, when it is exactly pandas.DataFrame, every
// column is float64 and the columns sit at one distance from each other in memory (as the
// columns of one pandas block do): a matrix over that memory, whose arrays `held` holds. The
// values are those that scan_exact_frame would copy. Nothing otherwise. Whoever reads the matrix
// after Python code may have run checks held.unchanged() first.
std::optional<NumericMatrix> borrow_float_frame(PyObject* frame, std::size_t rows, std::size_t cols,
                                                HeldArrays& held);

}  // namespace quorlin
