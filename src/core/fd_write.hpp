// Writes straight to a file descriptor, past Python's sys.stdout and sys.stderr: the module's
// only output (the class name of an unsupported input, and the fatal-path messages).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace quorlin {

// Writes all of `text`, retrying after a signal; any other failure ends the write unreported.
inline void write_fd(int fd, std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace quorlin
