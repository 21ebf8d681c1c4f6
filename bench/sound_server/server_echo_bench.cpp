// Echo cancellation through a private PulseAudio server, the native
// sound-server device beside PortAudio (through ALSA's pulse plugin) in the
// same run. The engine plays a far-end talker (espeak-ng) into the speakers;
// the room hears them 80 ms later at -9 dB (module-loopback, fixed latency)
// and a second talker besides; the engine records the room. Per run:
//   - ERLE of every far-end sentence heard without the second talker (the
//     first 500 ms after the first far-end speech left out), against the
//     echo energy of a run without processing on the same backend (target
//     >= 25 dB on every sentence);
//   - the second talker's envelope correlation with what the engine passes
//     on while both talk (target >= 0.75);
//   - the echo's delay as heard and the delay the canceller was told.
// Options: --runs N (10), --load (stress-ng --cpu 3 --io 2 --hdd 1 beside
// it), --drift PPM (the microphone on a clock of its own), --backend
// pulse|portaudio|both, --keep DIR (what the engine recorded, every run, as
// WAV files). Exit status 0 when the native device met both
// targets in every run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/portaudio_device.h"
#include "audio/engine/pulse_device.h"
#include "audio/engine/voice_processor.h"
#include "server_rig.h"
#include "signals/main_queue.h"
#include "support/echo_bench.h"

namespace qur::bench {
namespace {

using namespace std::chrono_literals;
constexpr double kRate = 44100;

// Plays the far-end file at the given engine frames, silence otherwise.
class FarEnd : public AudioPlayable {
 public:
  FarEnd(std::vector<int16_t> samples, std::vector<uint64_t> starts)
      : _samples(std::move(samples)), _starts(std::move(starts)) {}
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<FarEnd*>(channel);
    auto* out = static_cast<int16_t*>(audio->mBuffers[0].mData);
    const uint64_t first = self->rendered.load(std::memory_order_relaxed);
    const uint64_t length = self->_samples.size() / 2;
    for (UInt32 f = 0; f < frames; ++f) {
      for (const uint64_t start : self->_starts) {
        const uint64_t at = first + f;
        if (at < start || at >= start + length) continue;
        out[2 * f] = self->_samples[2 * (at - start)];
        out[2 * f + 1] = self->_samples[2 * (at - start) + 1];
      }
    }
    self->rendered.store(first + frames, std::memory_order_relaxed);
    return noErr;
  }
  std::atomic<uint64_t> rendered{0};

 private:
  std::vector<int16_t> _samples;
  std::vector<uint64_t> _starts;
};

struct Window {
  size_t from, to;  // frames
};

// The far-end file's sentences: stretches of speech with less than 300 ms
// of quiet inside.
std::vector<Window> sentences(const std::vector<int16_t>& far) {
  const auto envelope = testing::envelope(far);
  std::vector<Window> found;
  const double threshold = 32767.0 * std::pow(10.0, -40.0 / 20);
  size_t quiet = 1000;
  for (size_t w = 0; w < envelope.size(); ++w) {
    if (envelope[w] < threshold) {
      ++quiet;
      continue;
    }
    if (quiet > 30 || found.empty()) {
      found.push_back({w * 441, w * 441 + 441});
    } else {
      found.back().to = w * 441 + 441;
    }
    quiet = 0;
  }
  return found;
}

struct Schedule {
  double warmUp = 3;
  std::vector<uint64_t> farStarts;  // far end alone, far end with the talker, alone again
  uint64_t talkerStart = 0;
  uint64_t total = 0;
  std::vector<Window> alone;  // engine frames of every sentence heard alone
  Window together{};
};

Schedule makeSchedule(double warmUp, const std::vector<int16_t>& far,
                      const std::vector<int16_t>& near) {
  Schedule s;
  s.warmUp = warmUp;
  const uint64_t farLength = far.size() / 2;
  const uint64_t at = uint64_t(warmUp * kRate);
  const uint64_t gap = uint64_t(2.5 * kRate);
  s.farStarts = {at, at + farLength + gap, at + 2 * (farLength + gap)};
  s.talkerStart = s.farStarts[1] + uint64_t(0.5 * kRate);
  s.total = s.farStarts[2] + farLength + uint64_t(1.5 * kRate);
  const auto spoken = sentences(far);
  for (const uint64_t start : {s.farStarts[0], s.farStarts[2]}) {
    for (const Window& w : spoken) s.alone.push_back({start + w.from, start + w.to});
  }
  // The first 500 ms after the first far-end speech are the canceller's to learn in.
  if (!s.alone.empty()) s.alone.front().from += size_t(0.5 * kRate);
  s.together = {size_t(s.talkerStart), size_t(s.talkerStart + near.size() / 2)};
  return s;
}

enum class Backend { Pulse, PortAudio };
const char* nameOf(Backend b) {
  return b == Backend::Pulse ? "sound server" : "PortAudio";
}

bool gVerbose = false;
std::string gKeep;  // a folder for the recordings of every run

struct Run {
  bool ok = false;
  std::vector<double> underrunTimes;  // seconds into the run
  std::vector<int16_t> heard;         // what the engine passed on
  int toldDelayMs = -1;
  int64_t addedFrames = 0;
  AudioDeviceStatistics statistics;
  double inputLatency = 0, outputLatency = 0;
};

Run runOnce(Backend backend, bool processing, const Schedule& schedule,
            const std::vector<int16_t>& far, const std::string& nearFile, ServerRoom& room,
            MainLoop& loop) {
  std::unique_ptr<AudioDevice> device;
  if (backend == Backend::Pulse) {
    device = std::make_unique<PulseDevice>();
  } else {
    device = std::make_unique<PortAudioDevice>(std::string(), 441);
  }
  AudioDevice* raw = device.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(device));
  engine.setVoiceProcessingEnabled(processing);
  auto receiver = std::make_shared<testing::CaptureReceiver>(schedule.total);
  auto channel = std::make_shared<FarEnd>(far, schedule.farStarts);
  engine.addInputReceiver(receiver);
  engine.addChannels({channel});
  Run run;
  if (!engine.start()) {
    std::fprintf(stderr, "bench: %s did not start: %s\n", nameOf(backend),
                 engine.lastError().c_str());
    return run;
  }
  bool talking = false;
  uint64_t underruns = 0;
  const auto limit =
      std::chrono::milliseconds(int64_t(double(schedule.total) / kRate * 1000)) + 30s;
  run.ok = loop.runUntil(
      [&] {
        if (!talking && channel->rendered.load() >= schedule.talkerStart) {
          room.talk(nearFile);
          talking = true;
        }
        if (const uint64_t now = raw->statistics().captureUnderruns; now != underruns) {
          underruns = now;
          run.underrunTimes.push_back(double(channel->rendered.load()) / kRate);
        }
        return receiver->frames.load() >= schedule.total;
      },
      limit);
  if (const VoiceProcessor* processor = engine.voiceProcessor()) {
    run.toldDelayMs = processor->streamDelayMs();
    run.addedFrames = processor->addedLatencyFrames();
  }
  run.statistics = raw->statistics();
  run.inputLatency = engine.inputLatency();
  run.outputLatency = engine.outputLatency();
  engine.stop();
  run.heard = receiver->captured();
  return run;
}

