// PortAudio backend: one full-duplex callback stream in interleaved int16.
#pragma once

#include <atomic>
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
  bool isHealthy() const override;
  bool inputAvailable() const override { return _inputAvailable; }
  double inputLatency() const override { return _inputLatency; }
  uint32_t framesPerBuffer() const override { return _framesPerBuffer; }
  uint64_t cycleCount() const override { return _cycles.load(std::memory_order_relaxed); }
  std::string name() const override;

 private:
  static int streamCallback(const void* input, void* output, unsigned long frames,
                            const void* timeInfo, unsigned long statusFlags, void* userData);
  static void streamFinished(void* userData);

  // What a stream's callback reaches the device through; an abandoned
  // stream's callback finds `abandoned` set and stops itself.
  struct StreamContext {
    PortAudioDevice* device;
    std::atomic<bool> abandoned{false};
    std::atomic<int> inCallback{0};
  };

  std::string _deviceName;
  std::string _inputDeviceName;
  StreamContext* _context = nullptr;
  uint32_t _framesPerBuffer;
  AudioDeviceFormat _format;
  AudioDeviceClient* _client = nullptr;
  void* _stream = nullptr;
  bool _initialized = false;
  bool _inputAvailable = false;
  double _inputLatency = 0;
  std::string _openedName;
  std::atomic<bool> _started{false};
  std::atomic<bool> _finishedUnexpectedly{false};
  std::atomic<uint64_t> _cycles{0};
};

}  // namespace qur
