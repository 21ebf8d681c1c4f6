#include "audio/realtime_logger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "audio/engine/audio_engine.h"
#include "log/log.h"

namespace qur {
namespace {

// Rings of living loggers. A drain message can still be queued when its
// logger is destroyed; the handler only touches rings listed here.
std::mutex gRingsMutex;
std::unordered_set<CircularBuffer*>& liveRings() {
  static auto* rings = new std::unordered_set<CircularBuffer*>();
  return *rings;
}

void copyTruncated(char* destination, size_t capacity, const char* source) {
  if (!source) source = "";
  const size_t length = std::min(std::strlen(source), capacity - 1);
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

void drainHandler(AudioEngine*, void* userData, int length) {
  if (!userData || length != int(sizeof(CircularBuffer*))) return;
  CircularBuffer* ring;
  std::memcpy(&ring, userData, sizeof ring);
  std::lock_guard<std::mutex> lock(gRingsMutex);
  if (liveRings().count(ring)) RealtimeThreadLogger::drainRing(ring);
}

}  // namespace

void RealtimeLoggerBlock::operator()(AudioEngine* engine, bool asynchronous, int32_t level,
                                     int32_t flag, const char* file, int32_t line,
                                     const char* function, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  logv(engine, asynchronous, level, flag, file, line, function, format, args);
  va_end(args);
}

void RealtimeLoggerBlock::logv(AudioEngine* engine, bool asynchronous, int32_t level, int32_t flag,
                               const char* file, int32_t line, const char* function,
                               const char* format, va_list args) const {
  if (!engine || !ring) return;
  int32_t space = 0;
  auto* record = static_cast<RealtimeLogRecord*>(circularBufferWritePointer(ring, &space));
  if (!record || space < kRealtimeLogRecordSize) return;
  record->level = level;
  if (space >= 2 * kRealtimeLogRecordSize) {
    record->flag = flag;
    record->line = line;
    record->asynchronous = asynchronous ? 1 : 0;
    copyTruncated(record->function, sizeof record->function, function);
    copyTruncated(record->file, sizeof record->file, file);
    if (format == nullptr) {
      record->message[0] = '\0';
    } else if (std::vsnprintf(record->message, sizeof record->message, format, args) < 0) {
      copyTruncated(record->message, sizeof record->message, "WTF!? vsnprintf() failed");
    }
  } else {
    // The last free record warns that the ring is full; the caller's message is lost.
    record->flag = LogFlagWarning;
    record->line = __LINE__;
    record->asynchronous = 1;
    copyTruncated(record->function, sizeof record->function, __func__);
    copyTruncated(record->file, sizeof record->file, __FILE__);
    copyTruncated(record->message, sizeof record->message,
                  "WARNING: QURRealTimeThreadLoggerHandler Buffer is full!");
  }
  circularBufferProduce(ring, kRealtimeLogRecordSize);
  CircularBuffer* address = ring;
  audioEngineSendAsynchronousMessageToMainThread(engine, &drainHandler, &address, sizeof address);
}

RealtimeThreadLogger::RealtimeThreadLogger() {
  circularBufferSetUp(&_pendingMessages, kRingLength);
  std::lock_guard<std::mutex> lock(gRingsMutex);
  liveRings().insert(&_pendingMessages);
}

RealtimeThreadLogger::~RealtimeThreadLogger() {
  {
    std::lock_guard<std::mutex> lock(gRingsMutex);
    liveRings().erase(&_pendingMessages);
  }
  drainRing(&_pendingMessages);
  circularBufferTearDown(&_pendingMessages);
}

int32_t RealtimeThreadLogger::pendingRecords() {
  return circularBufferFillCount(&_pendingMessages) / kRealtimeLogRecordSize;
}

void RealtimeThreadLogger::drainRing(CircularBuffer* ring) {
  int32_t available = 0;
  while (auto* record =
             static_cast<RealtimeLogRecord*>(circularBufferReadPointer(ring, &available))) {
    if (available < kRealtimeLogRecordSize) break;
    if (record->flag & record->level) {
      log(record->asynchronous != 0, record->level, record->flag, 0, record->file, record->function,
          record->line, nullptr, "%s", record->message);
    }
    circularBufferConsume(ring, kRealtimeLogRecordSize);
  }
}

}  // namespace qur
