// A private PulseAudio server for tests that need real audio I/O without a
// sound card: a null sink whose monitor is the default source (what is played
// comes back as input), started in a fresh 0700 runtime folder, with a
// keep-alive low-latency client so new streams do not stall. Everything it
// starts is stopped by process id. Tests using it must be RUN_SERIAL or hold
// the "pulseaudio" RESOURCE_LOCK.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qur::testing {

class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Starts the server, points this process's clients (PortAudio through the
  // ALSA pulse plugin) at it and waits until streams open cleanly.
  bool start(std::string* error = nullptr);
  // Stops the keep-alive client and the server.
  void stop();
  // Kills the server as a crash would, without touching clients.
  void kill();
  // Freezes the server (SIGSTOP) as a hung sound daemon would, and thaws it:
  // its clients keep their connections but get no answer meanwhile.
  bool freeze();
  bool thaw();
  bool isFrozen() const { return _frozen; }
  bool isRunning() const { return _server > 0; }
  const std::string& runtimeDirectory() const { return _dir; }
  pid_t serverPid() const { return _server; }

 private:
  pid_t spawn(const std::vector<std::string>& argv, const std::string& output);
  bool run(const std::vector<std::string>& argv);

  std::string _dir;
  pid_t _server = -1;
  pid_t _keepAlive = -1;
  bool _frozen = false;
};

}  // namespace qur::testing
