// Voice over an impaired link: two walkie-talkie processes in network
// namespaces of their own, the talker's outgoing TCP put through the netem
// stand-in (loss, delay, jitter, an outage). For each condition it measures
// what the listener recorded against the talker's microphone: mouth-to-ear
// delay (over one-second windows, placed in time by both devices' first
// audio cycle), the voice envelope correlation, the longest dropout, and
// the CPU both processes spend per second of voice. With --baseline CLI it
// runs another build's program through the same conditions, with the same
// random seeds, in the same run, and prints the two side by side.
//
//   qur_bench_voice_link [--baseline CLI] [--runs N] [--jitter-runs N]
//                        [--only clean|loss|jitter|outage] [--talk SECONDS]
//                        [--keep DIR]   (each run's recording and events)
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_analysis.h"
#include "support/child_process.h"
#include "support/json_field.h"
#include "support/link_impairment.h"
#include "support/netns.h"

namespace {

using namespace std::chrono_literals;
using qur::AnalysisSignal;
using qur::testing::ChildProcess;
using qur::testing::jsonField;
using qur::testing::LinkImpairment;
using qur::testing::NetnsLab;

constexpr double kEnvelopeStep = 0.01;
// Windows of the delay track: one second for the mouth-to-ear figure, half a
// second every 0.1 s to time the recovery from an outage.
constexpr double kWindowSeconds = 1.0;
constexpr double kWindowStep = 0.25;
constexpr double kFineWindowSeconds = 0.5;
constexpr double kFineWindowStep = 0.1;
// The outage starts this far into the talk and lasts kOutageSeconds.
constexpr double kOutageAt = 4.5;
constexpr double kOutageSeconds = 1.0;

long long wallMicroseconds() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return (long long)now.tv_sec * 1000000 + now.tv_usec;
}

// CPU seconds all threads of a process have run so far, to the nanosecond
// (the scheduler's own count; the tick counts of /proc/PID/stat are 10 ms
// coarse). Threads that already ended are not counted: ours live as long
// as the process.
double cpuSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double ns = 0;
    if (schedstat >> ns) total += ns / 1e9;
  }
  return total;
}

