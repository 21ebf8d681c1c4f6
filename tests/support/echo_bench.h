// The echo bench shared by the voice processing tests and benchmark: speech
// made with espeak-ng, a far-end talker played through the engine's mix, a
// virtual device whose microphone hears the near end, noise and the echo of
// its own speaker, and the measures taken on what the engine passes on.
#pragma once

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/engine/voice_processor.h"

namespace qur::testing {

inline std::vector<int16_t> readWav(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return {};
  std::vector<int16_t> samples(size_t(info.frames) * info.channels);
  sf_readf_short(file, samples.data(), info.frames);
  sf_close(file);
  return samples;
}

inline bool writeWav(const std::string& path, const std::vector<int16_t>& stereo) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  sf_writef_short(file, stereo.data(), sf_count_t(stereo.size() / 2));
  sf_close(file);
  return true;
}

// Files at the engine format, made once per process in a private folder.
struct EchoBenchFiles {
  std::filesystem::path dir;
  std::string farEnd;   // a male voice talking for about 9 s
  std::string nearEnd;  // another voice, then 1.5 s of silence (it loops)
  std::string noise;    // white noise at -40 dBFS RMS
  bool ok = false;

  static EchoBenchFiles make() {
    EchoBenchFiles f;
    f.dir = std::filesystem::temp_directory_path() / ("qur-echo-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(f.dir);
    f.farEnd = (f.dir / "far.wav").string();
    f.nearEnd = (f.dir / "near.wav").string();
    f.noise = (f.dir / "noise.wav").string();
    const std::string raw = (f.dir / "raw.wav").string();
    const auto speak = [&](const std::string& voice, const std::string& text,
                           const std::string& out, const std::string& pad) {
      const std::string command = "espeak-ng -s 150 -v " + voice + " -w " + raw + " '" + text +
                                  "' >/dev/null 2>&1 && sox " + raw + " -r 44100 -c 2 " + out +
                                  " " + pad + " >/dev/null 2>&1";
      return std::system(command.c_str()) == 0 && std::filesystem::exists(out);
    };
    f.ok = speak("en",
                 "The quick brown fox jumps over the lazy dog near the river bank. "
                 "Seven silver ships sailed slowly past the harbour wall at dawn. "
                 "Please remember to bring the blue folder to the meeting tomorrow.",
                 f.farEnd, "") &&
           speak("en+f3",
                 "Hello, can you hear me well? I am calling from the kitchen, "
                 "where the water is boiling.",
                 f.nearEnd, "pad 0 1.5");
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0.0, 32767.0 * std::pow(10.0, -40.0 / 20.0));
    std::vector<int16_t> noise(size_t(44100) * 4 * 2);
    for (size_t i = 0; i < noise.size(); i += 2) {
      noise[i] = noise[i + 1] = int16_t(std::clamp(gauss(random), -32768.0, 32767.0));
    }
    f.ok = f.ok && writeWav(f.noise, noise);
    return f;
  }
  void remove() const { std::filesystem::remove_all(dir); }
};

// Plays interleaved stereo samples into the mix, looped.
class SamplesChannel : public AudioPlayable {
 public:
  explicit SamplesChannel(std::vector<int16_t> samples) : samples(std::move(samples)) {}
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<SamplesChannel*>(channel);
    auto* out = static_cast<int16_t*>(audio->mBuffers[0].mData);
    if (self->samples.empty()) return noErr;
    for (UInt32 i = 0; i < frames * 2; ++i) {
      out[i] = self->samples[self->position];
      if (++self->position == self->samples.size()) self->position = 0;
    }
    return noErr;
  }
  std::vector<int16_t> samples;
  size_t position = 0;
};

// Keeps every frame the engine hands its receivers (capacity fixed up front).
class CaptureReceiver : public AudioReceiver {
 public:
  explicit CaptureReceiver(size_t frames) : samples(frames * 2, 0) {}
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* object, AudioEngine*, int, const AudioTimeStamp*,
                      UInt32 frames, const AudioBufferList* audio) {
    auto* self = static_cast<CaptureReceiver*>(object);
    const size_t have = self->frames.load(std::memory_order_relaxed);
    const size_t take = std::min<size_t>(frames, self->samples.size() / 2 - have);
    const auto* in = static_cast<const int16_t*>(audio->mBuffers[0].mData);
    std::copy(in, in + take * 2, self->samples.begin() + ptrdiff_t(have * 2));
    self->frames.store(have + take, std::memory_order_release);
  }
  std::vector<int16_t> captured() const {
    return {samples.begin(), samples.begin() + ptrdiff_t(frames.load() * 2)};
  }
  std::vector<int16_t> samples;
  std::atomic<size_t> frames{0};
};

struct EchoBenchSetup {
  bool farEnd = true;
  bool nearEnd = false;
  bool noise = false;
  bool echo = true;
  double echoDelayMs = 60;
  double echoGainDb = -6;
  double echoLowPassHz = 4000;
  bool voiceProcessing = true;
  double seconds = 8;
};