// Frames the echo lags the far end by in a run without processing.
size_t echoLag(const Run& off, const Schedule& schedule, const std::vector<int16_t>& far) {
  std::vector<int16_t> played(schedule.total * 2, 0);
  for (const uint64_t start : schedule.farStarts) {
    for (size_t i = 0; i < far.size() && 2 * start + i < played.size(); ++i) {
      played[2 * start + i] = far[i];
    }
  }
  const auto a = testing::envelope(played);
  const auto b = testing::envelope(off.heard);
  long lag = 0;
  testing::bestEnvelopeCorrelation(a, b, schedule.farStarts[0] / 441,
                                   (schedule.farStarts[0] + far.size() / 2) / 441, 60, &lag);
  return size_t(lag) * 441;
}

double energyIn(const std::vector<int16_t>& s, const Window& w, size_t shift, size_t before,
                size_t after) {
  return testing::energy(s, w.from + shift - std::min(before, w.from + shift),
                         w.to + shift + after);
}

struct Figures {
  double worstErle = 1e9;
  double talk = 0;
  std::vector<double> erles;
};

Figures measure(const Run& on, const Run& off, const Schedule& schedule, size_t lag,
                const std::vector<int16_t>& near) {
  Figures f;
  const size_t added = size_t(std::max<int64_t>(on.addedFrames, 0));
  for (const Window& w : schedule.alone) {
    const double echo = energyIn(off.heard, w, lag, 0, 2205);
    const double left = energyIn(on.heard, w, lag + added, 2205, 4410);
    f.erles.push_back(testing::decibels(echo / std::max(left, 1.0)));
    f.worstErle = std::min(f.worstErle, f.erles.back());
  }
  std::vector<int16_t> dry(schedule.total * 2, 0);
  for (size_t i = 0; i < near.size() && 2 * schedule.talkerStart + i < dry.size(); ++i) {
    dry[2 * schedule.talkerStart + i] = near[i];
  }
  long best = 0;
  f.talk = testing::bestEnvelopeCorrelation(testing::envelope(dry), testing::envelope(on.heard),
                                            schedule.together.from / 441,
                                            schedule.together.to / 441, 100, &best);
  return f;
}

}  // namespace
}  // namespace qur::bench

