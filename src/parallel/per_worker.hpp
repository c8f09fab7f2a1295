// State that each worker keeps for itself during one parallel loop: a worker that runs several
// parts of the loop finds the state it made for the first, so the loop needs no locks and makes
// at most one state per worker. The body must start no parallel work of its own: a worker that
// waits for such work may run another part of the loop meanwhile, on the same state.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "parallel/pool.hpp"

namespace quorlin::parallel {

template <class T>
class PerWorker {
  public:
    // For the pool of the loop: made where the loop is started.
    PerWorker() : states_(current_num_threads()) {}

    // The calling worker's state, made with `make` on first use.
    template <class Make>
    T& mine(const Make& make) {
        std::unique_ptr<T>& state = states_.at(current_thread_index());
        if (!state) state = make();
        return *state;
    }
    T& mine() {
        return mine([] { return std::make_unique<T>(); });
    }

    // Index of the calling worker, which names its state.
    static std::size_t index() { return current_thread_index(); }
    // The state of worker `index`, or null if it took no part.
    T* of(std::size_t index) const noexcept { return states_[index].get(); }
    std::size_t workers() const noexcept { return states_.size(); }
    // Frees every state.
    void clear() noexcept {
        for (std::unique_ptr<T>& state : states_) state.reset();
    }

  private:
    std::vector<std::unique_ptr<T>> states_;
};

}  // namespace quorlin::parallel
