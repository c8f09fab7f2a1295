// Encoder.encode and Encoder.decode.
#include "module/py_binding.hpp"
#include "module/py_encoder.hpp"
#include "module/py_entry.hpp"

namespace quorlin {

namespace {

const char* const kObjParameters[] = {"obj"};
const FunctionDescription kEncodeDescription{"Encoder.encode()", kObjParameters, 1, 1};
const FunctionDescription kDecodeDescription{"Encoder.decode()", kObjParameters, 1, 1};

}  // namespace

PyObject* encoder_encode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* obj = nullptr;
        bind_fastcall(kEncodeDescription, args, nargsf, kwnames, &obj);
        throw_error(PyExc_NotImplementedError, "Encoder.encode() is not available yet");
    });
}

PyObject* encoder_decode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* obj = nullptr;
        bind_fastcall(kDecodeDescription, args, nargsf, kwnames, &obj);
        throw_error(PyExc_NotImplementedError, "Encoder.decode() is not available yet");
    });
}

}  // namespace quorlin
