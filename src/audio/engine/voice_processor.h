// Echo cancellation, noise suppression and a high-pass filter on the
// microphone, with what the speaker plays as the echo reference.
//
// The processing library works in 10 ms blocks of mono float audio at
// kProcessingRate and takes mutexes inside every call, so it never runs on
// a real-time audio thread. The audio thread only moves frames through three
// single-producer single-consumer rings: microphone and speaker frames in,
// processed microphone frames out. A processing thread of its own resamples
// (engine rate <-> kProcessingRate, with PCMFormatConverter), runs the
// library and hands the result back. The microphone audio the engine passes
// on is thus one device cycle late, plus the resamplers' look-ahead (about
// 10 ms: downsampling waits for input well past what it delivers).
//
// Devices that are not paced by hardware (the virtual device's free-running
// and manual clocks) run the same pipeline inline on their cycle thread:
// nothing real-time is at stake there and a separate thread could not keep
// pace with them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"

namespace webrtc {
class AudioProcessing;
}

namespace qur {

class PCMFormatConverter;

struct VoiceProcessingSettings {
  bool echoCancellation = true;
  bool noiseSuppression = true;
  bool highPassFilter = true;
  // Speaker-to-microphone delay the device knows of (its output plus input
  // latency); the canceller's own delay estimate covers the rest.
  double deviceDelaySeconds = 0;
  // A processing thread of its own (real-time devices) or inline on the
  // cycle thread (see above).
  bool dedicatedThread = true;
};

class VoiceProcessor {
 public:
  static constexpr int kProcessingRate = 48000;
  static constexpr UInt32 kBlockFrames = kProcessingRate / 100;
  static constexpr UInt32 kChunkFrames = 1024;

  // Main thread. Null, with *error set, when the library or a resampler
  // cannot be set up for the format (interleaved 16-bit, 1 or 2 channels).
  static std::unique_ptr<VoiceProcessor> create(const AudioStreamBasicDescription& engineFormat,
                                                const VoiceProcessingSettings& settings,
                                                std::string* error = nullptr);
  ~VoiceProcessor();
  VoiceProcessor(const VoiceProcessor&) = delete;
  VoiceProcessor& operator=(const VoiceProcessor&) = delete;

  // Main thread, while no cycle runs: start() empties the pipeline and
  // starts the processing thread (when there is one); stop() joins it.
  void start();
  void stop();

  // Cycle thread; allocation-, lock- and system-call-free. Replaces `frames`
  // frames of microphone audio (engine format) in place with processed audio
  // of earlier cycles; silence while the pipeline fills or falls behind.
  void processCapture(int16_t* samples, UInt32 frames);
  // Cycle thread, after processCapture() of the same cycle: the frames the
  // speaker plays, the canceller's reference.
  void analyzeReference(const int16_t* samples, UInt32 frames);

  // Any thread; allocation- and lock-free. The speaker-to-microphone delay
  // the device measures now (its output plus input latency). The canceller
  // follows it from its next blocks on, smoothed, in steps of at least a few
  // milliseconds: small wobbles of the measure would only unsettle it.
  void setDeviceDelay(double seconds) { _deviceDelay.store(seconds, std::memory_order_relaxed); }
  // Any thread: the delay the canceller was last told, in milliseconds.
  int streamDelayMs() const { return _shownDelayMs.load(std::memory_order_relaxed); }

  // Any thread.
  const VoiceProcessingSettings& settings() const { return _settings; }
  // "echo cancellation, noise suppression, high-pass filter" (what is on).
  std::string description() const;
  uint64_t blocksProcessed() const { return _blocks.load(std::memory_order_relaxed); }
  // Engine frames the processed microphone audio lags the raw one by.
  int64_t addedLatencyFrames() const { return _latencyFrames.load(std::memory_order_relaxed); }
  // Cycles whose processed audio was not ready in time.
  uint64_t underruns() const { return _underruns.load(std::memory_order_relaxed); }
  // Microphone or speaker frames lost because the processing fell behind.
  uint64_t droppedFrames() const { return _dropped.load(std::memory_order_relaxed); }
  // Blocks the library refused; a refused microphone block passes unprocessed.
  uint64_t failedBlocks() const { return _failedBlocks.load(std::memory_order_relaxed); }

 private:
  VoiceProcessor() = default;
  bool setUp(const AudioStreamBasicDescription& engineFormat, std::string* error);
  void processingThread();
  // Processing side: everything the rings hold through the library.
  void processPending();
  void processBlock();
  void followDeviceDelay();
  void feedFromRing(CircularBuffer* ring, PCMFormatConverter* converter);
  void reset();

  VoiceProcessingSettings _settings;
  AudioStreamBasicDescription _engineFormat{};
  UInt32 _frameBytes = 0;
  webrtc::AudioProcessing* _library = nullptr;
  std::unique_ptr<PCMFormatConverter> _captureIn;    // engine -> processing rate, mono
  std::unique_ptr<PCMFormatConverter> _referenceIn;  // engine -> processing rate, mono
  std::unique_ptr<PCMFormatConverter> _captureOut;   // processing rate, mono -> engine

  // Cycle thread -> processing side: raw microphone and speaker frames;
  // processing side -> cycle thread: processed microphone frames.
  CircularBuffer _captureRing;
  CircularBuffer _referenceRing;
  CircularBuffer _processedRing;

  // Processing side scratch, sized at set-up.
  std::vector<float> _nearBlock;
  std::vector<float> _farBlock;
  std::vector<float> _processedBlock;
  std::vector<int16_t> _outputScratch;  // engine format
  std::vector<int16_t> _monoScratch;    // mono at the engine rate, either way
  std::vector<int16_t> _leadIn;         // silence, the resampler's look-ahead long
  AudioBufferList* _feedList = nullptr;
  AudioBufferList* _nearList = nullptr;
  AudioBufferList* _farList = nullptr;
  AudioBufferList* _processedList = nullptr;
  AudioBufferList* _outputList = nullptr;
  int _streamDelayMs = 0;
  double _smoothedDelayMs = -1;  // processing side
  std::atomic<double> _deviceDelay{0};
  std::atomic<int> _shownDelayMs{0};

  // Cycle thread state.
  bool _primed = false;

  std::atomic<uint64_t> _blocks{0};
  std::atomic<int64_t> _latencyFrames{0};
  std::atomic<uint64_t> _underruns{0};
  std::atomic<uint64_t> _dropped{0};
  std::atomic<uint64_t> _failedBlocks{0};
  std::atomic<bool> _running{false};
  std::thread _thread;
};

}  // namespace qur
