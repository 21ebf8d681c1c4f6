#include "audio/time_compression.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qur {

namespace {

// Below this a frame is quiet whatever was heard before it; above the
// second never.
constexpr double kSilenceDb = -45.0;
constexpr double kLoudDb = -30.0;
// Quiet also means this far below the speech heard lately.
constexpr double kBelowSpeechDb = 25.0;
// How fast the remembered speech level falls, per frame.
constexpr double kSpeechDecayDb = 0.1;
// Two periods must match this well to be cross-faded into one.
constexpr double kMinPeriodicity = 0.5;
constexpr std::uint32_t kDecimation = 4;

double mid(const std::int16_t* stereo, std::uint32_t i) {
  return 0.5 * (double(stereo[2 * i]) + double(stereo[2 * i + 1]));
}

}  // namespace

double frameLevelDb(const std::int16_t* stereo, std::uint32_t frames) {
  if (frames == 0) return -120.0;
  double sum = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double m = mid(stereo, i);
    sum += m * m;
  }
  const double rms = std::sqrt(sum / frames);
  return rms <= 0 ? -120.0 : std::max(-120.0, 20.0 * std::log10(rms * std::sqrt(2.0) / 32768.0));
}

bool QuietDetector::isQuiet(double levelDb) {
  _speechDb = std::max(levelDb, _speechDb - kSpeechDecayDb);
  if (levelDb < kSilenceDb) return true;
  return levelDb < kLoudDb && levelDb < _speechDb - kBelowSpeechDb;
}

std::uint32_t shortenSpeech(std::int16_t* stereo, std::uint32_t frames, std::uint32_t maxRemoved) {
  const std::uint32_t maxLag = std::min({kMaxSpeechPeriod, frames / 2, maxRemoved});
  if (maxLag < kMinSpeechPeriod) return frames;

  // Coarse search on a decimated mid signal, then around the best lag at
  // the full rate.
  float coarse[2 * kMaxSpeechPeriod / kDecimation];
  const std::uint32_t coarseCount = 2 * maxLag / kDecimation;
  for (std::uint32_t i = 0; i < coarseCount; ++i) {
    double sum = 0;
    for (std::uint32_t k = 0; k < kDecimation; ++k) sum += mid(stereo, i * kDecimation + k);
    coarse[i] = float(sum);
  }
  auto periodicity = [](auto at, std::uint32_t lag) {
    double ab = 0, aa = 0, bb = 0;
    for (std::uint32_t i = 0; i < lag; ++i) {
      const double a = at(i), b = at(i + lag);
      ab += a * b;
      aa += a * a;
      bb += b * b;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
  };
  std::uint32_t bestCoarse = kMinSpeechPeriod / kDecimation;
  double best = -2;
  for (std::uint32_t lag = kMinSpeechPeriod / kDecimation; lag <= maxLag / kDecimation; ++lag) {
    const double c = periodicity([&](std::uint32_t i) { return double(coarse[i]); }, lag);
    if (c > best) {
      best = c;
      bestCoarse = lag;
    }
  }
  std::uint32_t lag = 0;
  best = -2;
  const std::uint32_t from = std::max(kMinSpeechPeriod, bestCoarse * kDecimation - kDecimation);
  const std::uint32_t to = std::min(maxLag, bestCoarse * kDecimation + kDecimation);
  for (std::uint32_t candidate = from; candidate <= to; ++candidate) {
    const double c = periodicity([&](std::uint32_t i) { return mid(stereo, i); }, candidate);
    if (c > best) {
      best = c;
      lag = candidate;
    }
  }
  if (lag == 0 || best < kMinPeriodicity) return frames;

  for (std::uint32_t i = 0; i < lag; ++i) {
    const double w = (double(i) + 0.5) / double(lag);
    for (std::uint32_t c = 0; c < 2; ++c) {
      const double v = double(stereo[2 * i + c]) * (1 - w) + double(stereo[2 * (i + lag) + c]) * w;
      stereo[2 * i + c] = std::int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
  }
  std::memmove(stereo + 2 * lag, stereo + 4 * lag, std::size_t(frames - 2 * lag) * 4);
  return frames - lag;
}

}  // namespace qur
