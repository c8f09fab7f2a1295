#include "python/label_fill.hpp"

#include <cstring>
#include <string>

#include "core/failure.hpp"
#include "core/utf8.hpp"
#include "python/errors.hpp"

namespace quorlin {

const char* const kNoEntryFound = "no entry found for key";

const CodeToLabel& column_table(const EncodingInfo& tables, ColumnIndex c) {
    auto found = tables.code_to_label.find(c);
    if (found == tables.code_to_label.end()) throw InternalFailure(kNoEntryFound);
    return found->second;
}

// The str that PyUnicode_DecodeUTF8 gives. ASCII text of two bytes or more is copied into a new
// compact ASCII str directly, skipping the decoder's scan; shorter text keeps the decoder, which
// hands out CPython's shared empty and one-character strs.
PyRef new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (size >= 2 && all_ascii(text.data(), text.size())) {
        PyRef str = or_pass_on(PyUnicode_New(size, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
        return str;
    }
    return or_pass_on(PyUnicode_DecodeUTF8(text.data(), size, nullptr));
}

// Tables read from state bytes may list text columns without any code -> label map.
void require_maps(const Tables& tables) {
    const auto* general = std::get_if<EncodingInfo>(&tables);
    if (general != nullptr && !general->text_columns.empty() && general->code_to_label.empty()) {
        throw InternalFailure(kNoEntryFound);
    }
}

}  // namespace quorlin
