// The wrapper around every entry point: C++ failures become Python exceptions here, and only
// here. Everything the body owned is released by unwinding before the exception is set.
#pragma once

#include <new>

#include "module/failure.hpp"
#include "module/py_errors.hpp"
#include "module/py_panic.hpp"

namespace quorlin {

// Runs `body` (which returns a new reference) and gives CPython either that reference or
// nullptr with an exception set.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
    try {
        return body();
    } catch (PythonError& error) {
        error.restore();
    } catch (const InternalFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic(kGenericPanic);
    }
    return nullptr;
}

}  // namespace quorlin
