// Binding of positional and keyword arguments to an entry point's parameters.
#pragma once

#include <cstddef>

#include "python/ref.hpp"

namespace quorlin {

struct FunctionDescription {
    const char* name;  // as shown in messages: "Encoder.encode()"
    const char* const* parameters;
    std::size_t parameter_count;
    std::size_t required_count;  // the first `required_count` parameters are required
};

// Fast-call form: fills `slots` (parameter_count borrowed references, null when not given)
// or throws PythonError(TypeError).
void bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots);

// Tuple and optional dict form, as tp_new receives its arguments.
void bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                     PyObject** slots);

}  // namespace quorlin
