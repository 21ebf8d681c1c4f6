// Turns the microphone signal into numbered Opus packets. An input receiver
// of the audio engine: on the audio thread it resamples each cycle to 48 kHz,
// cuts it into frames, encodes them and stores the packets in an output
// ring (60 ms unless created for another frame length). A poll thread tells
// the delegate every 10 ms that packets wait.
// Encoding happens only between startEncoding and stopEncoding; each such
// stretch is one transmission with its own session number.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_packet.h"

struct OpusEncoder;  // libopus

namespace qur {

class OpusEncoder;
class PCMFormatConverter;
class RunLoopThread;
class RunLoopTimer;

class OpusEncoderDelegate {
 public:
  virtual ~OpusEncoderDelegate() = default;
  // Poll thread. The delegate is the ring's only consumer and empties it.
  virtual void encoderHasNewPacketsInBuffer(OpusEncoder& encoder, CircularBuffer* buffer) = 0;
  // On the thread that started or stopped encoding (never the audio thread),
  // with the control lock held: the delegate must not call startEncoding or
  // stopEncoding.
  virtual void encoderDidChangeItsEncodingStatusTo(OpusEncoder& encoder, bool encoding) = 0;
};

class OpusEncoder : public AudioReceiver, public std::enable_shared_from_this<OpusEncoder> {
 public:
  static constexpr UInt32 kSampleRate = 48000;
  static constexpr UInt32 kChannels = 2;
  static constexpr double kFrameDuration = 0.06;
  static constexpr UInt32 kFramesPerPacket = 2880;  // 48000 × 0.06
  static constexpr UInt32 kMaxPacketBytes = 614;
  static constexpr std::int32_t kBitrate = 8192;
  // Frame lengths libopus takes that a packet may carry, in milliseconds.
  static constexpr int kFrameMillisecondChoices[] = {10, 20, 40, 60};
  static constexpr int kComplexity = 7;
  static constexpr std::int32_t kInputBufferBytes = 102400;
  static constexpr std::int32_t kOutputBufferBytes = 102400;
  static constexpr double kPollInterval = 0.01;

  // Null (after a log line) when libopus or the converter cannot be set up.
  // The caller keeps ownership of outputBuffer, which must outlive the encoder.
  static std::shared_ptr<OpusEncoder> create(const AudioStreamBasicDescription& inputFormat,
                                             CircularBuffer* outputBuffer);
  // The encoder creates and owns a 102400-byte output ring.
  static std::shared_ptr<OpusEncoder> create(const AudioStreamBasicDescription& inputFormat);
  // Packets of frameMilliseconds (one of kFrameMillisecondChoices; anything
  // else is refused with a log line) with in-band forward error correction
  // switched on: it is sent once setLinkConditions reports loss.
  static std::shared_ptr<OpusEncoder> create(const AudioStreamBasicDescription& inputFormat,
                                             int frameMilliseconds);

  // Stops the poll thread first, so no poll runs into a half-destroyed encoder.
  ~OpusEncoder() override;
  OpusEncoder(const OpusEncoder&) = delete;
  OpusEncoder& operator=(const OpusEncoder&) = delete;

  AudioEngineReceiverCallback receiverCallback() const override;

  // Audio thread; allocation-, lock- and wait-free. Takes one input cycle
  // while encoding and drops it otherwise.
  static void receive(OpusEncoder* encoder, const AudioTimeStamp* timestamp, UInt32 frames,
                      const AudioBufferList* audio);

  // Main thread or the session queue, never the audio thread. Neither these
  // nor anything they call makes the audio thread wait: the audio thread
  // only reads the published run state.
  void startEncoding();
  // Encodes what is left (padded with silence), hands every packet of the
  // transmission to the delegate and only then reports the stop. Waits at
  // most one audio cycle for the audio thread to leave the encoder.
  void stopEncoding();
  // Stops a transmission in progress and restarts the session count at 0.
  void reset();
  // Main thread or the session queue, while not encoding (stopEncoding
  // calls it); does nothing while a transmission runs.
  void flushRemainingAudioInBuffer();
  // Poll thread: tells the delegate when packets wait.
  void pollBuffer();

