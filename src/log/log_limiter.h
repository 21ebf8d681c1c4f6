// Keeps a flood of alike log lines down to one line per window and a count:
// a remote host decides how often these things happen, not how often we
// write. Every line that something outside the program can trigger goes
// through one of these.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "log/log.h"

namespace qur {

class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDefaultWindow{10000};

  explicit LogLimiter(std::chrono::milliseconds window = kDefaultWindow) : _window(window) {}

  // Whether to log this occurrence; if so, how many were kept quiet since the
  // last line. Any thread.
  std::optional<std::size_t> admit(Clock::time_point now = Clock::now());
  std::size_t suppressed() const;

 private:
  mutable std::mutex _mutex;
  const std::chrono::milliseconds _window;
  Clock::time_point _windowEnd{};
  std::size_t _suppressed = 0;
  bool _open = false;
};

// One limiter per kind of line, the kind named by a short key (a refusal's
// reason, say). Past kMaxKinds keys every further kind shares one limiter,
// so keys made from outside input cannot grow it. Any thread.
class KeyedLogLimiter {
 public:
  static constexpr std::size_t kMaxKinds = 32;

  explicit KeyedLogLimiter(std::chrono::milliseconds window = LogLimiter::kDefaultWindow)
      : _window(window), _others(window) {}
  std::optional<std::size_t> admit(std::string_view kind,
                                   LogLimiter::Clock::time_point now = LogLimiter::Clock::now());

 private:
  std::mutex _mutex;
  const std::chrono::milliseconds _window;
  std::map<std::string, LogLimiter, std::less<>> _kinds;
  LogLimiter _others;
};

// Logs the line with " (N more like it since the last report)" appended
// when lines were kept quiet before it.
void logCounted(std::size_t quiet, int flag, const char* file, const char* function, int line,
                const char* format, ...) __attribute__((format(printf, 6, 7)));

}  // namespace qur

// Logs through a limiter (anything with admit()) at the given flag.
#define QUR_LOG_LIMITED(limiter, flg, fmt, ...)                                                 \
  do {                                                                                          \
    if (::qur::logLevel() & (flg)) {                                                            \
      if (const auto qurQuiet_ = (limiter).admit())                                             \
        ::qur::logCounted(*qurQuiet_, (flg), __FILE__, __func__, __LINE__, fmt, ##__VA_ARGS__); \
    }                                                                                           \
  } while (0)

// As QUR_LOG_LIMITED, through a keyed limiter: one count per kind.
#define QUR_LOG_LIMITED_KIND(limiter, kind, flg, fmt, ...)                                      \
  do {                                                                                          \
    if (::qur::logLevel() & (flg)) {                                                            \
      if (const auto qurQuiet_ = (limiter).admit(kind))                                         \
        ::qur::logCounted(*qurQuiet_, (flg), __FILE__, __func__, __LINE__, fmt, ##__VA_ARGS__); \
    }                                                                                           \
  } while (0)
