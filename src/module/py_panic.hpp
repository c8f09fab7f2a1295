// PanicException, the class of every internal failure, and the fatal path.
#pragma once

#include "module/py_ref.hpp"

namespace quorlin {

// The class, created once per process on first need (threads that wait for its creation
// detach from the interpreter meanwhile).
PyObject* panic_exception_type();

// Sets a new PanicException(message) as the current exception. If that is impossible the
// process ends, since no other report of the failure can be made.
void raise_panic(const char* message) noexcept;

// Writes straight to file descriptor 2, bypassing Python's sys.stderr.
void write_stderr(const char* text) noexcept;

// Ends the process after writing `message` to standard error.
[[noreturn]] void fatal(const char* message) noexcept;

// Fixed text of an internal failure that carries none.
inline constexpr const char* kGenericPanic = "internal failure without a message";

}  // namespace quorlin
