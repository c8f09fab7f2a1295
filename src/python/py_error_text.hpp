// Python errors as text, for internal failures that wrap one ("TypeError: ...").
#pragma once

#include <string>

#include "module/py_ref.hpp"

namespace quorlin {

// "Name: message", or "Name" when the message is empty.
std::string describe_exception(PyObject* exc);
// Takes the pending error and describes it. A PanicException coming back through Python
// becomes an InternalFailure of its own (see fetch_error).
std::string describe_pending_error();

}  // namespace quorlin
