// The output builder: the numeric matrix back into an object of the input's kind, with labels
// restored when tables are given.
#pragma once

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/array_layout.hpp"
#include "python/ref.hpp"

namespace quorlin {

class LabelObjects;

// `matrix` is read (and may lend its block to the result), `out` is consumed, `tables` may be
// null. `held`, when set, holds the arrays whose memory the matrix reads: it is checked before
// the matrix is read. `kept`, when set, holds the strs of the tables' labels from earlier
// decodes. Throws PythonError or InternalFailure.
PyRef arr_to_out(NumericMatrix& matrix, OUT out, const Tables* tables,
                 const HeldArrays* held = nullptr, LabelObjects* kept = nullptr);

}  // namespace quorlin
