// The receive side of one remote talker, between its wire message source
// and its decoder. Marks the start and end of each transmission with signal
// packets that make the decoder play the session sounds.
//
// Before a decoder with a playout buffer (a remote peer) every packet goes on
// at once, stamped with its arrival time, and the buffer plays it by the
// output clock; about once a second the receiver then reports how the link
// sounds. Before a plain decoder (a local chain) it holds back the first
// packets of every transmission until a reserve of two has built up, then
// passes one packet on for every packet that arrives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"
#include "audio/opus_packet.h"
#include "audio/playout_buffer.h"
#include "signals/signal.h"
#include "signals/subject.h"
#include "wire/stream.h"

namespace qur {

class OpusDecoder;
class WireMessageStreamSource;

// How the stream of one talker sounds here.
struct LinkReport {
  double intervalSeconds = 0;  // what the interval figures cover
  double lossFraction = 0;     // of the interval's turns, those without their packet
  std::uint64_t late = 0;      // packets of the interval that came after their turn
  double jitterMeanMs = 0;
  double jitterP95Ms = 0;
  double targetMs = 0;
  double delayMs = 0;
  // Since the receiver began.
  std::uint64_t concealed = 0;
  std::uint64_t recoveredByFec = 0;
  bool endOfTransmission = false;
};

class OpusStreamReceiver : public WireMessageStreamDelegate,
                           public std::enable_shared_from_this<OpusStreamReceiver> {
 public:
  static constexpr std::int32_t kIncomingBufferBytes = 102400;
  // Records held back behind the newest arrival (plain decoder).
  static constexpr std::int32_t kReservePackets = 2;
  // How often a link report goes out while audio arrives.
  static constexpr double kReportInterval = 1.0;

  // Becomes the source's delegate. The sounds (codec format) must outlive the
  // receiver; it never frees them. stream may be null for a receiver fed
  // directly through feedOpusPacket and the status entry.
  static std::shared_ptr<OpusStreamReceiver> create(std::shared_ptr<OpusDecoder> decoder,
                                                    std::shared_ptr<WireMessageStreamSource> stream,
                                                    AudioBufferList* sessionStartSound,
                                                    AudioBufferList* sessionEndSound);
  ~OpusStreamReceiver() override;
  OpusStreamReceiver(const OpusStreamReceiver&) = delete;
  OpusStreamReceiver& operator=(const OpusStreamReceiver&) = delete;

  void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource& source,
                                           const OpusPacket* packet) override;
  void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource& source, int status) override;
  // The same status handling without a source.
  void receivedStreamStatus(int status);

  // Queues a copy of the packet and releases one if the reserve allows.
  void feedOpusPacket(const OpusPacket* packet);
  // Releases the oldest queued record to the decoder, stamped with this
  // receiver's session count.
  void flushPacketToDecoder();
  // Releases every queued record: the end of the current transmission.
  void flushSession();

  // Set once at creation, never replaced.
  const std::shared_ptr<OpusDecoder>& decoder() const { return _decoder; }
  std::uint32_t currentSessionNumber() const { return _currentSessionNumber; }
  std::int32_t packetsInBuffer() const { return _packetsInBuffer.load(); }
  // Audio packets that came in through the source since creation.
  std::uint64_t audioPacketsReceived() const { return _audioPacketsReceived.load(); }
  // Transmissions started and stopped, as announced by the sender.
  std::uint64_t transmissionsStarted() const { return _transmissionsStarted.load(); }
  std::uint64_t transmissionsStopped() const { return _transmissionsStopped.load(); }

  // With a playout buffer: a report every kReportInterval while audio
  // arrives and one at the end of each transmission, on the delivery
  // thread. Hot; completes with the receiver.
  Signal<LinkReport> linkReports() const { return _linkReports->signal(); }
  // The time arrivals are stamped with (host nanoseconds); the steady clock
  // unless a test sets its own. Before the first packet.
  void setClock(std::function<UInt64()> clock) { _clock = std::move(clock); }

 private:
  OpusStreamReceiver() = default;
  void report(bool endOfTransmission);

  std::shared_ptr<OpusDecoder> _decoder;
  std::shared_ptr<WireMessageStreamSource> _stream;
  CircularBuffer _incomingBuffer;
  std::uint32_t _currentSessionNumber = 0xFFFFFFFFu;
  std::atomic<std::int32_t> _packetsInBuffer{0};
  bool _bufferThresholdReached = false;
  // Between a start and a stop status.
  bool _inTransmission = false;
  AudioBufferList* _sessionStartSound = nullptr;
  AudioBufferList* _sessionEndSound = nullptr;
  OpusPacket* _signalPacket = nullptr;
  std::atomic<std::uint64_t> _audioPacketsReceived{0};
  std::atomic<std::uint64_t> _transmissionsStarted{0};
  std::atomic<std::uint64_t> _transmissionsStopped{0};
  // Set once at creation: the decoder plays by the clock.
  bool _playout = false;
  std::function<UInt64()> _clock = [] { return hostTimeNow(); };
  std::shared_ptr<Subject<LinkReport>> _linkReports = Subject<LinkReport>::create();
  PlayoutStatistics _reported;
  UInt64 _lastReport = 0;
};

}  // namespace qur
