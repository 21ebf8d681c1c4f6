// The microphone dynamics with the application's presets on the signals that
// expose onsets and overshoot, and its cost per second of audio against a
// plain gain stage measured in the same run:
//   - digital silence, then a -20 dBFS tone: level of the first 10 ms against
//     the steady level, exact-zero samples in the first 30 ms, and when the
//     level comes within 3 dB of steady;
//   - -40 dBFS, then a full-scale tone: samples at full scale in the first
//     50 ms after the step.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/dynamics_processor.h"

namespace {

using namespace qur;

constexpr double kRate = 44100.0;
constexpr int kCycle = 441;

std::unique_ptr<DynamicsProcessor> presetProcessor() {
  auto p = std::make_unique<DynamicsProcessor>();
  p->initialize(AudioEngine::interleaved16BitStereoAudioDescription(), 4096);
  const float presets[] = {-34.4f, 9.8f, 2.25f, -55.9f, 0.025f, 0.05f, 15.0f};
  for (UInt32 id = 0; id < 7; ++id) p->setParameter(id, kAudioUnitScope_Global, 0, presets[id], 0);
  return p;
}

// Interleaved stereo: `first` seconds at levelA dBFS (peak; below -200 is
// digital silence), then `second` seconds at levelB, a 1 kHz sine.
std::vector<std::int16_t> twoLevels(double first, double levelA, double second, double levelB) {
  const int a = int(first * kRate), b = int(second * kRate);
  std::vector<std::int16_t> out(2 * std::size_t(a + b));
  for (int n = 0; n < a + b; ++n) {
    const double level = n < a ? levelA : levelB;
    const double amp = level < -200 ? 0 : std::min(32767.0, std::pow(10, level / 20) * 32767.0);
    const auto v = std::int16_t(std::lround(amp * std::sin(2 * M_PI * 1000.0 * n / kRate)));
    out[2 * std::size_t(n)] = out[2 * std::size_t(n) + 1] = v;
  }
  return out;
}

void run(DynamicsProcessor& p, std::vector<std::int16_t>& audio) {
  for (std::size_t f = 0; f + kCycle <= audio.size() / 2; f += kCycle) {
    p.processInt16(audio.data() + 2 * f, kCycle);
  }
}

double rmsDb(const std::vector<std::int16_t>& audio, double from, double to) {
  const std::size_t a = std::size_t(from * kRate) * 2, b = std::size_t(to * kRate) * 2;
  double sum = 0;
  for (std::size_t i = a; i < b; ++i) sum += double(audio[i]) * audio[i];
  return 10 * std::log10(std::max(sum / double(b - a), 1e-12) / (32767.0 * 32767.0));
}

double seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
  {
    auto p = presetProcessor();
    auto audio = twoLevels(1.0, -1000, 1.0, -20);
    run(*p, audio);
    const double steady = rmsDb(audio, 1.7, 2.0);
    const double onset = rmsDb(audio, 1.0, 1.01);
    std::size_t zeros = 0;
    for (std::size_t i = std::size_t(1.0 * kRate) * 2; i < std::size_t(1.03 * kRate) * 2; ++i)
      zeros += audio[i] == 0;
    double within3 = -1;
    for (double t = 1.0; t < 1.9; t += 0.005) {
      if (std::fabs(rmsDb(audio, t, t + 0.01) - steady) <= 3) {
        within3 = (t - 1.0) * 1000;
        break;
      }
    }
    std::printf(
        "silence -> -20 dBFS: first 10 ms at %+.1f dB against steady (%.1f dBFS rms), "
        "%zu exact-zero samples of %d in the first 30 ms, within 3 dB after %.0f ms\n",
        onset - steady, steady, zeros, int(0.03 * kRate) * 2, within3);
  }
  {
    auto p = presetProcessor();
    auto audio = twoLevels(1.0, -40, 1.0, 0);
    run(*p, audio);
    std::size_t clipped = 0, clippedAll = 0;
    for (std::size_t i = std::size_t(1.0 * kRate) * 2; i < audio.size(); ++i) {
      const bool full = audio[i] >= 32767 || audio[i] <= -32768;
      clippedAll += full;
      if (i < std::size_t(1.05 * kRate) * 2) clipped += full;
    }
    std::printf("-40 -> 0 dBFS: %zu samples at full scale in the first 50 ms, %zu in 1 s\n",
                clipped, clippedAll);
  }
  {
    // Cost: ten seconds of speech-like level changes, best of three.
    auto audio = twoLevels(5.0, -30, 5.0, -6);
    const auto original = audio;
    double dynamics = 1e9, plain = 1e9;
    for (int r = 0; r < 3; ++r) {
      auto p = presetProcessor();
      audio = original;
      double t0 = seconds();
      run(*p, audio);
      dynamics = std::min(dynamics, seconds() - t0);
      audio = original;
      t0 = seconds();
      volatile float gain = 1.5f;
      for (auto& s : audio) s = std::int16_t(std::clamp(float(s) * gain, -32768.0f, 32767.0f));
      plain = std::min(plain, seconds() - t0);
    }
    std::printf("cost per second of audio: dynamics %.3f ms, plain gain %.3f ms, ratio %.1f\n",
                dynamics / 10 * 1000, plain / 10 * 1000, dynamics / std::max(plain, 1e-9));
  }
  return 0;
}
