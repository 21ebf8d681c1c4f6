// PortAudio backend: one full-duplex callback stream in interleaved int16.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "audio/engine/audio_device.h"

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

  // Streams let go of after a loss whose threads have not ended yet. At most
  // kMaxAbandonedStreams exist: open() fails while that many are pending.
  static int abandonedStreams();
  static constexpr int kMaxAbandonedStreams = 4;
  // Closes the abandoned streams whose threads have ended. Never blocks on a
  // stream that is still running; open() and close() call it too.
  static void closeFinishedStreams();

 private:
  static int streamCallback(const void* input, void* output, unsigned long frames,
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
    uint64_t lastCallbackNs = 0;        // the stream's thread only, or while it is stopped
    std::atomic<bool> finished{false};  // its callback thread has ended
  };

  std::string _deviceName;
  std::string _inputDeviceName;
  StreamContext* _context = nullptr;
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
  std::atomic<bool> _resumedAfterStall{false};
  std::atomic<uint64_t> _cycles{0};
};

}  // namespace qur
