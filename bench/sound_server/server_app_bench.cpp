// Two walkie-talkie programs through a private PulseAudio server, beside the
// same figures on the virtual device measured in the same run:
//   - mouth-to-ear latency: A's microphone is the left channel of a sink
//     "air" into which the bench plays a click every 3 s; B plays into the
//     right channel of the same sink. One recording of air's monitor holds
//     every click as A heard it and as B played it, on one clock. Target:
//     the median no more than 30 ms above the virtual device's (the
//     qur_bench_latency program, run here), and not growing over the talk
//     (first minute against last minute with --minutes N);
//   - idle CPU of one program per backend, voice processing off and on
//     (targets: 3 % and 6 % of a core);
//   - the server stopped (SIGSTOP) for 4 s between two talks: the two
//     programs' CPU before, during and in the 2 s after, and the next talk's
//     clicks and latency.
// Options: --minutes N (the talk's length; default half a minute),
// --skip-cpu, --skip-latency.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server_rig.h"
#include "support/child_process.h"
#include "support/echo_bench.h"

extern char** environ;

namespace qur::bench {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
constexpr double kRate = 44100;
constexpr double kClickEvery = 3.0;

bool has(const std::string& line, const char* text) {
  return line.find(text) != std::string::npos;
}

// A child running the CLI with the given sink and source.
std::unique_ptr<ChildProcess> startCli(const std::vector<std::string>& arguments,
                                       const std::string& sink, const std::string& source) {
  // Empty: the server's defaults (an empty variable would name no device,
  // and an earlier child's choice must not carry over).
  const auto choose = [](const char* variable, const std::string& device) {
    if (device.empty()) {
      unsetenv(variable);
    } else {
      setenv(variable, device.c_str(), 1);
    }
  };
  choose("PULSE_SINK", sink);
  choose("PULSE_SOURCE", source);
  std::vector<std::string> argv = {QUR_CLI_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto child = std::make_unique<ChildProcess>(argv);
  unsetenv("PULSE_SINK");
  unsetenv("PULSE_SOURCE");
  return child;
}

pid_t spawnQuiet(const std::vector<std::string>& argv, const std::string& output) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Clicks every 3 s on the left channel over a quiet hum (which keeps the
// microphone's expander open), silence on the right.
std::vector<int16_t> clickTrack(double seconds) {
  std::vector<int16_t> s(size_t(seconds * kRate) * 2, 0);
  for (size_t i = 0; i < s.size() / 2; ++i) {
    s[2 * i] = int16_t(100 * std::sin(2 * M_PI * 200.0 * double(i) / kRate));
  }
  for (double t = 1.5; t + 0.1 < seconds; t += kClickEvery) {
    const auto at = size_t(t * kRate);
    for (size_t i = 0; i < size_t(0.006 * kRate); ++i) {
      s[2 * (at + i)] = int16_t(16000 * std::sin(2 * M_PI * 1000.0 * double(i) / kRate));
    }
  }
  return s;
}

// Onsets on one channel: louder than a tenth of full scale after 100 ms of quieter.
std::vector<double> onsets(const std::vector<int16_t>& s, int channel) {
  std::vector<double> found;
  size_t quietSince = 0;
  for (size_t i = 0; 2 * i + 1 < s.size(); ++i) {
    if (std::abs(int(s[2 * i + size_t(channel)])) < 3277) continue;
    if (double(i - quietSince) / kRate > 0.1) found.push_back(double(i) / kRate);
    quietSince = i;
  }
  return found;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The virtual device's mouth-to-ear median from qur_bench_latency.
double virtualLatency(const std::string& dir) {
  const std::string out = dir + "/virtual-latency.txt";
  const pid_t pid = spawnQuiet({QUR_LATENCY_BENCH_PATH}, out);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  FILE* f = std::fopen(out.c_str(), "r");
  double ms = 0;
  char line[512];
  while (f && std::fgets(line, sizeof line, f)) {
    if (const char* at = std::strstr(line, "median ")) ms = std::atof(at + 7);
  }
  if (f) std::fclose(f);
  return ms / 1000;
}

struct LatencyFigures {
  double median = 0, first = 0, last = 0;
  size_t clicks = 0;
  size_t expected = 0;  // clicks said during the talk
};

// A's mouth is the left channel of "air", B's ear its right channel.
bool buildAir() {
  bool ok = true;
  for (const char* module :
       {"module-null-sink sink_name=air rate=44100 channels=2",
        "module-remap-source source_name=mouth master=air.monitor channels=2 "
        "master_channel_map=front-left,front-left channel_map=front-left,front-right",
        "module-remap-sink sink_name=ear master=air channels=1 master_channel_map=front-right "
        "channel_map=mono",
        "module-null-sink sink_name=aside rate=44100 channels=2",
        "module-null-source source_name=quiet rate=44100 channels=2"}) {
    bool loaded = false;
    pactl(std::string("load-module ") + module, &loaded);
    if (!loaded) std::fprintf(stderr, "bench: cannot load %s\n", module);
    ok = ok && loaded;
  }
  return ok;
}

// One talk of A's: clicks played into the air and the air recorded
// meanwhile; the latency of every click B played.
LatencyFigures measureTalk(ChildProcess& a, double seconds, const std::string& dir) {
  LatencyFigures figures;
  // Clicks and the recording of the air start together, before the talk.
  const std::string clicks = dir + "/clicks.wav";
  testing::writeWav(clicks, clickTrack(seconds + 6));
  const std::string recording = dir + "/air.raw";
  const pid_t recorder = spawnQuiet({"parec", "--device=air.monitor", "--raw", "--format=s16le",
                                     "--rate=44100", "--channels=2", "--latency-msec=10"},
                                    recording);
  const pid_t player = spawnQuiet(
      {"paplay", "--device=air", "--channel-map=front-left,front-right", clicks}, "/dev/null");
  std::this_thread::sleep_for(1s);
  a.writeLine("talk " + std::to_string(int(seconds)));
  a.waitForLine([](const std::string& l) { return has(l, "\"transmitting\"") && has(l, "true"); },
                5s);
  a.waitForLine([](const std::string& l) { return has(l, "\"transmitting\"") && has(l, "false"); },
                std::chrono::milliseconds(int64_t(seconds * 1000) + 15000));
  std::this_thread::sleep_for(1500ms);
  ::kill(player, SIGTERM);
  ::kill(recorder, SIGTERM);
  waitpid(player, nullptr, 0);
  waitpid(recorder, nullptr, 0);

  std::vector<int16_t> air;
  if (FILE* f = std::fopen(recording.c_str(), "rb")) {
    int16_t buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 2, 4096, f)) > 0) air.insert(air.end(), buffer, buffer + n);
    std::fclose(f);
  }
  const auto said = onsets(air, 0);
  const auto heard = onsets(air, 1);
  std::vector<std::pair<double, double>> latencies;  // when said, how late heard
  for (const double t : said) {
    const auto next = std::lower_bound(heard.begin(), heard.end(), t + 0.02);
    if (next == heard.end() || *next - t > 1.0) continue;
    latencies.push_back({t, *next - t});
  }
  // The session sounds around the talk are not clicks.
  if (latencies.size() > 2) latencies.erase(latencies.begin());
  std::vector<double> all, first, last;
  const double start = latencies.empty() ? 0 : latencies.front().first;
  const double end = latencies.empty() ? 0 : latencies.back().first;
  for (const auto& [t, l] : latencies) {
    all.push_back(l);
    if (t - start < 60) first.push_back(l);
    if (end - t < 60) last.push_back(l);
  }
  figures.median = median(all);
  figures.first = median(first);
  figures.last = median(last);
  figures.clicks = all.size();
  figures.expected = size_t(seconds / kClickEvery) - 1;
  return figures;
}

struct StallFigures {
  double cpuBefore = 0, cpuStalled = 0, cpuAfter = 0;  // A and B together, share of a core
  LatencyFigures next;
};

double cpuOf(ChildProcess& a, ChildProcess& b, std::chrono::milliseconds span) {
  const double before = processCpuSeconds(a.pid()) + processCpuSeconds(b.pid());
  std::this_thread::sleep_for(span);
  return (processCpuSeconds(a.pid()) + processCpuSeconds(b.pid()) - before) /
         (double(span.count()) / 1000);
}

// Two programs through the server, A talking to B: one talk, then (with
// `stall`) the server stopped for 4 s between it and a second talk.
LatencyFigures serverLatency(double minutes, bool processing, const std::string& dir,
                             ServerRoom& room, StallFigures* stall) {
  LatencyFigures figures;
  const std::string onOff = processing ? "on" : "off";
  auto a = startCli({"run", "--name", "server-latency-a", "--audio", "pulse", "--accept", "never",
                     "--interface", "lo", "--events", "json", "--voice-processing", onOff},
                    "aside", "mouth");
  auto b = startCli({"run", "--name", "server-latency-b", "--audio", "pulse", "--accept", "auto",
                     "--interface", "lo", "--events", "json", "--voice-processing", onOff},
                    "ear", "quiet");
  if (!a->waitForLine([](const std::string& l) { return has(l, "\"peer_found\""); }, 20s)) {
    std::fprintf(stderr, "bench: the peers did not find each other\n");
    return figures;
  }
  a->writeLine("invite server-latency-b");
  if (!a->waitForLine(
          [](const std::string& l) { return has(l, "\"connected\"") && has(l, "\"value\":true"); },
          15s)) {
    std::fprintf(stderr, "bench: the peers did not connect\n");
    return figures;
  }
  figures = measureTalk(*a, minutes * 60, dir);
  if (stall) {
    stall->cpuBefore = cpuOf(*a, *b, 2s);
    room.server().freeze();
    stall->cpuStalled = cpuOf(*a, *b, 4s);
    room.server().thaw();
    stall->cpuAfter = cpuOf(*a, *b, 2s);
    stall->next = measureTalk(*a, 15, dir);
  }
  b->quit(15s);
  a->quit(15s);
  return figures;
}

// CPU share of a core that one idle program uses over `seconds`.
double idleCpu(const std::string& audio, bool processing) {
  auto child = startCli(
      {"run", "--name", "idle-" + audio, "--audio", audio, "--accept", "never", "--interface", "lo",
       "--events", "json", "--voice-processing", processing ? "on" : "off"},
      "", "");
  if (!child->waitForLine([](const std::string& l) { return has(l, "\"ready\""); }, 20s)) {
    return -1;
  }
  std::this_thread::sleep_for(3s);
  const double before = processCpuSeconds(child->pid());
  const auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(20s);
  const double used = processCpuSeconds(child->pid()) - before;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  child->quit(15s);
  return used / wall;
}

}  // namespace
}  // namespace qur::bench

