// The input adapter: reads an ndarray, memmap or DataFrame into the descriptor, the numeric
// matrix and, on the cell-by-cell path, fresh tables.
#pragma once

#include <memory>
#include <optional>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/array_layout.hpp"
#include "python/ref.hpp"

namespace quorlin {

struct AdapterResult {
    OUT out;
    NumericMatrix matrix;
    std::optional<FittedTables> tables;  // none on the float path
    // Set when the matrix reads the input's own memory (see `may_borrow`).
    std::shared_ptr<HeldArrays> held;
};

// Throws PythonError, InternalFailure or std::bad_alloc; never changes `obj`. With `may_borrow`
// (a caller that only reads the matrix), a float64 array or a frame of float64 columns may be
// read where it lies instead of copied: the matrix is then valid while `held` is unchanged.
AdapterResult pyany_to_vec(PyObject* obj, bool may_borrow = false);

}  // namespace quorlin
