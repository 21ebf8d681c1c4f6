// Frames byte messages for a byte stream: each message goes out as a 4-byte
// big-endian length followed by the message. writeMessage only copies the
// frame into a ring buffer; a flush thread of this object's own drains the
// ring into the stream every 10 ms, so the sender never waits for the stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "audio/circular_buffer.h"
#include "audio/run_loop_thread.h"
#include "wire/byte_stream.h"
#include "wire/stream.h"

namespace qur {

inline constexpr std::int32_t kLengthDelimitedOutputBufferSize = 10240;
inline constexpr std::chrono::milliseconds kLengthDelimitedFlushInterval{10};

class LengthDelimitedOutputStream : public StreamSink {
 public:
  // The stream is opened by the caller.
  explicit LengthDelimitedOutputStream(std::shared_ptr<OutputStream> outputStream);
  // Stops the flush thread, then gives the stream one last chance to take
  // what is still queued.
  ~LengthDelimitedOutputStream() override;
  LengthDelimitedOutputStream(const LengthDelimitedOutputStream&) = delete;
  LengthDelimitedOutputStream& operator=(const LengthDelimitedOutputStream&) = delete;

  // One sender thread at a time. Queues the whole frame, or drops the whole
  // message (logged, false) when the ring lacks room for it.
  bool writeMessage(ByteMessage message) override;

  // Writes as much of the queue as the stream takes now; the rest waits for
  // the next flush. Runs on the flush thread.
  void flushBuffer();

  const std::shared_ptr<OutputStream>& outputStream() const { return _outputStream; }

 private:
  std::shared_ptr<OutputStream> _outputStream;
  CircularBuffer _streamBuffer;
  std::shared_ptr<RunLoopTimer> _bufferFlushTimer;
  std::unique_ptr<RunLoopThread> _bufferFlushThread;
  // Flush thread only: a stream that keeps failing is reported once.
  bool _writeFailing = false;
};

}  // namespace qur
