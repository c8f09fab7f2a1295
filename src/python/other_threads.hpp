// Whether other threads may run Python code while a call runs. On a free-threaded build they do,
// beside the calling thread, whatever it holds: the roads that lean on "no Python code runs until
// the read is done" take their safe form there. This is the one place that decides it.
#pragma once

#include "python/ref.hpp"

namespace quorlin {

#ifdef Py_GIL_DISABLED
inline constexpr bool kOtherThreadsRun = true;
#else
inline constexpr bool kOtherThreadsRun = false;
#endif

}  // namespace quorlin
