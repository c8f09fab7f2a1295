// Lets a long scan end with KeyboardInterrupt (or whatever a signal handler raises): pending
// signals are handled every few thousand cells.
#pragma once

#include <cstddef>

#include "module/py_errors.hpp"

namespace quorlin {

class SignalCheck {
  public:
    static constexpr std::size_t kCells = 4096;

    // Counts `cells` more cells; runs the signal handlers once kCells have passed.
    void step(std::size_t cells = 1) {
        if (cells < left_) {
            left_ -= cells;
            return;
        }
        left_ = kCells;
        if (PyErr_CheckSignals() < 0) throw_python_error();
    }

  private:
    std::size_t left_ = kCells;
};

}  // namespace quorlin