struct EchoBenchRun {
  std::vector<int16_t> microphone;  // what the device's microphone heard
  std::vector<int16_t> processed;   // what the engine handed its receivers
  std::vector<int16_t> nearEnd;     // the dry near-end signal, as looped by the device
  int64_t latencyFrames = 0;
  bool active = false;
  uint64_t blocks = 0;
};

// Runs the bench on a manual clock: as fast as the machine allows, cycle by
// cycle on this thread, so the numbers do not depend on scheduling.
inline EchoBenchRun runEchoBench(const EchoBenchFiles& files, const EchoBenchSetup& setup) {
  const auto frames = uint32_t(setup.seconds * 44100);
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::Manual;
  options.input =
      setup.nearEnd ? VirtualDeviceOptions::Input::WavFile : VirtualDeviceOptions::Input::Silence;
  options.inputFile = files.nearEnd;
  options.echo = setup.echo;
  options.echoDelayMs = setup.echoDelayMs;
  options.echoGainDb = setup.echoGainDb;
  options.echoLowPassHz = setup.echoLowPassHz;
  if (setup.noise) options.noiseFile = files.noise;
  options.inputMemoryCapacityFrames = frames;
  auto owned = std::make_unique<VirtualDevice>(options);
  VirtualDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  engine.setVoiceProcessingEnabled(setup.voiceProcessing);
  auto receiver = std::make_shared<CaptureReceiver>(frames);
  engine.addInputReceiver(receiver);
  if (setup.farEnd) engine.addChannels({std::make_shared<SamplesChannel>(readWav(files.farEnd))});
  EchoBenchRun run;
  if (!engine.start()) return run;
  device->runCycles(frames / device->framesPerBuffer());
  engine.stop();
  run.microphone = device->capturedInput();
  run.processed = receiver->captured();
  run.active = engine.isVoiceProcessingActive();
  if (const VoiceProcessor* processor = engine.voiceProcessor()) {
    run.latencyFrames = processor->addedLatencyFrames();
    run.blocks = processor->blocksProcessed();
  }
  if (setup.nearEnd) {
    const std::vector<int16_t> once = readWav(files.nearEnd);
    run.nearEnd.resize(run.microphone.size());
    for (size_t i = 0; i < run.nearEnd.size() && !once.empty(); ++i) {
      run.nearEnd[i] = once[i % once.size()];
    }
  }
  return run;
}

// ---- Measures (left channel; both carry the same) -------------------------

inline double energy(const std::vector<int16_t>& s, size_t fromFrame, size_t toFrame) {
  double sum = 0;
  for (size_t f = fromFrame; f < toFrame && 2 * f < s.size(); ++f)
    sum += double(s[2 * f]) * s[2 * f];
  return sum;
}

inline double decibels(double ratio) {
  return 10.0 * std::log10(std::max(ratio, 1e-12));
}

// RMS per 10 ms window.
inline std::vector<double> envelope(const std::vector<int16_t>& s) {
  std::vector<double> env(s.size() / 2 / 441);
  for (size_t w = 0; w < env.size(); ++w)
    env[w] = std::sqrt(energy(s, w * 441, w * 441 + 441) / 441);
  return env;
}

inline double correlation(const std::vector<double>& a, const std::vector<double>& b, size_t from,
                          size_t to, long lagB) {
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  double n = 0;
  for (size_t i = from; i < to; ++i) {
    const long j = long(i) + lagB;
    if (i >= a.size() || j < 0 || size_t(j) >= b.size()) continue;
    sa += a[i];
    sb += b[size_t(j)];
    saa += a[i] * a[i];
    sbb += b[size_t(j)] * b[size_t(j)];
    sab += a[i] * b[size_t(j)];
    n += 1;
  }
  if (n < 2) return 0;
  const double cov = sab - sa * sb / n;
  const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
  return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0;
}

// Envelope correlation of `b` with `a` over windows [from, to), at the lag of
// b behind a (in windows, 0..maxLag) where it is best; *bestLag gets that lag.
inline double bestEnvelopeCorrelation(const std::vector<double>& a, const std::vector<double>& b,
                                      size_t from, size_t to, long maxLag, long* bestLag) {
  double best = -1;
  for (long lag = 0; lag <= maxLag; ++lag) {
    const double c = correlation(a, b, from, to, lag);
    if (c > best) {
      best = c;
      if (bestLag) *bestLag = lag;
    }
  }
  return best;
}

// Echo return loss enhancement from `fromFrame` on: the echo the microphone
// heard against what is left of it after processing (latency compensated).
inline double erleDb(const EchoBenchRun& run, size_t fromFrame) {
  const size_t frames = run.microphone.size() / 2;
  const size_t lag = size_t(std::max<int64_t>(run.latencyFrames, 0));
  const size_t to = frames > lag ? frames - lag : 0;
  const double mic = energy(run.microphone, fromFrame, to);
  std::vector<int16_t> shifted(
      run.processed.begin() + ptrdiff_t(std::min(run.processed.size(), lag * 2)),
      run.processed.end());
  return decibels(mic / std::max(energy(shifted, fromFrame, to), 1.0));
}

}  // namespace qur::testing
