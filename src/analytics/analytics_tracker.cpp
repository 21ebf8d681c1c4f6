#include "analytics/analytics_tracker.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "log/log.h"

namespace qur {

namespace {

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Appended, not a "+" chain: g++ 12 -O3 warns falsely (-Wrestrict) on the chain.
std::string quoted(const std::string& s) {
  const std::string escaped = AnalyticsTracker::jsonEscape(s);
  std::string out;
  out.reserve(escaped.size() + 2);
  out.push_back('"');
  out.append(escaped);
  out.push_back('"');
  return out;
}

}  // namespace

AnalyticsTracker& AnalyticsTracker::sharedInstance() {
  static AnalyticsTracker* tracker = [] {
    std::set_terminate(&reportUncaughtExceptionAndAbort);
    const char* path = std::getenv("QUR_WTALKIE_ANALYTICS_FILE");
    return new AnalyticsTracker(path ? path : "");
  }();
  return *tracker;
}

AnalyticsTracker::AnalyticsTracker(std::string path) {
  if (path.empty()) return;
  _file = std::fopen(path.c_str(), "a");
  if (!_file) QUR_LOG_ERROR("Analytics: cannot open %s for appending", path.c_str());
}

AnalyticsTracker::~AnalyticsTracker() {
  if (_file) std::fclose(_file);
}

void AnalyticsTracker::setScreenName(const std::string& name) {
  std::lock_guard lock(_mutex);
  _screenName = name;
}

void AnalyticsTracker::trackScreenView() {
  std::string screen;
  {
    std::lock_guard lock(_mutex);
    screen = _screenName;
  }
  write("\"type\":\"screenview\",\"screen\":" + quoted(screen));
}

void AnalyticsTracker::trackEvent(const std::string& category, const std::string& action,
                                  const std::string& label, std::optional<std::int64_t> value) {
  std::string body = "\"type\":\"event\",\"category\":" + quoted(category) +
                     ",\"action\":" + quoted(action) + ",\"label\":" + quoted(label);
  if (value) body += ",\"value\":" + std::to_string(*value);
  write(body);
}

void AnalyticsTracker::trackTiming(const std::string& category, std::int64_t intervalMs,
                                   const std::string& name, const std::string& label) {
  write("\"type\":\"timing\",\"category\":" + quoted(category) + ",\"interval_ms\":" +
        std::to_string(intervalMs) + ",\"name\":" + quoted(name) + ",\"label\":" + quoted(label));
}

void AnalyticsTracker::write(const std::string& body) {
  std::lock_guard lock(_mutex);
  if (!_file) return;
  const std::string line = "{\"time_ms\":" + std::to_string(nowMs()) + "," + body + "}\n";
  if (std::fwrite(line.data(), 1, line.size(), _file) != line.size() || std::fflush(_file) != 0) {
    QUR_LOG_ERROR("Analytics: writing a record failed");
  }
}

std::string AnalyticsTracker::jsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void reportUncaughtExceptionAndAbort() {
  if (auto pending = std::current_exception()) {
    try {
      std::rethrow_exception(pending);
    } catch (const std::exception& e) {
      QUR_LOG_ERROR("Uncaught exception: %s", e.what());
    } catch (...) {
      QUR_LOG_ERROR("Uncaught exception of unknown type");
    }
  } else {
    QUR_LOG_ERROR("std::terminate called without an active exception");
  }
  std::abort();
}

}  // namespace qur
