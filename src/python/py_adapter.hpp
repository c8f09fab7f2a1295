// The input adapter: reads an ndarray, memmap or DataFrame into the descriptor, the numeric
// matrix and, on the cell-by-cell path, fresh tables.
#pragma once

#include <optional>

#include "module/py_ref.hpp"
#include "python/encoding_info.hpp"
#include "python/numeric_matrix.hpp"
#include "python/out.hpp"

namespace quorlin {

struct AdapterResult {
    OUT out;
    NumericMatrix matrix;
    std::optional<EncodingInfo> tables;
};

// Throws PythonError, InternalFailure or std::bad_alloc; never changes `obj`.
AdapterResult pyany_to_vec(PyObject* obj);

}  // namespace quorlin
