// Encoder.__getstate__ and Encoder.__setstate__.
#include "module/py_binding.hpp"
#include "module/py_encoder.hpp"
#include "module/py_entry.hpp"

namespace quorlin {

namespace {

const char* const kStateParameters[] = {"state"};
const FunctionDescription kSetstateDescription{"Encoder.__setstate__()", kStateParameters, 1, 1};

}  // namespace

PyObject* encoder_getstate(PyObject*, PyObject*) {
    return run_entry([&]() -> PyObject* {
        throw_error(PyExc_NotImplementedError, "Encoder.__getstate__() is not available yet");
    });
}

PyObject* encoder_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* state = nullptr;
        bind_fastcall(kSetstateDescription, args, nargsf, kwnames, &state);
        throw_error(PyExc_NotImplementedError, "Encoder.__setstate__() is not available yet");
    });
}

}  // namespace quorlin
