#include "module/py_encoder.hpp"

#include <atomic>
#include <new>
#include <string_view>

#include "module/py_binding.hpp"
#include "module/py_entry.hpp"

namespace quorlin {

namespace {

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
                throw_error(PyExc_ValueError,
                            std::string(text) + " is not a supported encoding strategy for strings!");
            }
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        if (alloc == nullptr) alloc = PyType_GenericAlloc;
        PyObject* self = alloc(cls, 0);
        if (self == nullptr) throw_python_error();
        EncoderObject* encoder = as_encoder(self);
        new (&encoder->tables) std::optional<EncodingInfo>();
        new (&encoder->hold) HoldWord();
        return self;
    });
}

void encoder_dealloc(PyObject* self) {
    EncoderObject* encoder = as_encoder(self);
    encoder->tables.~optional();
    encoder->hold.~HoldWord();
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
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
        PythonError error = make_error(PyExc_RuntimeError,
                                       "An error occurred while initializing class Encoder");
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
