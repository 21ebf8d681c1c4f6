#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace qur::testing {
namespace {

void stopProcess(pid_t& pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace

PulseServer::PulseServer() {
  char pattern[] = "/tmp/qur-pulse-XXXXXX";
  if (const char* made = mkdtemp(pattern)) {
    _dir = made;
    chmod(_dir.c_str(), 0700);
  }
}

PulseServer::~PulseServer() {
  stop();
  std::error_code error;
  if (!_dir.empty()) std::filesystem::remove_all(_dir, error);
}

pid_t PulseServer::spawn(const std::vector<std::string>& argv, const std::string& output) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The children get the private folder as runtime and home folder, so they
  // neither see nor disturb any other sound server on the machine.
  std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + _dir, "HOME=" + _dir, "PATH=/usr/bin:/bin",
                                  "PULSE_SERVER=unix:" + _dir + "/pulse/native"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool PulseServer::run(const std::vector<std::string>& argv) {
  pid_t pid = spawn(argv, _dir + "/commands.log");
  if (pid <= 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PulseServer::start(std::string* error) {
  if (_dir.empty()) {
    if (error) *error = "no runtime folder";
    return false;
  }
  if (_server > 0) return true;
  stopProcess(_keepAlive, SIGTERM);  // left over from a server that was killed
  _server = spawn(
      {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
       "--log-target=stderr", "--load=module-native-protocol-unix auth-anonymous=1 srbchannel=no",
       "--load=module-null-sink sink_name=nullsink rate=44100 channels=2",
       "--load=module-null-source source_name=nullsrc rate=44100 channels=2",
       "--load=module-always-sink"},
      _dir + "/pulseaudio.log");
  if (_server <= 0) {
    if (error) *error = "cannot start pulseaudio";
    return false;
  }
  // This process's clients find the server through these, and never spawn
  // a server of their own while ours is down.
  const std::string clientConfig = _dir + "/client.conf";
  if (FILE* file = std::fopen(clientConfig.c_str(), "w")) {
    // Plain socket transport: the shared-memory rings synchronise in ways
    // the thread sanitizer cannot see into.
    std::fputs("autospawn = no\nenable-shm = no\n", file);
    std::fclose(file);
  }
  setenv("PULSE_CLIENTCONFIG", clientConfig.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", _dir.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + _dir + "/pulse/native").c_str(), 1);

  bool ready = false;
  for (int i = 0; i < 100 && !ready; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ready = run({"pactl", "info"});
  }
  if (!ready || !run({"pactl", "set-default-sink", "nullsink"}) ||
      !run({"pactl", "set-default-source", "nullsink.monitor"})) {
    if (error) *error = "pulseaudio did not come up (see " + _dir + "/pulseaudio.log)";
    stop();
    return false;
  }
  // An idle null sink renders in 2-second blocks; a low-latency client keeps
  // it ticking so that new streams start at once.
  _keepAlive = spawn({"pacat", "-p", "--raw", "--format=s16le", "--rate=44100", "--channels=2",
                      "--latency-msec=10", "/dev/zero"},
                     _dir + "/pacat.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  return true;
}

void PulseServer::kill() {
  stopProcess(_server, SIGKILL);
  _frozen = false;
}

bool PulseServer::freeze() {
  if (_server <= 0 || ::kill(_server, SIGSTOP) != 0) return false;
  _frozen = true;
  return true;
}

bool PulseServer::thaw() {
  if (_server <= 0 || ::kill(_server, SIGCONT) != 0) return false;
  _frozen = false;
  return true;
}

void PulseServer::stop() {
  thaw();  // a frozen server would never see the SIGTERM
  stopProcess(_keepAlive, SIGTERM);
  stopProcess(_server, SIGTERM);
}

}  // namespace qur::testing
