// Keeps a flood of alike log lines down to the first one and then a count:
// a remote host controls how often these happen, not how often we write.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace qur::peers {

class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogLimiter(std::chrono::milliseconds window = std::chrono::seconds(10))
      : _window(window) {}

  // Whether to log this occurrence; if so, how many were kept quiet since the
  // last line. Not thread-safe: one owner thread.
  std::optional<std::size_t> admit(Clock::time_point now = Clock::now()) {
    if (_open && now < _windowEnd) {
      ++_suppressed;
      return std::nullopt;
    }
    const std::size_t quiet = _suppressed;
    _suppressed = 0;
    _open = true;
    _windowEnd = now + _window;
    return quiet;
  }
  std::size_t suppressed() const { return _suppressed; }

 private:
  std::chrono::milliseconds _window;
  Clock::time_point _windowEnd{};
  std::size_t _suppressed = 0;
  bool _open = false;
};

}  // namespace qur::peers
