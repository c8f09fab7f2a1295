// Encoder.encode and Encoder.decode.
#include "module/py_binding.hpp"
#include "module/py_encoder.hpp"
#include "module/py_entry.hpp"
#include "python/py_adapter.hpp"
#include "python/py_output.hpp"

namespace quorlin {

namespace {

const char* const kObjParameters[] = {"obj"};
const FunctionDescription kEncodeDescription{"Encoder.encode()", kObjParameters, 1, 1};
const FunctionDescription kDecodeDescription{"Encoder.decode()", kObjParameters, 1, 1};

}  // namespace

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* obj = nullptr;
        bind_fastcall(kEncodeDescription, args, nargsf, kwnames, &obj);
        EncoderObject* encoder = as_encoder(self);
        if (!encoder->hold.try_exclusive()) throw_error(PyExc_RuntimeError, "Already borrowed");
        ExclusiveHold hold(encoder->hold);
        AdapterResult read = pyany_to_vec(obj);
        // The new fit replaces the old one whole, also when it is "no tables"; a failure of the
        // output builder below does not undo it.
        encoder->tables = std::move(read.tables);
        return arr_to_out(read.matrix, std::move(read.out), nullptr).release();
    });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* obj = nullptr;
        bind_fastcall(kDecodeDescription, args, nargsf, kwnames, &obj);
        EncoderObject* encoder = as_encoder(self);
        if (!encoder->hold.try_shared()) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        SharedHold hold(encoder->hold);
        AdapterResult read = pyany_to_vec(obj);
        read.tables.reset();  // the input's own tables are not used
        const EncodingInfo* tables = encoder->tables ? &*encoder->tables : nullptr;
        return arr_to_out(read.matrix, std::move(read.out), tables).release();
    });
}

}  // namespace quorlin
