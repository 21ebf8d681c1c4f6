// Byte-message interfaces shared by every transport.
//
// A byte message holds exactly one encoded wire message. It is passed as a
// span that is valid only during the call: whoever needs the bytes later
// copies them before returning. Transports implement StreamSink (they take
// messages) and StreamSource (they deliver messages to a delegate); the wire
// layer turns Opus packets and stream statuses into byte messages and back.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace qur {

struct OpusPacket;
class WireMessageStreamSource;

using ByteMessage = std::span<const std::uint8_t>;

// The status a sender announces at the start and end of a transmission.
enum class StreamStatus : std::int32_t {
  Stopped = 0,
  Started = 1,
};

// What a receiver tells the sender about the sender's stream.
struct ReceiverReport {
  std::uint32_t lossPermille = 0;  // 0 to 1000
  std::uint32_t latePackets = 0;
  std::uint32_t jitterMeanMs = 0;
  std::uint32_t jitterP95Ms = 0;
  std::uint32_t targetDelayMs = 0;
  std::uint32_t intervalMs = 0;
  bool operator==(const ReceiverReport&) const = default;
};

// Takes byte messages. Every sink consumes or copies the bytes before
// writeMessage returns, so callers may reuse their buffer at once.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // Returns false when the message was dropped (no room, no receiver, a
  // failed send); the failure has already been logged by the sink.
  virtual bool writeMessage(ByteMessage message) = 0;
};

// Receives byte messages from a StreamSource, on the source's delivery thread.
class StreamSourceDelegate {
 public:
  virtual ~StreamSourceDelegate() = default;
  virtual void gotMessage(ByteMessage message) = 0;
};

// Delivers byte messages to a weakly held delegate; a delegate that has gone
// away simply receives nothing.
class StreamSource {
 public:
  virtual ~StreamSource() = default;
  virtual std::shared_ptr<StreamSourceDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) = 0;
};

// Told about every decoded wire message. The packet is valid only during the
// call; receivers copy what they keep.
class WireMessageStreamDelegate {
 public:
  virtual ~WireMessageStreamDelegate() = default;
  virtual void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource& source,
                                                   const OpusPacket* packet) = 0;
  // status is 0 (stopped) or 1 (started); other values never reach here.
  virtual void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource& source,
                                                     int status) = 0;
  // A report on our own stream from the device this source hears.
  virtual void wireMessageStreamReceivedReceiverReport(WireMessageStreamSource&,
                                                       const ReceiverReport&) {}
};

}  // namespace qur
