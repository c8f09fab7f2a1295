#include "module/py_panic.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace quorlin {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};
std::mutex g_panic_mutex;

}  // namespace

void write_stderr(const char* text) noexcept {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = ::write(2, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

void fatal(const char* message) noexcept {
    write_stderr(message);
    write_stderr("\n");
    std::abort();
}

PyObject* panic_exception_type() {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    // Creating the class runs Python code (a collection may run finalizers); an internal failure
    // that needs the class while this thread is still creating it cannot be reported.
    thread_local bool creating = false;
    if (creating) fatal("uncaught panic at ffi boundary");
    // Wait for the lock detached, so that a thread creating the class can run meanwhile.
    if (!g_panic_mutex.try_lock()) {
        Py_BEGIN_ALLOW_THREADS g_panic_mutex.lock();
        Py_END_ALLOW_THREADS
    }
    std::lock_guard<std::mutex> guard(g_panic_mutex, std::adopt_lock);
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* exc = PyErr_GetRaisedException();  // keep a pending error intact
    creating = true;
    PyObject* type = PyErr_NewExceptionWithDoc(
        "native_runtime.PanicException",
        "Raised when native code called from Python fails with an internal error.\n\n"
        "It derives from BaseException, like SystemExit, so that a plain `except Exception`\n"
        "does not catch it.",
        PyExc_BaseException, nullptr);
    creating = false;
    if (type == nullptr) {
        PyErr_Clear();
        write_stderr("Failed to initialize new exception type.\n");
        fatal("uncaught panic at ffi boundary");
    }
    PyErr_SetRaisedException(exc);
    g_panic_type.store(type, std::memory_order_release);  // kept until the process ends
    return type;
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                          "replace");
    if (text == nullptr) fatal("uncaught panic at ffi boundary");
    PyObject* instance = PyObject_CallOneArg(type, text);
    Py_DECREF(text);
    if (instance == nullptr) fatal("uncaught panic at ffi boundary");
    PyErr_SetRaisedException(instance);
}

}  // namespace quorlin
