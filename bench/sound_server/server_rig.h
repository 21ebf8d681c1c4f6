// A room inside a private PulseAudio server, for benchmarks of the audio
// devices: the device under test plays into the sink "speakers" and records
// the room. The room (sink "room") hears the speakers through
// module-loopback with a fixed latency (adjust_time=0) and gain, and a second
// talker played into it. With a drift, the device records a microphone of
// its own clock instead: a pipe source fed with the room's audio resampled
// and delivered that many ppm faster than the server's clock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/pulse_server.h"

namespace qur::bench {

struct RoomOptions {
  double echoLatencyMs = 80;
  double echoGainDb = -9;
  double driftPpm = 0;  // the microphone's clock against the server's
};

class ServerRoom {
 public:
  ServerRoom() = default;
  ~ServerRoom();
  ServerRoom(const ServerRoom&) = delete;
  ServerRoom& operator=(const ServerRoom&) = delete;

  // Starts the server (PULSE_SERVER and friends point this process and its
  // children at it) and builds the room; the defaults become the speakers
  // and the microphone.
  bool start(const RoomOptions& options, std::string* error);
  void stop();
  // The second talker: plays a WAV file into the room once (a child process).
  void talk(const std::string& wav);
  // Seconds of CPU the server process used so far.
  double serverCpuSeconds() const;
  // Frames the drifting microphone delivered and read (0 without drift).
  double microphoneRate() const;
  testing::PulseServer& server() { return _server; }

 private:
  void driftingMicrophone(double ratio);

  testing::PulseServer _server;
  std::string _fifo;
  std::atomic<bool> _running{false};
  std::atomic<uint64_t> _written{0};
  std::atomic<uint64_t> _read{0};
  std::thread _microphone;
  std::vector<pid_t> _talkers;
};

// pactl against the private server; its output, or empty on failure.
std::string pactl(const std::string& arguments, bool* ok = nullptr);

// CPU seconds a process (or this one, pid 0) has used.
double processCpuSeconds(pid_t pid = 0);

// A mixed load beside the measurement: `stress-ng --cpu 3 --io 2 --hdd 1`.
class MixedLoad {
 public:
  explicit MixedLoad(bool on);
  ~MixedLoad();
  bool running() const { return _pid > 0; }

 private:
  pid_t _pid = -1;
};

}  // namespace qur::bench
