// Turns a remote talker's packets back into sound: an output channel of the
// audio engine whose render callback, on the audio thread, takes packets from
// the input ring (filled by a stream receiver), decodes Opus packets or takes
// the PCM of session signal packets, converts 48 kHz back to the output
// format and hands out exactly the frames asked for.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"
#include "audio/engine/audio_engine.h"
#include "audio/peak_meter.h"
#include "audio/playout_buffer.h"
#include "audio/realtime_logger.h"
#include "audio/time_compression.h"

struct OpusDecoder;  // libopus

namespace qur {

class PCMFormatConverter;

class OpusDecoder : public AudioPlayable {
 public:
  // The most samples per channel one Opus packet decodes to (120 ms) and the
  // fewest (2.5 ms) that count as a decoded packet.
  static constexpr UInt32 kOpusMaxPacketSizeSampleCount = 5760;
  static constexpr UInt32 kOpusMinPacketSizeSampleCount = 120;
  static constexpr UInt32 kConverterBufferFrames = 262144;
  static constexpr std::int32_t kInputBufferBytes = 102400;
  static constexpr std::int32_t kOutputBufferBytes = 102400;

  // Null (after a log line) when libopus or the converter cannot be set up.
  // The caller keeps ownership of inputBuffer, which must outlive the decoder.
  static std::shared_ptr<OpusDecoder> create(const AudioStreamBasicDescription& outputFormat,
                                             CircularBuffer* inputBuffer);
  // The decoder creates and owns a 102400-byte input ring.
  static std::shared_ptr<OpusDecoder> create(const AudioStreamBasicDescription& outputFormat);

  // Before the decoder is rendered, on the thread that made it. From then on
  // packets (stamped with their arrival time) wait in a playout buffer and
  // are played by the render clock: a missing one is concealed or rebuilt
  // from the redundancy of the next, and a delay above the target is caught
  // up. Without it the decoder plays every packet in ring order as soon as
  // it has room (a local chain, a file).
  void enablePlayout(double ceilingSeconds = PlayoutBuffer::kDefaultCeilingSeconds);
  bool hasPlayout() const { return _playout != nullptr; }
  // Any thread; zeros without a playout buffer.
  PlayoutStatistics playoutStatistics() const;

  ~OpusDecoder() override;
  OpusDecoder(const OpusDecoder&) = delete;
  OpusDecoder& operator=(const OpusDecoder&) = delete;

  // The ring of packet records the stream receiver writes into.
  CircularBuffer* inputBuffer() const { return _inputBuffer.load(std::memory_order_acquire); }
  const AudioStreamBasicDescription& outputDescription() const { return _outputAudioDescription; }
  const AudioStreamBasicDescription& codecAudioDescription() const {
    return _codecAudioDescription;
  }

  AudioEngineRenderCallback renderCallback() const override;

  // Audio thread; allocation- and lock-free. Fills list with frames frames,
  // or leaves it untouched (silence) when no packet is waiting. hostTime
  // (steady-clock nanoseconds) is when the cycle plays; the overload without
  // it reads the clock.
  static OSStatus render(OpusDecoder* decoder, AudioEngine* controller, UInt32 frames,
                         AudioBufferList* list);
  static OSStatus render(OpusDecoder* decoder, AudioEngine* controller, UInt64 hostTime,
                         UInt32 frames, AudioBufferList* list);

  // Session-end signals played so far; lets a caller on another thread wait
  // for the end sound of a transmission.
  std::uint64_t sessionEndsPlayed() const {
    return _sessionEndsPlayed.load(std::memory_order_acquire);
  }
  // Nothing waits in the input ring and no converted audio is left over.
  bool isDrained() const;
  // Any thread: the peak of what this channel played lately, 0 to 1.
  float outputLevel() const { return _outputMeter.level(); }

 private:
  OpusDecoder() = default;
  bool setUp(const AudioStreamBasicDescription& outputFormat, CircularBuffer* inputBuffer);
  static void outputAvailableConvertedSamples(AudioEngine* controller, OpusDecoder* decoder,
                                              bool flush);
  static bool playNextPacket(AudioEngine* controller, OpusDecoder* decoder);
  static void fill(OpusDecoder* decoder, AudioEngine* controller, UInt32 frames,
                   AudioBufferList* list);
  // The playout path (opus_decoder_playout_rt.cpp).
  static void fillFromPlayout(OpusDecoder* decoder, AudioEngine* controller, UInt64 hostTime,
                              UInt32 frames, AudioBufferList* list);
  static void playStep(AudioEngine* controller, OpusDecoder* decoder, const PlayoutStep& step);
  static void feedPcm(AudioEngine* controller, OpusDecoder* decoder, UInt32 samples);

  bool _ownsInputBuffer = false;
  AudioStreamBasicDescription _outputAudioDescription{};
  AudioStreamBasicDescription _codecAudioDescription{};
  std::atomic<CircularBuffer*> _inputBuffer{nullptr};
  CircularBuffer _outputBuffer;
  ::OpusDecoder* _decoder = nullptr;
  UInt32 _opusMaxPacketSizeSampleCount = kOpusMaxPacketSizeSampleCount;
  UInt32 _opusMinPacketSizeSampleCount = kOpusMinPacketSizeSampleCount;
  std::unique_ptr<RealtimeThreadLogger> _realtimeThreadLogger;
  RealtimeLoggerBlock _realtimeLog;
  UInt32 _currentSessionNumber = 0xFFFFFFFFu;  // the receiver's "no session yet"
  AudioBufferList* _converterInputBufferList = nullptr;
  AudioBufferList* _converterOutputBufferList = nullptr;
  UInt32 _converterOutputBufferListByteCapacity = 0;
  std::unique_ptr<PCMFormatConverter> _formatConverter;
  std::atomic<std::uint64_t> _sessionEndsPlayed{0};
  // The last packet played was a session end (audio thread only).
  bool _sessionEnded = false;
  PeakMeter _outputMeter;
  std::unique_ptr<PlayoutBuffer> _playout;
  QuietDetector _quietDetector;
  // The playout buffer holds nothing (written by the audio thread).
  std::atomic<bool> _playoutIdle{true};
};

}  // namespace qur