std::vector<double> envelopeDb(const AnalysisSignal& signal) {
  const auto window = std::size_t(kEnvelopeStep * AnalysisSignal::kSampleRate);
  std::vector<double> out;
  for (std::size_t i = 0; i + window <= signal.samples.size(); i += window) {
    double sum = 0;
    for (std::size_t j = i; j < i + window; ++j)
      sum += double(signal.samples[j]) * signal.samples[j];
    out.push_back(std::max(-60.0, 10 * std::log10(sum / double(window) + 1e-12)));
  }
  return out;
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct DelayPoint {
  double at = 0;     // s in the listener's recording
  double delay = 0;  // mouth to ear, s
};

// Mouth-to-ear delay of each window of the heard voice: where in the
// looped microphone it matches best, placed in time by both first cycles.
std::vector<DelayPoint> delayTrack(const AnalysisSignal& heard, double from, double to,
                                   const AnalysisSignal& mic, long long firstA, long long firstB,
                                   double windowSeconds, double step) {
  const auto h = envelopeDb(heard);
  auto m = envelopeDb(mic);
  const std::size_t period = m.size();
  const auto window = std::size_t(windowSeconds / kEnvelopeStep);
  while (m.size() < period + window) m.insert(m.end(), m.begin(), m.begin() + long(period));
  const double periodSeconds = double(period) * kEnvelopeStep;
  std::vector<DelayPoint> track;
  for (double at = from; at + windowSeconds <= to; at += step) {
    const auto start = std::size_t(at / kEnvelopeStep);
    if (start + window > h.size()) break;
    double best = -2;
    std::size_t bestLag = 0;
    for (std::size_t lag = 0; lag < period; ++lag) {
      const double c = qur::pearsonCorrelation(h.data() + start, m.data() + lag, window);
      if (c > best) {
        best = c;
        bestLag = lag;
      }
    }
    // Windows of silence or of concealment match nothing in particular.
    if (best < 0.6) continue;
    const double heardWall = double(firstB) / 1e6 + at;
    const double spokenInLoop = double(bestLag) * kEnvelopeStep;
    const double sinceFirstA = heardWall - double(firstA) / 1e6 - spokenInLoop;
    track.push_back({at, sinceFirstA - std::floor(sinceFirstA / periodSeconds) * periodSeconds});
  }
  return track;
}

struct Run {
  bool ok = false;
  double mouthToEar = NAN;  // s, median over the windows
  double correlation = NAN;
  double dropout = NAN;   // s
  double cpu = NAN;       // CPU seconds of both processes per second of voice
  double recovery = NAN;  // outage: s from the link's return to within 50 ms of before
  double targetMs = NAN;  // the listener's last reported buffer target
};

struct Condition {
  std::string name;
  std::vector<std::string> netem;  // empty: a clean link
  bool outage = false;
};

class Bench {
 public:
  Bench(double talk, std::string keep) : _talk(talk), _keep(std::move(keep)) {
    char pattern[] = "/tmp/qur-voice-link-XXXXXX";
    _dir = mkdtemp(pattern);
    _speech = (_dir / "speech.wav").string();
    const std::string raw = (_dir / "raw.wav").string();
    std::system(("espeak-ng -s 150 -w " + raw +
                 " 'Hello from the first device, can you hear me clearly' && sox " + raw +
                 " -r 44100 -c 2 " + _speech + " pad 0 0.4 >/dev/null 2>&1")
                    .c_str());
  }
  ~Bench() { std::filesystem::remove_all(_dir); }

  Run run(const std::string& cli, const Condition& condition, int seed) {
    Run result;
    NetnsLab lab(2, "qurv");
    if (!lab.ok()) {
      std::fprintf(stderr, "voice-link: cannot create network namespaces\n");
      return result;
    }
    const std::string heard = (_dir / "b.wav").string();
    std::filesystem::remove(heard);
    auto a = lab.spawn(0, {cli, "run", "--name", "link-a", "--mic", _speech, "--speaker",
                           (_dir / "a.wav").string(), "--accept", "never", "--interface",
                           NetnsLab::kInterface, "--events", "json"});
    auto b = lab.spawn(1, {cli, "run", "--name", "link-b", "--speaker", heard, "--accept", "auto",
                           "--interface", NetnsLab::kInterface, "--events", "json"});
    auto event = [](const std::string& name) {
      return [name](const std::string& l) { return jsonField(l, "event") == name; };
    };
    const auto clockA = a->waitForLine(event("audio_clock"), 10s);
    const auto clockB = b->waitForLine(event("audio_clock"), 10s);
    if (!clockA || !clockB) return result;
    const long long firstA = std::atoll(jsonField(*clockA, "first_cycle_us")->c_str());
    const long long firstB = std::atoll(jsonField(*clockB, "first_cycle_us")->c_str());
    if (!a->waitForLine(event("peer_found"), 20s)) return result;
    a->writeLine("invite link-b");
    if (!a->waitForLine(
            [](const std::string& l) {
              return jsonField(l, "event") == "connected" && jsonField(l, "value") == "true";
            },
            15s)) {
      return result;
    }
    std::unique_ptr<LinkImpairment> netem;
    if (!condition.netem.empty() || condition.outage) {
      auto settings = condition.netem;
      settings.insert(settings.end(), {"--seed", std::to_string(seed)});
      netem = std::make_unique<LinkImpairment>(lab.host(0), NetnsLab::kInterface, settings);
      if (!netem->ok()) {
        std::fprintf(stderr, "voice-link: cannot impair the link (iptables-nft, NFQUEUE)\n");
        return result;
      }
    }
    // Idle CPU first, so the talk's own cost can be told apart.
    const double idleSeconds = 3.0;
    const double idle0 = cpuSeconds(a->pid()) + cpuSeconds(b->pid());
    b->waitForLine([](const std::string&) { return false; }, 3000ms);
    const double idle = cpuSeconds(a->pid()) + cpuSeconds(b->pid()) - idle0;

    const double talk0 = cpuSeconds(a->pid()) + cpuSeconds(b->pid());
    a->writeLine("talk " + std::to_string(_talk));
    double returnedAt = NAN;  // wall clock, s
    if (condition.outage) {
      a->waitForLine([](const std::string&) { return false; },
                     std::chrono::milliseconds(int(kOutageAt * 1000)));
      netem->set("loss 100");
      a->waitForLine([](const std::string&) { return false; },
                     std::chrono::milliseconds(int(kOutageSeconds * 1000)));
      netem->set("loss 0");
      returnedAt = double(wallMicroseconds()) / 1e6;
    }
    a->waitForLine(
        [](const std::string& l) {
          return jsonField(l, "event") == "transmitting" && jsonField(l, "value") == "false";
        },
        std::chrono::milliseconds(int(_talk * 1000) + 15000));
    b->waitForLine([](const std::string&) { return false; }, 2000ms);
    const double talkCpu = cpuSeconds(a->pid()) + cpuSeconds(b->pid()) - talk0;
    for (const auto& line : b->lines()) {
      if (jsonField(line, "event") != "link") continue;
      if (auto target = jsonField(line, "target_ms")) result.targetMs = std::atof(target->c_str());
    }
    netem.reset();
    b->quit(15s);
    a->quit(15s);
    if (!_keep.empty()) {
      // The recording and the listener's events, to look into one run.
      const std::string stem =
          _keep + "/" + condition.name + "-" + std::to_string(seed) + "-" + std::to_string(_kept++);
      std::filesystem::create_directories(_keep);
      std::filesystem::copy_file(heard, stem + ".wav",
                                 std::filesystem::copy_options::overwrite_existing);
      std::ofstream events(stem + ".events");
      for (const auto& line : b->lines()) events << line << "\n";
    }

    auto recording = qur::loadAnalysisSignal(heard);
    auto mic = qur::loadAnalysisSignal(_speech);
    auto beep = qur::loadAnalysisSignal(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
    if (!recording || !mic || !beep) return result;
    const qur::HeardReport report = qur::analyseTransmission(*recording, *beep);
    if (!report.startSound || !report.endSound) return result;
    const auto voice = qur::slice(*recording, report.voiceStart, report.voiceEnd);
    const auto comparison = qur::compareVoice(voice, *mic);
    result.correlation = comparison.envelopeCorrelation;
    result.dropout = comparison.longestDropout;
    const auto track = delayTrack(*recording, report.voiceStart, report.voiceEnd, *mic, firstA,
                                  firstB, kWindowSeconds, kWindowStep);
    std::vector<double> delays;
    for (const auto& p : track) delays.push_back(p.delay);
    result.mouthToEar = median(delays);
    // The talk's cost beyond what the same seconds cost idle.
    result.cpu = (talkCpu - idle * (_talk + 2.0) / idleSeconds) / _talk;
    if (condition.outage) {
      const double returned = returnedAt - double(firstB) / 1e6;  // in the recording
      const auto fine = delayTrack(*recording, report.voiceStart, report.voiceEnd, *mic, firstA,
                                   firstB, kFineWindowSeconds, kFineWindowStep);
      const double cut = returned - kOutageSeconds;
      std::vector<double> before;
      for (const auto& p : fine) {
        if (p.at + kFineWindowSeconds < cut) before.push_back(p.delay);
      }
      const double settled = median(before);
      // The first window after the return from which every window stays
      // within 50 ms of the delay before the outage.
      double recovered = NAN;
      for (std::size_t i = 0; i < fine.size(); ++i) {
        if (fine[i].at < returned) continue;
        bool stays = true;
        for (std::size_t k = i; k < fine.size(); ++k) {
          stays = stays && std::fabs(fine[k].delay - settled) <= 0.050;
        }
        if (stays) {
          recovered = fine[i].at + kFineWindowSeconds / 2 - returned;
          break;
        }
      }
      result.recovery = recovered;
      result.mouthToEar = settled;
    }
    result.ok = true;
    return result;
  }

 private:
  double _talk;
  std::string _keep;  // where to keep each run's recording, if anywhere
  int _kept = 0;
  std::filesystem::path _dir;
  std::string _speech;
};

void printRun(const char* label, const std::string& condition, int index, const Run& r) {
  if (!r.ok) {
    std::printf("  %-8s %-7s run %2d: FAILED (no complete transmission heard)\n", label,
                condition.c_str(), index + 1);
    return;
  }
  std::printf(
      "  %-8s %-7s run %2d: mouth-to-ear %6.1f ms  correlation %.3f  longest dropout %4.0f ms  "
      "cpu %5.1f ms/s",
      label, condition.c_str(), index + 1, r.mouthToEar * 1000, r.correlation, r.dropout * 1000,
      r.cpu * 1000);
  if (!std::isnan(r.targetMs)) std::printf("  target %.0f ms", r.targetMs);
  if (condition == "outage") {
    if (std::isnan(r.recovery)) {
      std::printf("  recovery: never within the talk");
    } else {
      std::printf("  recovery %.2f s", r.recovery);
    }
  }
  std::printf("\n");
  std::fflush(stdout);
}

struct Summary {
  std::vector<Run> runs;
  std::string line(const std::string& condition) const {
    std::vector<double> m2e, corr, drop, cpu, rec;
    int failed = 0;
    for (const auto& r : runs) {
      if (!r.ok) {
        ++failed;
        continue;
      }
      m2e.push_back(r.mouthToEar * 1000);
      corr.push_back(r.correlation);
      drop.push_back(r.dropout * 1000);
      cpu.push_back(r.cpu * 1000);
      rec.push_back(std::isnan(r.recovery) ? 1e9 : r.recovery);
    }
    auto range = [](std::vector<double> v, const char* format) {
      if (v.empty()) return std::string("-");
      std::sort(v.begin(), v.end());
      char text[96];
      std::snprintf(text, sizeof text, format, v[v.size() / 2], v.front(), v.back());
      return std::string(text);
    };
    std::string out = "m2e " + range(m2e, "%.0f ms (%.0f-%.0f)") + ", corr " +
                      range(corr, "%.2f (%.2f-%.2f)") + ", dropout " +
                      range(drop, "%.0f ms (%.0f-%.0f)") + ", cpu " +
                      range(cpu, "%.1f ms/s (%.1f-%.1f)");
    if (condition == "outage") {
      std::vector<double> recovered;
      for (double r : rec) {
        if (r < 1e8) recovered.push_back(r);
      }
      out += ", recovery " + (recovered.size() == rec.size()
                                  ? range(rec, "%.2f s (%.2f-%.2f)")
                                  : std::to_string(rec.size() - recovered.size()) + " of " +
                                        std::to_string(rec.size()) + " never");
    }
    if (condition == "jitter") {
      int met = 0;
      for (const auto& r : runs) {
        met += r.ok && r.correlation >= 0.8 && r.dropout <= 0.060 && r.mouthToEar <= 0.220;
      }
      out += ", " + std::to_string(met) + " of " + std::to_string(runs.size()) +
             " runs meet >=0.8 / <=60 ms / <=220 ms";
    }
    if (condition == "loss") {
      int met = 0;
      for (const auto& r : runs) {
        met += r.ok && r.correlation >= 0.85 && r.dropout <= 0.040 && r.mouthToEar <= 0.180;
      }
      out += ", " + std::to_string(met) + " of " + std::to_string(runs.size()) +
             " runs meet >=0.85 / <=40 ms / <=180 ms";
    }
    if (failed) out += ", " + std::to_string(failed) + " failed";
    return out;
  }
  double medianCpu() const {
    std::vector<double> v;
    for (const auto& r : runs) {
      if (r.ok) v.push_back(r.cpu);
    }
    return median(v);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string baseline;
  std::string only;
  std::string keep;
  int runs = 3, jitterRuns = 10;
  double talk = 10.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--baseline" && i + 1 < argc) {
      baseline = argv[++i];
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--jitter-runs" && i + 1 < argc) {
      jitterRuns = std::atoi(argv[++i]);
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--talk" && i + 1 < argc) {
      talk = std::atof(argv[++i]);
    } else if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: qur_bench_voice_link [--baseline CLI] [--runs N] [--jitter-runs N] "
                   "[--only clean|loss|jitter|outage] [--talk SECONDS] [--keep DIR]\n");
      return 2;
    }
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "voice-link: network namespaces need root\n");
    return 1;
  }
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 0);
  NetnsLab::removeStale("qurv");
  const std::vector<Condition> conditions = {
      {"clean", {}, false},
      {"loss", {"--loss", "2"}, false},
      {"jitter", {"--loss", "2", "--delay", "30", "--jitter", "20"}, false},
      {"outage", {}, true},
  };
  struct Program {
    const char* label;
    std::string cli;
  };
  std::vector<Program> programs = {{"this", QUR_CLI_PATH}};
  if (!baseline.empty()) programs.push_back({"baseline", baseline});

  Bench bench(talk, keep);
  std::map<std::string, std::map<std::string, Summary>> results;
  for (const auto& condition : conditions) {
    if (!only.empty() && only != condition.name) continue;
    const int count = condition.name == "jitter" ? jitterRuns : runs;
    std::printf("%s (%d runs, %.0f s talks)\n", condition.name.c_str(), count, talk);
    for (int i = 0; i < count; ++i) {
      // Both programs meet the same random losses and delays.
      for (const auto& program : programs) {
        const Run r = bench.run(program.cli, condition, 1000 + i);
        printRun(program.label, condition.name, i, r);
        results[condition.name][program.label].runs.push_back(r);
      }
    }
  }
  std::printf("\nsummary (median, min-max over runs)\n");
  for (const auto& condition : conditions) {
    if (!results.count(condition.name)) continue;
    for (const auto& program : programs) {
      std::printf("  %-7s %-8s %s\n", condition.name.c_str(), program.label,
                  results[condition.name][program.label].line(condition.name).c_str());
    }
  }
  if (programs.size() == 2 && results.count("clean")) {
    const double ours = results["clean"]["this"].medianCpu();
    const double theirs = results["clean"]["baseline"].medianCpu();
    std::printf(
        "cpu per second of voice, send + receive, clean link: %.1f ms vs %.1f ms: ratio %.2f "
        "(target: at most 1.2)\n",
        ours * 1000, theirs * 1000, ours / theirs);
  }
  return 0;
}
