// Lets a long scan end with KeyboardInterrupt (or whatever a signal handler raises).
#pragma once

#include <cstddef>

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace quorlin {

// Pending signals are handled every few thousand cells.
class SignalCheck {
  public:
    static constexpr std::size_t kCells = 4096;

    // Counts `cells` more cells; runs the signal handlers once kCells have passed. True when
    // it ran them: Python code may have run.
    bool step(std::size_t cells = 1) {
        if (cells < left_) {
            left_ -= cells;
            return false;
        }
        left_ = kCells;
        if (PyErr_CheckSignals() < 0) pass_on_error();
        return true;
    }

  private:
    std::size_t left_ = kCells;
};

}  // namespace quorlin
