// Inside the sound-server device: the connection to the server with its two
// streams, shared by the main side (pulse_device.cpp) and the loop thread
// (pulse_device_rt.cpp). Everything but the atomics is touched only with the
// loop's lock held, which the loop thread holds while it runs a callback.
#pragma once

#include <pulse/context.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/audio_device.h"
#include "audio/engine/capture_bridge.h"
#include "audio/engine/pulse_device.h"

namespace qur {

struct PulseDevice::Connection {
  ~Connection();

  // ---- Main side, loop lock held ----
  // Waits for `done` until `seconds` have passed; false on time-out.
  template <class Done>
  bool waitFor(Done done, double seconds);
  bool connect(std::string* error, double seconds);
  // The server's sinks (sources) with name and description.
  struct Endpoint {
    std::string name;
    std::string description;
    bool monitor = false;
    int channels = 0;
  };
  std::vector<Endpoint> endpoints(bool sinks);
  std::string defaultName(bool sink);

  // ---- Loop thread (pulse_device_rt.cpp) ----
  static void contextChanged(pa_context* context, void* userData);
  static void streamChanged(pa_stream* stream, void* userData);
  static void playbackRequested(pa_stream* stream, size_t bytes, void* userData);
  static void captureArrived(pa_stream* stream, size_t bytes, void* userData);
  static void playbackUnderflowed(pa_stream* stream, void* userData);
  static void captureOverflowed(pa_stream* stream, void* userData);
  static void streamMoved(pa_stream* stream, void* userData);
  // Reads what the record stream holds and runs a cycle for every cycle's
  // worth the playback stream asks for.
  void pump();
  void readCapture(uint64_t nowNs);
  void runCycle(uint64_t nowNs);
  double streamLatency(pa_stream* stream, double fallback) const;

  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* playback = nullptr;
  pa_stream* record = nullptr;
  AudioDeviceClient* client = nullptr;
  int channels = 2;
  double rate = 44100;
  uint32_t cycleFrames = 441;
  size_t cycleBytes = 0;
  CaptureBridge bridge;
  std::vector<int16_t> input;   // one cycle
  std::vector<int16_t> output;  // one cycle, when the server lends no buffer
  double outputFallback = 0;    // latencies from the buffer sizes, until
  double inputFallback = 0;     // the server has told the real ones

  bool contextReady = false;
  bool timedOut = false;
  std::atomic<bool> failed{false};
  std::atomic<bool> active{false};
  std::atomic<uint64_t>* cycles = nullptr;  // the device's counter
  std::atomic<int> threadId{0};
  std::atomic<uint64_t> underflows{0};
  std::atomic<uint64_t> overflows{0};

  // Where the streams go, for log lines; the loop thread updates them when
  // a stream is moved.
  mutable std::mutex namesMutex;
  std::string sinkName;
  std::string sinkDescription;
  std::string sourceName;
};

}  // namespace qur
