// Collects log messages for assertions while it lives.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace qur::testing {

class LogCapture {
 public:
  // Captures every flag in the mask; the global level is raised to include it
  // for the capture's lifetime and restored afterwards.
  explicit LogCapture(int levelMask = LogLevelAll);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogMessage> messages() const;
  std::vector<std::string> lines() const;
  // How many captured messages contain the text.
  int count(const std::string& text) const;
  bool contains(const std::string& text) const { return count(text) > 0; }
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> _sink;
  int _previousLevel;
};

}  // namespace qur::testing
