#include "log/log.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace qur {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<Logger>> loggers;
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: logging may happen during exit
  return *r;
}

// Warnings too: refusals of outside input are warnings, and the system log
// should hold them.
std::atomic<int> gLevel{LogLevelWarning};

}  // namespace

void addLogger(std::shared_ptr<Logger> logger) {
  if (!logger) return;
  std::lock_guard lock(registry().mutex);
  registry().loggers.push_back(std::move(logger));
}

void removeLogger(const std::shared_ptr<Logger>& logger) {
  std::lock_guard lock(registry().mutex);
  auto& v = registry().loggers;
  v.erase(std::remove(v.begin(), v.end(), logger), v.end());
}

void removeAllLoggers() {
  std::lock_guard lock(registry().mutex);
  registry().loggers.clear();
}

int logLevel() {
  return gLevel.load(std::memory_order_relaxed);
}
void setLogLevel(int level) {
  gLevel.store(level, std::memory_order_relaxed);
}

void log(bool asynchronous, int level, int flag, int context, const char* file,
         const char* function, int line, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logv(asynchronous, level, flag, context, file, function, line, tag, format, args);
  va_end(args);
}

void logv(bool, int level, int flag, int context, const char* file, const char* function, int line,
          const char* tag, const char* format, va_list args) {
  LogMessage m;
  char stackBuffer[512];
  va_list copy;
  va_copy(copy, args);
  const int n = format ? std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy) : 0;
  va_end(copy);
  if (n < 0) {
    m.message = "(unformattable log message)";
  } else if (static_cast<size_t>(n) < sizeof stackBuffer) {
    m.message.assign(stackBuffer, static_cast<size_t>(n));
  } else {
    m.message.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(m.message.data(), m.message.size(), format, args);
    m.message.resize(static_cast<size_t>(n));
  }
  m.level = level;
  m.flag = flag;
  m.context = context;
  m.file = file ? file : "";
  m.function = function ? function : "";
  m.line = line;
  m.tag = tag ? tag : "";
  m.timestampMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  m.threadID = static_cast<unsigned long>(pthread_self());

  std::lock_guard lock(registry().mutex);
  for (auto& logger : registry().loggers) logger->logMessage(m);
}

std::string processName() {
  static const std::string name = [] {
    char buf[256] = {};
    FILE* f = std::fopen("/proc/self/comm", "r");
    if (f) {
      if (std::fgets(buf, sizeof buf, f)) {
        buf[std::strcspn(buf, "\n")] = 0;
      }
      std::fclose(f);
    }
    return std::string(buf[0] ? buf : "qur-wtalkie");
  }();
  return name;
}

std::string ConsoleLogger::formatLine(const LogMessage& m) {
  const std::time_t seconds = static_cast<std::time_t>(m.timestampMs / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char head[128];
  std::snprintf(head, sizeof head, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                static_cast<long>(tm.tm_year + 1900), static_cast<long>(tm.tm_mon + 1),
                static_cast<long>(tm.tm_mday), static_cast<long>(tm.tm_hour),
                static_cast<long>(tm.tm_min), static_cast<long>(tm.tm_sec),
                static_cast<int>(m.timestampMs % 1000));
  char ids[96];
  std::snprintf(ids, sizeof ids, "[%d:%lx] ", static_cast<int>(getpid()), m.threadID);
  std::string line;
  line.reserve(m.message.size() + 96);
  line += head;
  line += ' ';
  line += processName();
  line += ids;
  line += m.message;
  line += '\n';
  return line;
}

void ConsoleLogger::logMessage(const LogMessage& message) {
  const std::string line = formatLine(message);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int SystemLogger::severityForFlag(int flag) {
  if (flag & LogFlagError) return LOG_CRIT;
  if (flag & LogFlagWarning) return LOG_ERR;
  if (flag & LogFlagInfo) return LOG_WARNING;
  return LOG_NOTICE;
}

void SystemLogger::logMessage(const LogMessage& message) {
  syslog(severityForFlag(message.flag), "%s", message.message.c_str());
}

std::string fourCharCode(int status) {
  const auto u = static_cast<unsigned>(status);
  char c[5] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
               static_cast<char>(u), 0};
  for (int i = 0; i < 4; ++i) {
    if (c[i] < 0x20 || c[i] > 0x7e) c[i] = '.';
  }
  return c;
}

}  // namespace qur
