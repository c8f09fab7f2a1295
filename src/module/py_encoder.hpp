// The Encoder instance layout and its type object.
#pragma once

#include <optional>

#include "module/hold.hpp"
#include "module/py_ref.hpp"
#include "python/encoding_info.hpp"

namespace quorlin {

struct EncoderObject {
    PyObject_HEAD
    std::optional<EncodingInfo> tables;  // absent until the first encode or __setstate__
    HoldWord hold;
};

inline EncoderObject* as_encoder(PyObject* self) noexcept {
    return reinterpret_cast<EncoderObject*>(self);
}

// The Encoder type, created once per process on first request and kept until it ends.
// Throws PythonError (RuntimeError) when CPython cannot create it.
PyObject* encoder_type();

// The methods, each running inside the entry-point wrapper.
PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
PyObject* encoder_getstate(PyObject* self, PyObject* unused);
PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);

}  // namespace quorlin
