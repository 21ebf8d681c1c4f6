// The receive-side buffer of one remote talker, between its wire message
// source and its decoder. Holds back the first packets of every transmission
// until a reserve of two has built up, then passes one packet on for every
// packet that arrives; marks the start and end of each transmission with
// signal packets that make the decoder play the session sounds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"
#include "audio/opus_packet.h"
#include "wire/stream.h"

namespace qur {

class OpusDecoder;
class WireMessageStreamSource;

class OpusStreamReceiver : public WireMessageStreamDelegate,
                           public std::enable_shared_from_this<OpusStreamReceiver> {
 public:
  static constexpr std::int32_t kIncomingBufferBytes = 102400;
  // Records held back behind the newest arrival.
  static constexpr std::int32_t kReservePackets = 2;

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

 private:
  OpusStreamReceiver() = default;

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
};

}  // namespace qur