  UInt32 sampleRate() const { return _sampleRate; }
  double frameDuration() const { return double(_framesPerPacket) / double(_sampleRate); }
  UInt32 framesPerPacket() const { return _framesPerPacket; }

  // Any thread. What the receivers of our stream report: the share of
  // packets they miss (0 to 1) sets libopus's expected loss, and with it
  // the in-band redundancy and the bitrate that leaves room for it. The
  // audio thread applies it before its next packet.
  void setLinkConditions(double lossFraction);
  int expectedLossPercent() const { return _requestedLossPercent.load(std::memory_order_relaxed); }
  std::int32_t bitrate() const { return _requestedBitrate.load(std::memory_order_relaxed); }
  bool isEncoding() const { return _runState.load(std::memory_order_acquire) == kEncoding; }

  std::shared_ptr<OpusEncoderDelegate> delegate() const;
  void setDelegate(std::weak_ptr<OpusEncoderDelegate> delegate);

  CircularBuffer* outputBuffer() const { return _outputBuffer; }

 private:
  OpusEncoder() = default;
  bool setUp(const AudioStreamBasicDescription& inputFormat, CircularBuffer* outputBuffer,
             UInt32 framesPerPacket, bool forwardErrorCorrection);
  // Audio thread, or the control thread while it owns the encoder.
  static void applyLinkConditions(OpusEncoder* encoder);
  // By whoever owns the encoding state: the audio thread while encoding, the
  // control thread (with the audio thread shut out) otherwise.
  static void processInput(OpusEncoder* encoder, bool flush);
  // Control thread: publishes "not encoding" and waits until the audio
  // thread is no longer inside receive().
  void shutOutAudioThread();
  static void encodePacket(OpusEncoder* encoder);
  void notifyStatus(bool encoding);

  bool _ownsOutputBuffer = false;
  AudioStreamBasicDescription _inputAudioDescription{};
  AudioStreamBasicDescription _encoderAudioDescription{};
  ::OpusEncoder* _encoder = nullptr;
  CircularBuffer _inputBuffer;
  CircularBuffer* _outputBuffer = nullptr;
  AudioBufferList* _encoderAudioBufferList = nullptr;
  std::unique_ptr<PCMFormatConverter> _formatConverter;
  OpusPacket* _currentlyEncodingPacket = nullptr;
  UInt32 _sampleRate = kSampleRate;
  UInt32 _channels = kChannels;
  UInt32 _framesPerPacket = kFramesPerPacket;
  bool _forwardErrorCorrection = false;
  // Asked for by setLinkConditions; applied on the audio thread.
  std::atomic<int> _requestedLossPercent{0};
  std::atomic<std::int32_t> _requestedBitrate{kBitrate};
  int _appliedLossPercent = 0;
  std::int32_t _appliedBitrate = kBitrate;
  std::unique_ptr<RunLoopThread> _bufferPollThread;
  std::shared_ptr<RunLoopTimer> _bufferPollTimer;
  std::atomic<UInt64> _referenceTime{0};
  // The audio thread owns the input ring, converter, packet and counters
  // while the state is kEncoding; the control thread owns them otherwise,
  // once _audioThreadInside has been seen clear.
  static constexpr int kIdle = 0;
  static constexpr int kEncoding = 1;
  std::atomic<int> _runState{kIdle};
  // A count rather than a flag: a second audio thread (a device reopened
  // while the old stream still calls back) must not clear the first's mark.
  std::atomic<int> _audioThreadInside{0};
  UInt32 _currentSessionNumber = 0;
  UInt32 _currentPacketNumber = 0;
  // Serializes start, stop and reset between the main thread and the session
  // queue. The audio thread never takes it.
  std::mutex _controlMutex;
  mutable std::mutex _delegateMutex;
  std::weak_ptr<OpusEncoderDelegate> _delegate;
};

}  // namespace qur
