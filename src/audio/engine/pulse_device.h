// The desktop's sound server, natively: one playback and one record stream on
// libpulse's threaded main loop (PulseAudio, or PipeWire's pulse server).
//
// The loop's thread ("qur-pulse") is the audio thread. The playback stream
// paces the cycles: each time the server asks for audio, the thread runs one
// engine cycle per cycle's worth asked for and writes the result; nothing
// waits or polls in between. What the record stream delivers goes through a
// CaptureBridge, which keeps it level with the playback clock (drift taken
// out, a backlog dropped). Both streams ask for low latency (a few cycles of
// playback buffer, one cycle per capture fragment); the latencies the server
// reports, with what the bridge holds, reach the engine every cycle.
//
// A server that goes away or a stream the server ends makes the device
// unhealthy, and the engine's watchdog reopens it. Streams may be moved to
// other sinks and sources while running: they go on there.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/audio_device.h"

namespace qur {

class PulseDevice : public AudioDevice {
 public:
  // Empty names: the server's default sink and source. Otherwise the sink
  // (source) of that name or description, or else the first whose name or
  // description contains it.
  explicit PulseDevice(std::string outputName = {}, uint32_t framesPerBuffer = 441,
                       std::string inputName = {});
  ~PulseDevice() override;

  bool open(const AudioDeviceFormat& format, AudioDeviceClient* client,
            std::string* error) override;
  bool start(std::string* error) override;
  void stop() override;
  void close() override;
  bool isHealthy() const override;
  bool inputAvailable() const override { return _inputAvailable; }
  double inputLatency() const override { return _inputLatency; }
  double outputLatency() const override { return _outputLatency; }
  uint32_t framesPerBuffer() const override { return _framesPerBuffer; }
  uint64_t cycleCount() const override;
  std::string name() const override;

  AudioDeviceStatistics statistics() const override;
  // The server's names of the sink and source the streams play to and
  // record from now (they change when a stream is moved).
  std::string sinkName() const;
  std::string sourceName() const;

  // The cycle's thread; counted against the process while the server is
  // stopped. 0 when no stream runs.
  int threadId() const;

  // The server connection and its streams (pulse_device_connection.h);
  // only this device's files use it.
  struct Connection;

 private:
  uint32_t _framesPerBuffer;
  std::string _outputName;
  std::string _inputName;
  AudioDeviceFormat _format;
  AudioDeviceClient* _client = nullptr;
  // Replaced by open() and close() (the watchdog's thread after a loss)
  // while other threads ask for names and counters: those take the mutex.
  std::unique_ptr<Connection> _connection;
  mutable std::mutex _connectionMutex;
  std::atomic<uint64_t> _cycles{0};
  bool _inputAvailable = false;
  double _inputLatency = 0;
  double _outputLatency = 0;
  bool _started = false;
};

// Whether a sound server answers within a moment (none is ever started).
// Any thread but the audio thread.
bool pulseServerAnswers();

// The server's sinks (output channels) and sources (input channels) for a
// device picker; sources that only monitor a sink are left out unless one is
// the default. Empty when no server answers. Any thread but the audio thread.
std::vector<AudioDeviceInfo> pulseDevices();

}  // namespace qur
