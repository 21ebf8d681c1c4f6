#include "support/log_capture.h"

namespace qur::testing {

class LogCapture::Sink : public Logger {
 public:
  void logMessage(const LogMessage& message) override {
    std::lock_guard lock(mutex);
    messages.push_back(message);
  }
  mutable std::mutex mutex;
  std::vector<LogMessage> messages;
};

LogCapture::LogCapture(int levelMask)
    : _sink(std::make_shared<Sink>()), _previousLevel(logLevel()) {
  setLogLevel(_previousLevel | levelMask);
  addLogger(_sink);
}

LogCapture::~LogCapture() {
  removeLogger(_sink);
  setLogLevel(_previousLevel);
}

std::vector<LogMessage> LogCapture::messages() const {
  std::lock_guard lock(_sink->mutex);
  return _sink->messages;
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  for (auto& m : messages()) out.push_back(m.message);
  return out;
}

int LogCapture::count(const std::string& text) const {
  int n = 0;
  for (auto& m : messages()) n += m.message.find(text) != std::string::npos;
  return n;
}

void LogCapture::clear() {
  std::lock_guard lock(_sink->mutex);
  _sink->messages.clear();
}

}  // namespace qur::testing
