#include "log/log_limiter.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace qur {

std::optional<std::size_t> LogLimiter::admit(Clock::time_point now) {
  std::lock_guard lock(_mutex);
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

std::size_t LogLimiter::suppressed() const {
  std::lock_guard lock(_mutex);
  return _suppressed;
}

std::optional<std::size_t> KeyedLogLimiter::admit(std::string_view kind,
                                                  LogLimiter::Clock::time_point now) {
  std::lock_guard lock(_mutex);
  auto found = _kinds.find(kind);
  if (found == _kinds.end()) {
    if (_kinds.size() >= kMaxKinds) return _others.admit(now);
    found = _kinds.try_emplace(std::string(kind), _window).first;
  }
  return found->second.admit(now);
}

void logCounted(std::size_t quiet, int flag, const char* file, const char* function, int line,
                const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(n > 0 ? static_cast<std::size_t>(n) + 1 : 1, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  if (quiet == 0) {
    log(true, logLevel(), flag, 0, file, function, line, nullptr, "%s", text.data());
  } else {
    log(true, logLevel(), flag, 0, file, function, line, nullptr,
        "%s (%zu more like it since the last report)", text.data(), quiet);
  }
}

}  // namespace qur
