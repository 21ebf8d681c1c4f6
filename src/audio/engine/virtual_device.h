// A device without hardware: its own clock thread runs input and output
// cycles at real-time pace or as fast as possible. The microphone is a WAV
// file, a tone, silence or a programmatic feed; the speaker goes to a WAV file,
// to memory, or nowhere. The callback contract and thread rules are those of
// the hardware path, so the engine cannot tell the difference.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/audio_device.h"

namespace qur {

struct VirtualDeviceOptions {
  enum class Clock {
    RealTime,     // one cycle per buffer duration
    FreeRunning,  // cycles back to back
    Manual,       // no thread: runCycles() drives the cycles on the caller's thread
  };
  enum class Input { Silence, Tone, WavFile, Feed };
  enum class Output { Discard, WavFile, Memory };

  Clock clock = Clock::RealTime;
  uint32_t framesPerBuffer = 441;

  Input input = Input::Silence;
  double toneFrequency = 440.0;
  double toneAmplitude = 0.5;  // of full scale
  std::string inputFile;       // WAV (anything libsndfile reads) at the device rate
  bool loopInputFile = true;   // otherwise silence after its end
  // Called on the clock thread to fill `frames` interleaved frames; it must
  // not block or allocate when the engine's real-time rules are to hold.
  std::function<void(int16_t* samples, uint32_t frames, int channels)> feed;

  Output output = Output::Discard;
  std::string outputFile;             // written as 16-bit WAV
  uint32_t memoryCapacityFrames = 0;  // speaker frames kept in memory; later ones are dropped

  bool hasInput = true;  // a device without microphone

  // A room between speaker and microphone: the microphone hears, on top of
  // its input, what the speaker played echoDelayMs earlier (at least one
  // buffer: a cycle's output is made after its input), attenuated and
  // low-pass filtered like a small loudspeaker heard across a table.
  bool echo = false;
  double echoDelayMs = 60.0;
  double echoGainDb = -6.0;
  double echoLowPassHz = 4000.0;
  // Added to the microphone, looped: a WAV at the device rate, scaled by noiseGainDb.
  std::string noiseFile;
  double noiseGainDb = 0.0;
  // Microphone frames (everything it heard) kept in memory; later ones are dropped.
  uint32_t inputMemoryCapacityFrames = 0;
};

class VirtualDevice : public AudioDevice {
 public:
  explicit VirtualDevice(VirtualDeviceOptions options = {});
  ~VirtualDevice() override;

  bool open(const AudioDeviceFormat& format, AudioDeviceClient* client,
            std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;
  void close() override;
  bool isHealthy() const override;
  bool inputAvailable() const override;
  double inputLatency() const override { return 0.0; }
  bool voiceProcessingByDefault() const override { return false; }
  uint32_t framesPerBuffer() const override { return _options.framesPerBuffer; }
  uint64_t cycleCount() const override { return _cycles.load(std::memory_order_acquire); }
  std::string name() const override { return "virtual device"; }
  bool isRealTime() const override {
    return _options.clock == VirtualDeviceOptions::Clock::RealTime;
  }
  bool hasOwnThread() const override {
    return _options.clock != VirtualDeviceOptions::Clock::Manual;
  }

  // Manual clock only: runs `count` cycles on the calling thread, which acts
  // as the audio thread meanwhile. Returns the cycles run (0 when not started).
  uint64_t runCycles(uint64_t count);

  // Simulates losing the device (cable pulled, server gone): cycles stop,
  // the device reports itself unhealthy and cannot be opened until plugged
  // back in.
  void setUnplugged(bool unplugged);
  bool isUnplugged() const { return _unplugged.load(); }

  // Speaker frames kept in memory so far (interleaved samples). Safe to call
  // while running: only the frames already published are copied.
  std::vector<int16_t> capturedOutput() const;
  uint64_t capturedFrames() const { return _capturedFrames.load(std::memory_order_acquire); }
  void clearCapturedOutput();
  // What the microphone heard so far (input, echo and noise), like capturedOutput().
  std::vector<int16_t> capturedInput() const;
  // The echo delay in frames the device applies (after rounding up to a buffer).
  uint32_t echoDelayFrames() const { return _echoDelayFrames; }

 private:
  void clockThread();
  void runOneCycle();
  void fillInput();
  void addEchoAndNoise();
  void rememberOutput();

  VirtualDeviceOptions _options;
  AudioDeviceFormat _format;
  AudioDeviceClient* _client = nullptr;
  bool _open = false;
  std::vector<int16_t> _input;
  std::vector<int16_t> _output;
  std::vector<int16_t> _fileInput;  // whole input file, interleaved at the device format
  size_t _fileInputPosition = 0;
  double _tonePhase = 0;
  void* _outputFile = nullptr;  // SNDFILE*
  std::vector<int16_t> _memory;
  std::vector<int16_t> _inputMemory;
  std::atomic<uint64_t> _capturedInputFrames{0};
  // Speaker history for the echo, a ring of whole frames, and the filter state.
  std::vector<int16_t> _echoHistory;
  size_t _echoWriteFrame = 0;
  uint32_t _echoDelayFrames = 0;
  double _echoGain = 0;
  double _lowPass[5] = {};            // b0 b1 b2 a1 a2
  std::vector<double> _lowPassState;  // x1 x2 y1 y2 per channel
  std::vector<int16_t> _noise;
  size_t _noisePosition = 0;
  double _noiseGain = 0;
  std::atomic<uint64_t> _capturedFrames{0};
  std::atomic<uint64_t> _cycles{0};
  std::atomic<bool> _running{false};
  std::atomic<bool> _unplugged{false};
  std::atomic<bool> _lost{false};
  std::thread _thread;
};

}  // namespace qur
