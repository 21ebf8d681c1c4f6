// Writes the application's feedback sounds as 16-bit PCM CAF files:
//   beep-short-high  transmission starts (rising two-partial blip)
//   beep-short-low   transmission ends (the same blip a fifth lower)
//   hangup           the last peer left (two falling tones)
//   beep             a peer starts talking; played backwards when it stops
// Every sound starts and ends with a raised-cosine fade so it never clicks,
// and peaks well below full scale so it never clips, also after mixing.
//
// Usage: qur_sound_synth OUTPUT_DIRECTORY
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kPeak = 0.5;  // -6 dBFS

struct Tone {
  double start, duration;  // seconds
  double frequency, endFrequency;
  double level;  // relative
};

double fadeGain(double t, double duration, double fade) {
  if (t < fade) return 0.5 - 0.5 * std::cos(M_PI * t / fade);
  if (t > duration - fade) return 0.5 - 0.5 * std::cos(M_PI * (duration - t) / fade);
  return 1.0;
}

std::vector<double> render(const std::vector<Tone>& tones, double length, double decay) {
  std::vector<double> out(size_t(length * kRate), 0.0);
  for (const Tone& tone : tones) {
    double phase = 0;
    const size_t first = size_t(tone.start * kRate);
    const size_t count = size_t(tone.duration * kRate);
    for (size_t i = 0; i < count && first + i < out.size(); ++i) {
      const double t = double(i) / kRate;
      const double frequency =
          tone.frequency + (tone.endFrequency - tone.frequency) * t / tone.duration;
      phase += 2 * M_PI * frequency / kRate;
      // A quieter octave partial makes the blips less sterile than a pure sine.
      const double wave = std::sin(phase) + 0.25 * std::sin(2 * phase);
      const double envelope = fadeGain(t, tone.duration, 0.006) * std::exp(-decay * t);
      out[first + i] += tone.level * wave * envelope;
    }
  }
  // Normalise to the peak level, then fade the whole sound once more so the
  // first and last samples are exactly zero.
  double peak = 0;
  for (double v : out) peak = std::max(peak, std::fabs(v));
  const double scale = peak > 0 ? kPeak / peak : 0;
  const double total = double(out.size()) / kRate;
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] *= scale * fadeGain(double(i) / kRate, total, 0.004);
  }
  return out;
}

bool write(const std::string& path, const std::vector<double>& mono) {
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 2;
  info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::fprintf(stderr, "qur_sound_synth: cannot write %s: %s\n", path.c_str(),
                 sf_strerror(nullptr));
    return false;
  }
  std::vector<short> frames(mono.size() * 2);
  for (size_t i = 0; i < mono.size(); ++i) {
    const auto v = short(std::lround(std::clamp(mono[i], -1.0, 1.0) * 32767.0));
    frames[2 * i] = v;
    frames[2 * i + 1] = v;
  }
  const bool ok =
      sf_writef_short(file, frames.data(), sf_count_t(mono.size())) == sf_count_t(mono.size());
  sf_close(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  ok &= write(dir + "/beep-short-high.caf", render({{0.0, 0.09, 1320.0, 1480.0, 1.0}}, 0.09, 8.0));
  ok &= write(dir + "/beep-short-low.caf", render({{0.0, 0.09, 880.0, 780.0, 1.0}}, 0.09, 8.0));
  ok &= write(dir + "/hangup.caf",
              render({{0.0, 0.16, 620.0, 620.0, 1.0}, {0.2, 0.26, 440.0, 420.0, 1.0}}, 0.48, 2.0));
  ok &= write(dir + "/beep.caf", render({{0.0, 0.14, 700.0, 1400.0, 1.0}}, 0.14, 10.0));
  return ok ? 0 : 1;
}
