// Process-wide leveled logging. Every message passes through one entry,
// qur::log(), which hands it to the installed loggers (console, syslog, or a
// test capture). Callers test the flag against their level mask first; the
// QUR_LOG_* macros do that against the global level.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

namespace qur {

enum LogFlag : int {
  LogFlagError = 1,
  LogFlagWarning = 2,
  LogFlagInfo = 4,
  LogFlagDebug = 8,
  LogFlagVerbose = 16,
};

// Level masks: a level enables its own flag and every more severe one.
enum LogLevel : int {
  LogLevelOff = 0,
  LogLevelError = LogFlagError,
  LogLevelWarning = LogLevelError | LogFlagWarning,
  LogLevelInfo = LogLevelWarning | LogFlagInfo,
  LogLevelDebug = LogLevelInfo | LogFlagDebug,
  LogLevelVerbose = LogLevelDebug | LogFlagVerbose,
  LogLevelAll = ~0,
};

struct LogMessage {
  std::string message;
  int level = 0;
  int flag = 0;
  int context = 0;
  std::string file;
  std::string function;
  int line = 0;
  std::string tag;
  long long timestampMs = 0;  // wall clock, milliseconds since the epoch
  unsigned long threadID = 0;
};

class Logger {
 public:
  virtual ~Logger() = default;
  // Called with the logging lock held, one message at a time.
  virtual void logMessage(const LogMessage& message) = 0;
};

// Writes "YYYY-MM-DD hh:mm:ss:mmm process[pid:tid] message" to standard error.
class ConsoleLogger : public Logger {
 public:
  void logMessage(const LogMessage& message) override;
  static std::string formatLine(const LogMessage& message);
};

// Passes messages to syslog(3): error -> LOG_CRIT, warning -> LOG_ERR,
// info -> LOG_WARNING, anything else -> LOG_NOTICE.
class SystemLogger : public Logger {
 public:
  void logMessage(const LogMessage& message) override;
  static int severityForFlag(int flag);
};

void addLogger(std::shared_ptr<Logger> logger);
void removeLogger(const std::shared_ptr<Logger>& logger);
void removeAllLoggers();

// The global level mask consulted by the QUR_LOG_* macros (default: warnings).
int logLevel();
void setLogLevel(int level);

// The one entry. Messages are always delivered before this returns, so the
// asynchronous flag is accepted but never delays anything.
void log(bool asynchronous, int level, int flag, int context, const char* file,
         const char* function, int line, const char* tag, const char* format, ...)
    __attribute__((format(printf, 9, 10)));
void logv(bool asynchronous, int level, int flag, int context, const char* file,
          const char* function, int line, const char* tag, const char* format, va_list args)
    __attribute__((format(printf, 9, 0)));

// Platform status codes print as a decimal number and as four characters.
std::string fourCharCode(int status);

// Short name of the running process, as shown in console lines.
std::string processName();

}  // namespace qur

#define QUR_LOG_MAYBE(async, flg, fmt, ...)                                                \
  do {                                                                                     \
    const int qurLevel_ = ::qur::logLevel();                                               \
    if (qurLevel_ & (flg)) {                                                               \
      ::qur::log((async), qurLevel_, (flg), 0, __FILE__, __func__, __LINE__, nullptr, fmt, \
                 ##__VA_ARGS__);                                                           \
    }                                                                                      \
  } while (0)

#define QUR_LOG_ERROR(fmt, ...) QUR_LOG_MAYBE(false, ::qur::LogFlagError, fmt, ##__VA_ARGS__)
#define QUR_LOG_WARN(fmt, ...) QUR_LOG_MAYBE(true, ::qur::LogFlagWarning, fmt, ##__VA_ARGS__)
#define QUR_LOG_INFO(fmt, ...) QUR_LOG_MAYBE(true, ::qur::LogFlagInfo, fmt, ##__VA_ARGS__)
#define QUR_LOG_DEBUG(fmt, ...) QUR_LOG_MAYBE(true, ::qur::LogFlagDebug, fmt, ##__VA_ARGS__)
