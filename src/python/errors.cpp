#include "python/errors.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/failure.hpp"
#include "core/fd_write.hpp"

namespace quorlin {

namespace {

constexpr int kStderr = 2;

// UTF-8 of a str, `fallback` when it has none (the text is best effort).
std::string utf8_or(PyObject* text, const char* fallback) {
    Py_ssize_t size = 0;
    const char* utf8 = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// "Name: message", or "Name" when the message is empty.
std::string describe_exception(PyObject* exc) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(exc)));
    if (!name) discard_error();
    std::string text = utf8_or(name.get(), "");
    PyRef message = PyRef::steal(PyObject_Str(exc));
    if (!message) discard_error();
    std::string detail = utf8_or(message.get(), "");
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return text;
}

bool is_interrupt(PyObject* exc) {
    return PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt) != 0;
}

std::atomic<PyObject*> g_panic_type{nullptr};
std::mutex g_panic_mutex;
// The thread creating the class, while it does (no thread_local: see parallel/thread_state.hpp).
std::atomic<std::thread::id> g_panic_creator{};

}  // namespace

PyRef fetch_error() {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    if (!exc) {
        // A failed call that set nothing: report it as such rather than lose the failure.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyRef::steal(PyErr_GetRaisedException());
    }
    PyObject* panic_type = panic_exception_type();
    if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        PyRef text = PyRef::steal(PyObject_Str(exc.get()));
        std::string message = utf8_or(text.get(), kGenericPanic);
        write_fd(
            kStderr,
            "--- PanicException from a nested call into native code, seen on its way back ---\n"
            "--- its traceback follows; the outer call fails with it in turn ---\n");
        PyErr_SetRaisedException(exc.release());
        PyErr_PrintEx(0);
        throw InternalFailure(message);
    }
    return exc;
}

void pass_on_error() {
    throw PythonError(fetch_error());
}

void fail_on_error(std::string_view prefix) {
    PyRef exc = fetch_error();
    if (is_interrupt(exc.get())) throw PythonError(std::move(exc));
    throw InternalFailure(std::string(prefix) + describe_exception(exc.get()));
}

void drop_ordinary_error() {
    PyRef exc = fetch_error();
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) throw PythonError(std::move(exc));
}

void drop_error_unless_interrupt() {
    PyRef exc = fetch_error();
    if (is_interrupt(exc.get())) throw PythonError(std::move(exc));
}

void discard_error() {
    fetch_error();
}

PythonError make_error(PyObject* type, std::string_view message) {
    PyRef text = or_pass_on(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
    return PythonError(or_pass_on(PyObject_CallOneArg(type, text.get())));
}

void throw_error(PyObject* type, std::string_view message) {
    throw make_error(type, message);
}

std::string type_qualname(PyTypeObject* type) {
    PyRef name = or_pass_on(PyType_GetQualName(type));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) pass_on_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

PythonError not_instance_error(PyObject* obj, std::string_view expected) {
    std::string message;
    if (obj == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'" + type_qualname(Py_TYPE(obj)) + "' object is not an instance of '";
    }
    message.append(expected);
    message += "'";
    return make_error(PyExc_TypeError, message);
}

PythonError with_note(PythonError error, std::string_view param) {
    std::string note = "while processing '" + std::string(param) + "'";
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    if (text) {
        PyRef result =
            PyRef::steal(PyObject_CallMethod(error.exception(), "add_note", "O", text.get()));
        if (!result) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    return error;
}

void fatal(const char* message) noexcept {
    write_fd(kStderr, message);
    write_fd(kStderr, "\n");
    std::abort();
}

PyObject* panic_exception_type() {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    // Creating the class runs Python code (a collection may run finalizers); an internal failure
    // that needs the class while this thread is still creating it cannot be reported.
    if (g_panic_creator.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        fatal("uncaught panic at ffi boundary");
    }
    // Wait for the lock detached, so that a thread creating the class can run meanwhile.
    if (!g_panic_mutex.try_lock()) {
        Py_BEGIN_ALLOW_THREADS g_panic_mutex.lock();
        Py_END_ALLOW_THREADS
    }
    std::lock_guard<std::mutex> guard(g_panic_mutex, std::adopt_lock);
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* exc = PyErr_GetRaisedException();  // keep a pending error intact
    g_panic_creator.store(std::this_thread::get_id(), std::memory_order_relaxed);
    PyObject* type = PyErr_NewExceptionWithDoc(
        "native_runtime.PanicException",
        "Raised when native code called from Python fails with an internal error.\n\n"
        "It derives from BaseException, like SystemExit, so that a plain `except Exception`\n"
        "does not catch it.",
        PyExc_BaseException, nullptr);
    g_panic_creator.store(std::thread::id(), std::memory_order_relaxed);
    if (type == nullptr) {
        PyErr_Clear();
        write_fd(kStderr, "Failed to initialize new exception type.\n");
        fatal("uncaught panic at ffi boundary");
    }
    PyErr_SetRaisedException(exc);
    g_panic_type.store(type, std::memory_order_release);  // kept until the process ends
    return type;
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    PyObject* text =
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) fatal("uncaught panic at ffi boundary");
    PyObject* instance = PyObject_CallOneArg(type, text);
    Py_DECREF(text);
    if (instance == nullptr) fatal("uncaught panic at ffi boundary");
    PyErr_SetRaisedException(instance);
}

}  // namespace quorlin
