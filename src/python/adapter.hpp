// The input adapter: reads an ndarray, memmap or DataFrame into the descriptor, the numeric
// matrix and, on the cell-by-cell path, fresh tables.
#pragma once

#include <optional>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/ref.hpp"

namespace quorlin {

struct AdapterResult {
    OUT out;
    NumericMatrix matrix;
    std::optional<FittedTables> tables;  // none on the float path
};

// Throws PythonError, InternalFailure or std::bad_alloc; never changes `obj`.
AdapterResult pyany_to_vec(PyObject* obj);

}  // namespace quorlin