int main(int argc, char** argv) {
  using namespace qur::bench;
  double minutes = 0.5;
  bool cpu = true, latency = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--minutes" && i + 1 < argc) {
      minutes = std::max(0.25, std::atof(argv[++i]));
    } else if (a == "--skip-cpu") {
      cpu = false;
    } else if (a == "--skip-latency") {
      latency = false;
    } else {
      std::fprintf(stderr, "usage: %s [--minutes N] [--skip-cpu] [--skip-latency]\n", argv[0]);
      return 2;
    }
  }
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 0);
  char pattern[] = "/tmp/qur-server-app-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  ServerRoom room;
  std::string error;
  if (!room.start(RoomOptions{}, &error)) {
    std::fprintf(stderr, "bench: %s\n", error.c_str());
    return 1;
  }
  bool pass = true;
  if (cpu) {
    std::printf("idle CPU of one program (%% of a core; targets 3 %% off, 6 %% on):\n");
    for (const char* audio : {"pulse", "portaudio"}) {
      const double off = idleCpu(audio, false);
      const double on = idleCpu(audio, true);
      std::printf("  %-9s processing off %.1f %%, on %.1f %%\n", audio, off * 100, on * 100);
      if (std::string(audio) == "pulse") pass = pass && off <= 0.03 && on <= 0.06;
    }
    std::fflush(stdout);
  }
  if (latency) {
    if (!buildAir()) return 1;
    const double reference = virtualLatency(dir);
    std::printf("mouth-to-ear, virtual device: median %.1f ms\n", reference * 1000);
    for (const bool processing : {false, true}) {
      StallFigures stall;
      const LatencyFigures f =
          serverLatency(minutes, processing, dir, room, processing ? &stall : nullptr);
      std::printf(
          "mouth-to-ear through the sound server, processing %s, %zu of %zu clicks over "
          "%.1f min: median %.1f ms (%+.1f ms against the virtual device; target <= +30); "
          "first minute %.1f ms, last minute %.1f ms (%+.1f ms)\n",
          processing ? "on" : "off", f.clicks, f.expected, minutes, f.median * 1000,
          (f.median - reference) * 1000, f.first * 1000, f.last * 1000, (f.last - f.first) * 1000);
      if (!processing) pass = pass && f.clicks > 0 && f.median - reference <= 0.030;
      if (processing) {
        std::printf(
            "server stopped for 4 s between two talks: CPU of both programs %.1f %% "
            "before, %.1f %% while stopped, %.1f %% in the 2 s after; the next talk: %zu "
            "of %zu clicks, median %.1f ms (%+.1f ms against the first)\n",
            stall.cpuBefore * 100, stall.cpuStalled * 100, stall.cpuAfter * 100, stall.next.clicks,
            stall.next.expected, stall.next.median * 1000, (stall.next.median - f.median) * 1000);
      }
      std::fflush(stdout);
    }
  }
  room.stop();
  std::filesystem::remove_all(dir);
  return pass ? 0 : 3;
}
