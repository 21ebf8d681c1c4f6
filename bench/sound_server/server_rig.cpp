#include "server_rig.h"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qur::bench {
namespace {

pid_t spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void reap(pid_t pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  waitpid(pid, nullptr, 0);
}

}  // namespace

std::string pactl(const std::string& arguments, bool* ok) {
  std::string output;
  FILE* pipe = popen(("pactl " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) {
    if (ok) *ok = false;
    return output;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int status = pclose(pipe);
  if (ok) *ok = status == 0;
  return output;
}

double processCpuSeconds(pid_t pid) {
  if (pid == 0) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // Fields after the command, which may hold spaces: state is field 3,
  // utime 14 and stime 15.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / double(sysconf(_SC_CLK_TCK));
}

MixedLoad::MixedLoad(bool on) {
  if (on) {
    _pid = spawn({"stress-ng", "--cpu", "3", "--io", "2", "--hdd", "1", "--temp-path", "/tmp",
                  "--timeout", "3600"});
  }
}

MixedLoad::~MixedLoad() {
  reap(_pid, SIGTERM);
}

ServerRoom::~ServerRoom() {
  stop();
}

bool ServerRoom::start(const RoomOptions& options, std::string* error) {
  if (!_server.start(error)) return false;
  bool ok = true;
  const auto load = [&](const std::string& module) {
    bool loaded = false;
    pactl("load-module " + module, &loaded);
    if (!loaded && error) *error = "cannot load " + module;
    ok = ok && loaded;
  };
  load(
      "module-null-sink sink_name=speakers rate=44100 channels=2 "
      "sink_properties=device.description=Speakers");
  load(
      "module-null-sink sink_name=room rate=44100 channels=2 "
      "sink_properties=device.description=Room");
  char loopback[256];
  std::snprintf(loopback, sizeof loopback,
                "module-loopback source=speakers.monitor sink=room latency_msec=%d adjust_time=0 "
                "source_dont_move=true sink_dont_move=true",
                int(std::lround(options.echoLatencyMs)));
  load(loopback);
  if (!ok) return false;
  // The loopback's playback into the room carries the echo's gain.
  const std::string inputs = pactl("list short sink-inputs");
  std::istringstream lines(inputs);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string index;
    fields >> index;
    if (line.find("module-loopback") == std::string::npos) continue;
    char volume[64];
    std::snprintf(volume, sizeof volume, "%.1fdB", options.echoGainDb);
    bool set = false;
    pactl("set-sink-input-volume " + index + " " + volume, &set);
    ok = ok && set;
  }
  std::string source = "room.monitor";
  if (options.driftPpm != 0) {
    _fifo = _server.runtimeDirectory() + "/microphone.fifo";
    load("module-pipe-source source_name=mic file=" + _fifo +
         " format=s16le rate=44100 channels=2 source_properties=device.description=Microphone");
    if (!ok) return false;
    _running = true;
    _microphone =
        std::thread([this, ratio = 1 + options.driftPpm * 1e-6] { driftingMicrophone(ratio); });
    source = "mic";
  }
  bool sink = false, chosen = false;
  pactl("set-default-sink speakers", &sink);
  pactl("set-default-source " + source, &chosen);
  ok = ok && sink && chosen;
  if (!ok && error) *error = "cannot choose the room's defaults";
  return ok;
}

void ServerRoom::stop() {
  _running = false;
  if (_microphone.joinable()) _microphone.join();
  for (pid_t pid : _talkers) reap(pid, SIGTERM);
  _talkers.clear();
  _server.stop();
}

void ServerRoom::talk(const std::string& wav) {
  _talkers.push_back(spawn({"paplay", "--device=room", wav}));
}

double ServerRoom::serverCpuSeconds() const {
  return processCpuSeconds(_server.serverPid());
}

double ServerRoom::microphoneRate() const {
  const double read = double(_read.load());
  return read > 0 ? double(_written.load()) / read : 0.0;
}

// Records the room at the server's clock and delivers it to the pipe source
// `ratio` times as fast: what a microphone with a faster clock would record.
void ServerRoom::driftingMicrophone(double ratio) {
  pa_sample_spec sampleFormat{};
  sampleFormat.format = PA_SAMPLE_S16LE;
  sampleFormat.rate = 44100;
  sampleFormat.channels = 2;
  pa_buffer_attr attr{};
  attr.maxlength = uint32_t(-1);
  attr.fragsize = 441 * 4;
  int err = 0;
  pa_simple* room = pa_simple_new(nullptr, "qur-bench", PA_STREAM_RECORD, "room.monitor",
                                  "drifting microphone", &sampleFormat, nullptr, &attr, &err);
  const int fd = ::open(_fifo.c_str(), O_WRONLY | O_CLOEXEC);
  if (!room || fd < 0) {
    std::fprintf(stderr, "bench: no drifting microphone (%s)\n", pa_strerror(err));
    if (room) pa_simple_free(room);
    if (fd >= 0) ::close(fd);
    return;
  }
  // A small pipe: the microphone's own buffer, not seconds of latency.
  fcntl(fd, F_SETPIPE_SZ, 4096);
  const double step = 1.0 / ratio;
  std::vector<int16_t> chunk(441 * 2);
  std::vector<float> input;  // frames not yet passed, two of them before `position`
  std::vector<int16_t> output;
  double position = 1.0;
  while (_running.load()) {
    if (pa_simple_read(room, chunk.data(), chunk.size() * 2, &err) < 0) break;
    input.insert(input.end(), chunk.begin(), chunk.end());
    _read += 441;
    const size_t frames = input.size() / 2;
    output.clear();
    // Catmull-Rom, as between any two clocks.
    while (position + 2 < double(frames)) {
      const auto i = size_t(position);
      const float t = float(position - double(i));
      for (size_t c = 0; c < 2; ++c) {
        const float x0 = input[(i - 1) * 2 + c], x1 = input[i * 2 + c], x2 = input[(i + 1) * 2 + c],
                    x3 = input[(i + 2) * 2 + c];
        const float v =
            x1 +
            0.5f * t *
                (x2 - x0 + t * (2 * x0 - 5 * x1 + 4 * x2 - x3 + t * (3 * (x1 - x2) + x3 - x0)));
        output.push_back(int16_t(std::lround(std::fmax(-32768.f, std::fmin(32767.f, v)))));
      }
      position += step;
    }
    const auto used = size_t(position) - 1;
    input.erase(input.begin(), input.begin() + ptrdiff_t(used * 2));
    position -= double(used);
    const auto* bytes = reinterpret_cast<const char*>(output.data());
    size_t left = output.size() * 2;
    while (left > 0) {
      const ssize_t n = ::write(fd, bytes, left);
      if (n <= 0) break;
      bytes += n;
      left -= size_t(n);
    }
    _written += output.size() / 2;
  }
  ::close(fd);
  pa_simple_free(room);
}

}  // namespace qur::bench
