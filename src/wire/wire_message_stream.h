// Turns Opus packets and stream statuses into byte messages for any
// StreamSink, and byte messages from any StreamSource back into packets and
// statuses for a WireMessageStreamDelegate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/opus_packet.h"
#include "log/log_limiter.h"
#include "signals/subject.h"
#include "wire/stream.h"
#include "wire/wire_message.h"

namespace qur {

// Not thread-safe: every send shares one encode buffer, so sends must not
// overlap (the streamer's ordering guarantees that).
class WireMessageStreamSink {
 public:
  explicit WireMessageStreamSink(std::shared_ptr<StreamSink> sink);
  WireMessageStreamSink(const WireMessageStreamSink&) = delete;
  WireMessageStreamSink& operator=(const WireMessageStreamSink&) = delete;

  // One audio message built from the packet. Returns whether the sink took it.
  bool sendOpusPayload(const OpusPacket* packet);
  // One status message; values other than 0 and 1 send nothing (false).
  bool sendStreamStatus(int status);
  bool sendReceiverReport(const ReceiverReport& report);
  // Encodes any prepared message and writes it. The byte message handed to
  // the sink refers to this object's buffer and is valid during the call only.
  bool sendWireMessage(const QURWireMessage* message);

  const std::shared_ptr<StreamSink>& sink() const { return _sink; }

 private:
  std::shared_ptr<StreamSink> _sink;
  std::unique_ptr<std::uint8_t[]> _pbOutputBuffer;
};

// Decodes byte messages and tells its delegate about each packet and status.
// Called on whatever thread its byte-message source delivers on; the delegate
// calls and statusSignal values happen synchronously inside gotMessage.
// Malformed messages are logged once each and dropped whole.
class WireMessageStreamSource : public StreamSourceDelegate {
 public:
  WireMessageStreamSource();
  ~WireMessageStreamSource() override;
  WireMessageStreamSource(const WireMessageStreamSource&) = delete;
  WireMessageStreamSource& operator=(const WireMessageStreamSource&) = delete;

  void gotMessage(ByteMessage message) override;

  std::shared_ptr<WireMessageStreamDelegate> delegate() const;
  void setDelegate(std::weak_ptr<WireMessageStreamDelegate> delegate);

  // Each received status (0 or 1), after the delegate has been told. No
  // initial value; completes when the source is destroyed.
  Signal<int> statusSignal() const { return _statusSubject->signal(); }
  // Each valid receiver report, after the delegate has been told; the same
  // life as statusSignal.
  Signal<ReceiverReport> receiverReportSignal() const { return _reportSubject->signal(); }

 private:
  QURWireMessage _currentWireMessage;
  OpusPacketPtr _currentPacket;
  std::shared_ptr<Subject<int>> _statusSubject;
  LogLimiter _badInputLog;  // what a peer sends decides how often
  LogLimiter _badReportLog;
  std::shared_ptr<Subject<ReceiverReport>> _reportSubject;
  mutable std::mutex _delegateMutex;
  std::weak_ptr<WireMessageStreamDelegate> _delegate;
};

}  // namespace qur
