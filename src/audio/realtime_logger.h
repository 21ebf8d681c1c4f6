// Logging for code on the real-time audio thread, which must not call the
// logging framework (it locks and allocates). The logger formats each message
// into a fixed-size record of a preallocated ring and posts one lock-free
// engine message; on the main thread the records are handed to qur::log().
#pragma once

#include <cstdarg>
#include <cstdint>

#include "audio/circular_buffer.h"
#include "log/log.h"
#include "log/thread_role.h"

namespace qur {

class AudioEngine;

// One stored message; records lie back to back in the ring.
struct RealtimeLogRecord {
  int32_t flag;
  int32_t line;
  int32_t level;
  uint8_t asynchronous;
  char function[128];
  char file[384];
  char message[512];
};
inline constexpr int32_t kRealtimeLogRecordSize = 1040;
static_assert(sizeof(RealtimeLogRecord) <= kRealtimeLogRecordSize);

// What the audio thread calls: refers to the logger's ring, does not own it.
// The owner keeps the logger alive as long as anything may call the block.
struct RealtimeLoggerBlock {
  CircularBuffer* ring = nullptr;

  // Audio thread; allocation- and lock-free. A null engine makes it a no-op.
  void operator()(AudioEngine* engine, bool asynchronous, int32_t level, int32_t flag,
                  const char* file, int32_t line, const char* function, const char* format,
                  ...) const __attribute__((format(printf, 9, 10)));
  void logv(AudioEngine* engine, bool asynchronous, int32_t level, int32_t flag, const char* file,
            int32_t line, const char* function, const char* format, va_list args) const
      __attribute__((format(printf, 9, 0)));
};

class RealtimeThreadLogger {
 public:
  static constexpr int32_t kRingLength = 10400;

  RealtimeThreadLogger();
  // Hands whatever is still pending to the log (call it on the main thread).
  ~RealtimeThreadLogger();
  RealtimeThreadLogger(const RealtimeThreadLogger&) = delete;
  RealtimeThreadLogger& operator=(const RealtimeThreadLogger&) = delete;

  RealtimeLoggerBlock loggerBlock() { return RealtimeLoggerBlock{&_pendingMessages}; }

  // Main thread: passes every pending record to the logging framework.
  void drain() {
    QUR_ASSERT_THREAD(ThreadRole::Main);
    drainRing(&_pendingMessages);
  }
  static void drainRing(CircularBuffer* ring);
  // Records waiting for the main thread.
  int32_t pendingRecords();

 private:
  CircularBuffer _pendingMessages;
};

}  // namespace qur

// Audio-thread logging at a flag, filtered by the global level on the main
// thread when drained.
#define QUR_RT_LOG(block, engine, flg, fmt, ...)                                       \
  (block)((engine), true, ::qur::logLevel(), (flg), __FILE__, __LINE__, __func__, fmt, \
          ##__VA_ARGS__)
#define QUR_RT_LOG_ERROR(block, engine, fmt, ...) \
  QUR_RT_LOG(block, engine, ::qur::LogFlagError, fmt, ##__VA_ARGS__)
