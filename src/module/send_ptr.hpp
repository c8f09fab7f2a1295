// Shared holder of the output buffer's address. Pool tasks write their own cells through it
// without locks; it never owns or frees the buffer.
#pragma once

#include <cstddef>
#include <memory>

namespace quorlin {

class SendPtr {
public:
    explicit SendPtr(double* address) : address_(std::make_shared<double*>(address)) {}

    double* get() const noexcept { return *address_; }

    // Writes one cell; callers guarantee that no two tasks write the same position.
    void write(std::size_t position, double value) const noexcept { (*address_)[position] = value; }

private:
    std::shared_ptr<double*> address_;
};

}  // namespace quorlin
