#include "parallel/pool.hpp"

namespace quorlin::parallel {

std::size_t current_num_threads() { return 1; }

}  // namespace quorlin::parallel
