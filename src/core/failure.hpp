// Internal failures of the core: a broken invariant that the Python skin reports as
// PanicException. The core never includes Python.h, so failures travel as C++ exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace quorlin {

class InternalFailure : public std::runtime_error {
  public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quorlin
