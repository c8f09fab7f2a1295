#include "python/py_adapter.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "module/py_errors.hpp"
#include "python/py_column_names.hpp"
#include "python/py_float_array.hpp"
#include "python/py_numpy.hpp"
#include "python/py_object_array.hpp"
#include "python/py_str_utf8.hpp"

namespace quorlin {

namespace {

// The plain __name__ of obj's class as UTF-8 (lone surrogates replaced).
std::string class_name(PyObject* obj) {
    PyRef name = check(PyType_GetName(Py_TYPE(obj)));
    PyRef text = check(PyObject_Str(name.get()));
    return str_utf8(text.get());
}

// Straight to file descriptor 1, past Python's sys.stdout; a failing write is not reported.
void write_stdout(const std::string& text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void unsupported(const std::string& name) {
    write_stdout(name + "\n");
    throw_error(PyExc_TypeError, "Unsupported type: '" + name +
                                     "'. Supported types are: numpy.ndarray, pandas.DataFrame");
}

}  // namespace

AdapterResult pyany_to_vec(PyObject* obj) {
    std::string name = class_name(obj);
    OUT out;
    if (name == "ndarray" || name == "memmap") {
        out = OUT::plain_array();
    } else if (name == "DataFrame") {
        out = OUT::table(column_names(obj));
    } else {
        unsupported(name);
    }

    ensure_numpy();
    if (is_float_matrix(obj)) return AdapterResult{std::move(out), copy_float_matrix(obj), {}};
    ObjectArrayResult result = encode_object_array(obj, out.is_table());
    return AdapterResult{std::move(out), std::move(result.matrix), std::move(result.tables)};
}

}  // namespace quorlin