int main(int argc, char** argv) {
  using namespace qur;
  using namespace qur::bench;
  int runs = 10;
  bool load = false;
  double drift = 0;
  std::vector<Backend> backends = {Backend::Pulse, Backend::PortAudio};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--verbose") {
      gVerbose = true;
    } else if (a == "--keep" && i + 1 < argc) {
      gKeep = argv[++i];
    } else if (a == "--load") {
      load = true;
    } else if (a == "--drift" && i + 1 < argc) {
      drift = std::atof(argv[++i]);
    } else if (a == "--backend" && i + 1 < argc) {
      const std::string b = argv[++i];
      if (b == "pulse") backends = {Backend::Pulse};
      if (b == "portaudio") backends = {Backend::PortAudio};
    } else {
      std::fprintf(stderr,
                   "usage: %s [--runs N] [--load] [--drift PPM] [--backend pulse|portaudio|both] "
                   "[--keep DIR]\n",
                   argv[0]);
      return 2;
    }
  }
  const testing::EchoBenchFiles files = testing::EchoBenchFiles::make();
  if (!files.ok) {
    std::fprintf(stderr, "bench: espeak-ng or sox is missing\n");
    return 1;
  }
  const auto far = testing::readWav(files.farEnd);
  // The talker without the padding the virtual bench loops with.
  auto near = testing::readWav(files.nearEnd);
  near.resize(near.size() - size_t(1.5 * kRate) * 2);
  const std::string nearFile = (files.dir / "talker.wav").string();
  testing::writeWav(nearFile, near);

  auto loop = std::make_shared<MainLoop>();
  setMainQueue(loop);
  ServerRoom room;
  RoomOptions options;
  options.driftPpm = drift;
  std::string error;
  if (!room.start(options, &error)) {
    std::fprintf(stderr, "bench: %s\n", error.c_str());
    return 1;
  }
  // Drift is learnt from the clocks alone, before anybody talks.
  const Schedule schedule = makeSchedule(drift != 0 ? 20.0 : 3.0, far, near);
  MixedLoad mixedLoad(load);
  std::printf(
      "echo through the sound server: %s%s, %d runs per backend, %zu sentences alone\n",
      load ? "stress-ng --cpu 3 --io 2 --hdd 1 beside it" : "no load",
      drift != 0 ? (", microphone " + std::to_string(int(drift)) + " ppm fast").c_str() : "", runs,
      schedule.alone.size());

  bool pass = true;
  for (const Backend backend : backends) {
    const Run off = runOnce(backend, false, schedule, far, nearFile, room, *loop);
    if (!off.ok) {
      std::fprintf(stderr, "bench: %s: the run without processing did not finish\n",
                   nameOf(backend));
      pass = false;
      continue;
    }
    const size_t lag = echoLag(off, schedule, far);
    std::printf(
        "%s: echo heard %.0f ms after it was played (latencies measured: in %.1f ms, "
        "out %.1f ms)\n",
        nameOf(backend), double(lag) / kRate * 1000, off.inputLatency * 1000,
        off.outputLatency * 1000);
    int erleOk = 0, talkOk = 0;
    double worst = 1e9, worstTalk = 1;
    for (int r = 0; r < runs; ++r) {
      const Run on = runOnce(backend, true, schedule, far, nearFile, room, *loop);
      if (!on.ok) {
        std::printf("  %s run %d: did not finish\n", nameOf(backend), r + 1);
        continue;
      }
      const Figures f = measure(on, off, schedule, lag, near);
      if (!gKeep.empty()) {
        const std::string stem = gKeep + "/" + (backend == Backend::Pulse ? "pulse" : "portaudio");
        testing::writeWav(stem + "-off.wav", off.heard);
        testing::writeWav(stem + "-on-" + std::to_string(r + 1) + ".wav", on.heard);
      }
      erleOk += f.worstErle >= 25;
      talkOk += f.talk >= 0.75;
      worst = std::min(worst, f.worstErle);
      worstTalk = std::min(worstTalk, f.talk);
      const auto& s = on.statistics;
      std::printf(
          "  %s run %2d: worst sentence ERLE %5.1f dB, double talk %.3f, canceller told "
          "%d ms, capture underruns %llu, dropped %llu, drift %+.0f ppm\n",
          nameOf(backend), r + 1, f.worstErle, f.talk, on.toldDelayMs,
          static_cast<unsigned long long>(s.captureUnderruns),
          static_cast<unsigned long long>(s.droppedCaptureFrames), s.captureDrift * 1e6);
      if (gVerbose) {
        std::printf("    sentences:");
        for (const double e : f.erles) std::printf(" %.1f", e);
        std::printf("\n    underruns at:");
        for (const double t : on.underrunTimes) std::printf(" %.1f", t);
        std::printf(" s\n");
      }
      std::fflush(stdout);
    }
    std::printf(
        "%s: ERLE >= 25 dB on every sentence in %d of %d runs (worst %.1f dB); double "
        "talk >= 0.75 in %d of %d (worst %.3f)\n",
        nameOf(backend), erleOk, runs, worst, talkOk, runs, worstTalk);
    if (backend == Backend::Pulse) pass = pass && erleOk == runs && talkOk == runs;
  }
  room.stop();
  files.remove();
  setMainQueue(nullptr);
  return pass ? 0 : 3;
}
