// Local analytics: screen views, events and timings as JSON lines in a file
// named by QUR_WTALKIE_ANALYTICS_FILE. Without that variable nothing is
// recorded; nothing is ever sent off the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qur {

class AnalyticsTracker {
 public:
  // The process-wide tracker, created on first use; installs the handler that
  // reports uncaught exceptions and std::terminate to the log.
  static AnalyticsTracker& sharedInstance();

  // A tracker writing to the given file (empty: records nothing).
  explicit AnalyticsTracker(std::string path);
  ~AnalyticsTracker();

  bool isRecording() const { return _file != nullptr; }
  void setScreenName(const std::string& name);
  void trackScreenView();
  void trackEvent(const std::string& category, const std::string& action, const std::string& label,
                  std::optional<std::int64_t> value = std::nullopt);
  void trackTiming(const std::string& category, std::int64_t intervalMs, const std::string& name,
                   const std::string& label);

  // Escapes a string for inclusion in a JSON document (without the quotes).
  static std::string jsonEscape(const std::string& text);

 private:
  void write(const std::string& jsonObjectBody);

  std::mutex _mutex;
  std::FILE* _file = nullptr;
  std::string _screenName;
};

// Logs the pending exception (if any) and aborts; installed by sharedInstance().
[[noreturn]] void reportUncaughtExceptionAndAbort();

}  // namespace qur
