// The output descriptor: what kind of object the output builder rebuilds.
#pragma once

#include <string>
#include <vector>

namespace quorlin {

struct OUT {
    enum class Form { PlainArray, Table };

    Form form = Form::PlainArray;
    // Table form only: one UTF-8 name per column, in the input's column order.
    std::vector<std::string> names;

    static OUT plain_array() { return OUT{}; }
    static OUT table(std::vector<std::string> names) { return OUT{Form::Table, std::move(names)}; }
    bool is_table() const noexcept { return form == Form::Table; }
    // Whether no two names are equal (a frame may repeat a name).
    bool names_unique() const;
};

}  // namespace quorlin
