// Label restoration: the codes of the text columns back into their labels, on the two result
// kinds.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "core/encoding_info.hpp"
#include "core/numeric_matrix.hpp"
#include "core/out.hpp"
#include "python/array_layout.hpp"
#include "python/numpy.hpp"
#include "python/ref.hpp"

namespace quorlin {

class LabelObjects;

// The array form: the object array of the matrix's cells, a Python float in each numeric column
// and a label (or "NaN") in each text column.
// `held`, when set, holds the input array that the matrix reads (checked before the read).
// `kept`, when set, holds the strs of the tables' labels from earlier decodes (see LabelObjects).
PyRef decode_array(const NumericMatrix& matrix, const Tables& tables, const HeldArrays* held,
                   LabelObjects* kept);

// The table form, for tables that list at least one text column. With unique column names, and
// pandas' own pieces at hand, the frame is built in one step from its columns; otherwise `frame`,
// the float frame of the matrix, has its text columns converted and assigned one by one. Both
// give the same frame.

// pandas' own classes and functions that build a frame in one step, found without running any
// Python code; nothing when pandas is not loaded, lacks one of them, or has another DataFrame in
// its namespace than its own.
struct FramePieces {
    PyRef frame_class;  // pandas.core.frame.DataFrame
    PyRef from_blocks;  // pandas 3: create_dataframe_from_blocks, with Index and RangeIndex
    PyRef index;
    PyRef range_index;
    PyRef series;  // earlier pandas: the frame is built from a dict of Series
};
std::optional<FramePieces> frame_pieces();
// pandas' own DataFrame class (pandas.core.frame.DataFrame), found without running Python code;
// empty when pandas is not loaded.
PyRef pandas_frame_class();

// The columns of the decoded frame, read out of the matrix: the text columns as the rows of one
// object block of labels, the numeric columns as rows of a float block. Reading runs no Python
// code (it makes arrays and strs, and uses the pool), so that codes read where they lie are read
// before anything can change them; a failure is kept and raised when the frame is built, after
// the Python calls that come before it.
struct DecodedColumns {
    std::size_t rows = 0;
    PyRef text;
    std::vector<npy_intp> text_at;  // column of each text row
    PyRef numbers;
    std::vector<npy_intp> numbers_at;   // column of each numeric column ...
    std::vector<npy_intp> numbers_row;  // ... and its row in `numbers`
    std::exception_ptr failure;
};
// `held`, when set, holds the input arrays that the matrix reads (checked before the read).
DecodedColumns read_decoded_columns(NumericMatrix& matrix, const OUT& out, const Tables& tables,
                                    const HeldArrays* held, LabelObjects* kept);
// The frame of those columns, named by `names` (a list of str).
PyRef frame_of_decoded_columns(DecodedColumns decoded, const FramePieces& pieces, PyObject* names);

PyRef decode_frame_by_steps(PyRef frame, const NumericMatrix& matrix, const OUT& out,
                            const Tables& tables, LabelObjects* kept);

}  // namespace quorlin
