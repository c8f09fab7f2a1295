// The Encoder class.
#pragma once

#include "python/ref.hpp"

namespace quorlin {

// The Encoder type, created once per process on first request and kept until it ends.
// Throws PythonError (RuntimeError) when CPython cannot create it.
PyObject* encoder_type();

}  // namespace quorlin
