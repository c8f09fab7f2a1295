// Failures across the boundary with Python. Python exceptions travel through C++ as values
// (PythonError); every failed Python call is handled by one of the policies below; internal
// failures of the core (C++ exceptions) become PanicException; and run_entry, around every
// entry point, is the one place where all of them turn into the exception CPython sees.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "parallel/thread_state.hpp"
#include "python/ref.hpp"

namespace quorlin {

// A Python exception on its way to the entry point, where it is set again unchanged.
class PythonError : public std::exception {
  public:
    explicit PythonError(PyRef exception) noexcept : exception_(std::move(exception)) {}
    const char* what() const noexcept override { return "Python exception"; }
    PyObject* exception() const noexcept { return exception_.get(); }
    // Makes it the thread's current exception again.
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }

  private:
    PyRef exception_;
};

// Takes the pending Python error. A PanicException coming back through Python code (an
// internal failure of a nested call) is printed with a banner and becomes an internal failure
// of this call instead: this function then throws InternalFailure.
PyRef fetch_error();

// What becomes of the pending error of a failed Python call. Each site keeps the policy that
// its rule gives it:
// - pass on: the caller sees the Python exception unchanged;
[[noreturn]] void pass_on_error();
// - internal failure "<prefix><Name>: <message>"; KeyboardInterrupt still passes on, since
//   Ctrl-C must end the call as itself (CPython's str() checks for signals on its own);
[[noreturn]] void fail_on_error(std::string_view prefix = {});
// - dropped when it is an ordinary Exception; KeyboardInterrupt and every other
//   BaseException pass on;
void drop_ordinary_error();
// - dropped unless it is a KeyboardInterrupt, which passes on;
void drop_error_unless_interrupt();
// - dropped, whatever it is (only where nothing depends on it).
void discard_error();

// The same policies on a call's result: the new reference it returned, or the policy applied
// to its error (or_drop then returns an empty handle).
inline PyRef or_pass_on(PyObject* result) {
    if (result == nullptr) pass_on_error();
    return PyRef::steal(result);
}
inline PyRef or_fail(PyObject* result) {
    if (result == nullptr) fail_on_error();
    return PyRef::steal(result);
}
inline PyRef or_drop(PyObject* result) {
    if (result == nullptr) drop_ordinary_error();
    return PyRef::steal(result);
}

// A new exception of class `type` with the message `message`.
PythonError make_error(PyObject* type, std::string_view message);
[[noreturn]] void throw_error(PyObject* type, std::string_view message);
// "'{}' object is not an instance of '{}'", or "'None' is not an instance of '{}'".
PythonError not_instance_error(PyObject* obj, std::string_view expected);
// Adds the note "while processing '{param}'"; a failing add_note is ignored.
PythonError with_note(PythonError error, std::string_view param);

// The qualified name of a type as UTF-8 text.
std::string type_qualname(PyTypeObject* type);

// PanicException, the class of every internal failure, created once per process on first need
// (threads that wait for its creation detach from the interpreter meanwhile).
PyObject* panic_exception_type();
// Sets a new PanicException(message) as the current exception. If that is impossible the
// process ends, since no other report of the failure can be made.
void raise_panic(const char* message) noexcept;
// Ends the process after writing `message` to standard error.
[[noreturn]] void fatal(const char* message) noexcept;
// Fixed text of an internal failure that carries none.
inline constexpr const char* kGenericPanic = "internal failure without a message";

// Runs `body` (which returns a new reference) and gives CPython either that reference or
// nullptr with an exception set. Everything the body owned is released by unwinding before
// the exception is set.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
    // A thread's first throw needs memory of the C++ runtime's own, and failing to get it then
    // ends the process: this thread gets it now, or the call fails here without a throw.
    if (!parallel::prepare_thread()) return PyErr_NoMemory();
    try {
        return body();
    } catch (PythonError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        // InternalFailure, the pool's own errors and whatever else the core throws.
        raise_panic(failure.what());
    } catch (...) {
        raise_panic(kGenericPanic);
    }
    return nullptr;
}

}  // namespace quorlin
