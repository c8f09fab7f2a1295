#include "core/encoding_info.hpp"

namespace quorlin {

LabelToCode SortedLabels::label_to_code() const {
    LabelToCode forward;
    forward.reserve(size() + marker_count());
    for (std::size_t code = 0; code < size(); ++code) {
        forward.emplace(std::string((*this)[code]), Code{code});
    }
    for (std::size_t m = 0; m < kMarkerCount; ++m) {
        if (has_marker(m)) forward.emplace(std::string(kMissingMarkers[m]), std::nullopt);
    }
    return forward;
}

CodeToLabel SortedLabels::code_to_label() const {
    CodeToLabel reverse;
    reverse.reserve(size());
    for (std::size_t code = 0; code < size(); ++code) {
        reverse.emplace(Code{code}, std::string((*this)[code]));
    }
    return reverse;
}

EncodingInfo FittedTables::general() const {
    EncodingInfo info;
    info.text_columns = text_columns;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        info.label_to_code.emplace(text_columns[i], columns[i].label_to_code());
        info.code_to_label.emplace(text_columns[i], columns[i].code_to_label());
    }
    return info;
}

}  // namespace quorlin
