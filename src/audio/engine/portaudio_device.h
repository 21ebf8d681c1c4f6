// PortAudio backend (plain ALSA, JACK): an output stream whose callback runs
// the engine's cycles and, when there is a microphone, an input stream of its
// own whose callback hands what it records to a CaptureBridge. Interleaved
// int16 both ways.
//
// Two streams rather than one full-duplex stream: a full-duplex stream waits
// in one loop for both directions to be ready, and where one side is always
// ready (the ALSA plugin of a sound server, a capture side that fell behind)
// that loop polls without pause. Each stream's thread here waits for its own
// side only; the bridge absorbs the two clocks' difference and drops a
// capture backlog.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/audio_device.h"
#include "audio/engine/capture_bridge.h"

namespace qur {

class PortAudioDevice : public AudioDevice {
 public:
  // An empty name picks the default input and output devices; otherwise the
  // first device whose name contains `deviceName`. A non-empty
  // `inputDeviceName` takes the microphone from that device instead.
  explicit PortAudioDevice(std::string deviceName = {}, uint32_t framesPerBuffer = 441,
                           std::string inputDeviceName = {});
  ~PortAudioDevice() override;

  bool open(const AudioDeviceFormat& format, AudioDeviceClient* client,
            std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;
  void close() override;
  void abandon() override;
  void tidy() override;
  bool isHealthy() const override;
  bool inputAvailable() const override { return _inputAvailable; }
  double inputLatency() const override { return _inputLatency; }
  double outputLatency() const override { return _outputLatency; }
  uint32_t framesPerBuffer() const override { return _framesPerBuffer; }
  uint64_t cycleCount() const override { return _cycles.load(std::memory_order_relaxed); }
  std::string name() const override;
  AudioDeviceStatistics statistics() const override;

  // Streams let go of after a loss whose threads have not ended yet. At most
  // kMaxAbandonedStreams exist: open() fails while that many are pending.
  static int abandonedStreams();
  static constexpr int kMaxAbandonedStreams = 8;
  // Closes the abandoned streams whose threads have ended. Never blocks on a
  // stream that is still running; open() and close() call it too.
  static void closeFinishedStreams();

 private:
  static int outputCallback(const void* input, void* output, unsigned long frames,
                            const void* timeInfo, unsigned long statusFlags, void* userData);
  static int inputCallback(const void* input, void* output, unsigned long frames,
                           const void* timeInfo, unsigned long statusFlags, void* userData);
  static void streamFinished(void* userData);

  // The user data of one stream, for both of its callbacks. It outlives the
  // device when the stream is abandoned, so the callbacks reach the device
  // only through it and only while it is not abandoned.
  struct StreamContext {
    PortAudioDevice* device = nullptr;
    void* stream = nullptr;
    std::atomic<bool> abandoned{false};
    std::atomic<int> inCallback{0};
    int channels = 2;
    std::atomic<bool> finished{false};  // its callback thread has ended
  };
  // Opens one stream; null with *error set when PortAudio refuses.
  StreamContext* openStream(bool input, int device, std::string* error);
  void closeStream(StreamContext*& context);
  void abandonStream(StreamContext*& context);
  // Audio threads (portaudio_device_rt.cpp).
  void runCycle(int16_t* output, uint32_t frames, const void* timeInfo, unsigned long flags);
  void receive(const int16_t* input, uint32_t frames, const void* timeInfo, unsigned long flags);

  std::string _deviceName;
  std::string _inputDeviceName;
  StreamContext* _output = nullptr;
  StreamContext* _input = nullptr;
  uint32_t _framesPerBuffer;
  AudioDeviceFormat _format;
  AudioDeviceClient* _client = nullptr;
  bool _initialized = false;
  bool _inputAvailable = false;
  double _inputLatency = 0;
  double _outputLatency = 0;
  // Read by any thread for log lines; written by whoever reopens the device.
  mutable std::mutex _nameMutex;
  std::string _openedName;
  std::atomic<bool> _started{false};
  std::atomic<bool> _finishedUnexpectedly{false};
  std::atomic<uint64_t> _cycles{0};

  // The microphone's way to the cycles, and what the input callback last
  // measured: how old its first frame was when it arrived.
  CaptureBridge _bridge;
  std::vector<int16_t> _inputCycle;
  std::atomic<double> _captureDelay{0};
  double _lastAdcTime = 0;  // the input stream's thread
  uint32_t _lastInputFrames = 0;
  std::atomic<uint64_t> _underflows{0};
  std::atomic<uint64_t> _overflows{0};
};

}  // namespace qur
