// The Encoder type: its instance layout, constructor and the four methods encode, decode,
// __getstate__ and __setstate__, each running inside the entry-point wrapper under the hold that
// keeps calls on one Encoder apart.
#include "python/encoder.hpp"

#include <atomic>
#include <new>
#include <optional>
#include <string_view>

#include "core/encoding_info.hpp"
#include "core/hold.hpp"
#include "python/adapter.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/label_fill.hpp"
#include "python/output.hpp"
#include "state/state_format.hpp"

namespace quorlin {

namespace {

struct EncoderObject {
    PyObject_HEAD std::optional<Tables> tables;  // absent until the first encode or __setstate__
    LabelObjects labels;                         // the strs of the tables' labels, once decoded
    HoldWord hold;
};

inline EncoderObject* as_encoder(PyObject* self) noexcept {
    return reinterpret_cast<EncoderObject*>(self);
}

const char* const kNewParameters[] = {"encoding"};
const FunctionDescription kNewDescription{"Encoder.__new__()", kNewParameters, 1, 0};

PyObject* encoder_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        PyObject* encoding = nullptr;
        bind_tuple_dict(kNewDescription, args, kwargs, &encoding);
        if (encoding != nullptr && encoding != Py_None) {
            if (!PyUnicode_Check(encoding)) {
                throw with_note(not_instance_error(encoding, "str"), "encoding");
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(encoding, &size);
            if (utf8 == nullptr) throw with_note(PythonError(fetch_error()), "encoding");
            std::string_view text(utf8, static_cast<std::size_t>(size));
            if (text != "label") {
                throw_error(
                    PyExc_ValueError,
                    std::string(text) + " is not a supported encoding strategy for strings!");
            }
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* self = alloc(cls, 0);
        if (self == nullptr) pass_on_error();
        EncoderObject* encoder = as_encoder(self);
        new (&encoder->tables) decltype(encoder->tables)();
        new (&encoder->labels) LabelObjects();
        new (&encoder->hold) HoldWord();
        return self;
    });
}

void encoder_dealloc(PyObject* self) {
    EncoderObject* encoder = as_encoder(self);
    encoder->labels.~LabelObjects();
    encoder->tables.~optional();
    encoder->hold.~HoldWord();
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

const char* const kObjParameters[] = {"obj"};
const FunctionDescription kEncodeDescription{"Encoder.encode()", kObjParameters, 1, 1};
const FunctionDescription kDecodeDescription{"Encoder.decode()", kObjParameters, 1, 1};

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
        encoder->labels.clear();
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
        if (!encoder->hold.try_shared())
            throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        SharedHold hold(encoder->hold);
        const Tables* tables = encoder->tables ? &*encoder->tables : nullptr;
        // With tables, the codes are only read: they need no copy of their own.
        AdapterResult read = pyany_to_vec(obj, /*may_borrow=*/tables != nullptr);
        read.tables.reset();  // the input's own tables are not used
        LabelObjects* kept = kKeepLabelObjects ? &encoder->labels : nullptr;
        return arr_to_out(read.matrix, std::move(read.out), tables, read.held.get(), kept)
            .release();
    });
}

const char* const kStateParameters[] = {"state"};
const FunctionDescription kSetstateDescription{"Encoder.__setstate__()", kStateParameters, 1, 1};

PyObject* encoder_getstate(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        EncoderObject* encoder = as_encoder(self);
        if (!encoder->hold.try_shared())
            throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        SharedHold hold(encoder->hold);
        std::vector<std::uint8_t> bytes;
        try {
            bytes =
                write_state(encoder->tables ? &*encoder->tables : nullptr, StringEncoding::Label);
        } catch (const StateError& error) {
            throw_error(PyExc_ValueError, error.what());
        }
        return or_pass_on(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
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
            throw_error(PyExc_ValueError,
                        std::string("failed to unpickle Encoder: ") + error.what());
        }
        encoder->labels.clear();
        encoder->tables = std::move(decoded.tables);  // the general form, as read
        return Py_NewRef(Py_None);
    });
}

PyMethodDef kMethods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", encoder_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.Encoder", static_cast<int>(sizeof(EncoderObject)), 0,
                  Py_TPFLAGS_DEFAULT, kSlots};

std::atomic<PyObject*> g_encoder_type{nullptr};

}  // namespace

PyObject* encoder_type() {
    if (PyObject* type = g_encoder_type.load(std::memory_order_acquire)) return type;
    PyObject* made = PyType_FromSpec(&kSpec);
    if (made == nullptr) {
        PyRef cause = fetch_error();
        PythonError error =
            make_error(PyExc_RuntimeError, "An error occurred while initializing class Encoder");
        PyException_SetCause(error.exception(), cause.release());
        throw error;
    }
    // Racing threads each build one; the first stored wins and the others drop theirs.
    PyObject* expected = nullptr;
    if (!g_encoder_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

}  // namespace quorlin
