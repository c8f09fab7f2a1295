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

  private:
    std::shared_ptr<double*> address_;
};

}  // namespace quorlin
