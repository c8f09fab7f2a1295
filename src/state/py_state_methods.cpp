// Encoder.__getstate__ and Encoder.__setstate__: the tables as state bytes and back.
#include "module/py_binding.hpp"
#include "module/py_encoder.hpp"
#include "module/py_entry.hpp"
#include "state/state_format.hpp"

namespace quorlin {

namespace {

const char* const kStateParameters[] = {"state"};
const FunctionDescription kSetstateDescription{"Encoder.__setstate__()", kStateParameters, 1, 1};

}  // namespace

PyObject* encoder_getstate(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        EncoderObject* encoder = as_encoder(self);
        if (!encoder->hold.try_shared()) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        SharedHold hold(encoder->hold);
        std::vector<std::uint8_t> bytes;
        try {
            bytes = write_state(encoder->tables, StringEncoding::Label);
        } catch (const StateError& error) {
            throw_error(PyExc_ValueError, error.what());
        }
        return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size())))
            .release();
    });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        PyObject* state = nullptr;
        bind_fastcall(kSetstateDescription, args, nargsf, kwnames, &state);
        EncoderObject* encoder = as_encoder(self);
        // The hold comes before the type check: a busy Encoder refuses any argument.
        if (!encoder->hold.try_exclusive()) throw_error(PyExc_RuntimeError, "Already borrowed");
        ExclusiveHold hold(encoder->hold);
        if (!PyBytes_Check(state)) throw with_note(not_instance_error(state, "bytes"), "state");
        DecodedState decoded;
        try {
            // Read straight from the bytes object's buffer; only labels are copied out.
            decoded = read_state(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
        } catch (const StateError& error) {
            throw_error(PyExc_ValueError, std::string("failed to unpickle Encoder: ") + error.what());
        }
        encoder->tables = std::move(decoded.tables);
        return Py_NewRef(Py_None);
    });
}

}  // namespace quorlin
