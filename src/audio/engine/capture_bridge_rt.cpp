// Both ends of the capture bridge: no allocation, no lock, no system call.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/engine/capture_bridge.h"

namespace qur {
namespace {

// The level is averaged over about 2.5 s of cycles, and a level error
// beyond half a cycle is worked off over 20 s: the ratio then moves so
// slowly that the echo canceller sees a steady path, not a wobbling delay,
// and within half a cycle the level is left alone (the drift that piled it
// up is measured out by then).
constexpr double kLevelSmoothing = 1.0 / 256;
constexpr double kLevelCorrectionSeconds = 20.0;
// At most this much of the ratio corrects the level: the rest is the
// measured drift, so the ratio never swings.
constexpr double kMaxLevelCorrection = 100e-6;
// Cycles of silence owed before a late capture stream counts as stalled.
constexpr uint32_t kMostOwedCycles = 10;
// This many late deliveries, each within 2 s of the last, raise the level.
constexpr int kCloseUnderruns = 3;
constexpr uint64_t kCloseUnderrunsNs = 2'000'000'000;
// Pushes per window of the largest-delivery measure.
constexpr uint32_t kPushWindow = 200;
// The drift fit takes one point a second and forgets with a time constant
// of 60 points. From 8 points on, its slope is the drift where it stands out
// of the points' scatter (4 standard errors, and never less than 40 ppm);
// three points in a row off its line start it over.
constexpr double kFitForgetting = 1.0 - 1.0 / 60;
constexpr int kSettledPoints = 8;
constexpr double kSignificance = 4.0;
constexpr double kLeastUncertainty = 10e-6;
constexpr int kStepPoints = 3;
// A gap this long between cycles is a stall: the clocks are measured anew.
constexpr uint64_t kStallNs = 200'000'000;

}  // namespace

void CaptureBridge::push(const int16_t* samples, uint32_t frames, uint64_t nowNs) {
  if (frames == 0) return;
  const auto bytes = std::int32_t(frames * _frameBytes);
  std::int32_t space = 0;
  if (void* at = circularBufferWritePointerFor(&_ring, bytes, &space)) {
    if (samples) {
      std::memcpy(at, samples, size_t(bytes));
    } else {
      std::memset(at, 0, size_t(bytes));
    }
    circularBufferProduce(&_ring, bytes);
    _storedTotal += frames;
  } else {
    _dropped.fetch_add(frames, std::memory_order_relaxed);
  }
  // Frames that found no room were still recorded: the clock counts them.
  _pushedTotal += frames;
  _largestPush = std::max(_largestPush, frames);
  if (++_pushesInWindow == kPushWindow) {
    _largestBefore = _largestPush;
    _largestPush = 0;
    _pushesInWindow = 0;
  }
  _sharedLargestPush.store(std::max(_largestPush, _largestBefore), std::memory_order_relaxed);
  const uint32_t sequence = _published.load(std::memory_order_relaxed);
  _published.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  _sharedPushed.store(_pushedTotal, std::memory_order_relaxed);
  _sharedStored.store(_storedTotal, std::memory_order_relaxed);
  _lastPushNs.store(nowNs, std::memory_order_relaxed);
  _published.store(sequence + 2, std::memory_order_release);
}

void CaptureBridge::readPushes(uint64_t* pushed, uint64_t* stored, uint64_t* atNs) const {
  // A few tries at most: a push in between costs one fragment of accuracy
  // once, waiting for it could cost the cycle.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const uint32_t before = _published.load(std::memory_order_acquire);
    *pushed = _sharedPushed.load(std::memory_order_relaxed);
    *stored = _sharedStored.load(std::memory_order_relaxed);
    *atNs = _lastPushNs.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1) == 0 && _published.load(std::memory_order_relaxed) == before) return;
  }
}

double CaptureBridge::inFlight(uint64_t pushedAt, uint64_t nowNs) const {
  // The part of the next delivery that has been recorded but not delivered.
  if (pushedAt == 0 || nowNs <= pushedAt) return 0.0;
  return std::min(double(nowNs - pushedAt) * 1e-9 * _rate, double(_fragmentFrames));
}

bool CaptureBridge::pull(int16_t* out, uint32_t frames, uint64_t nowNs) {
  frames = std::min(frames, _cycleFrames);
  _pulledTotal += frames;
  const auto silence = [&] {
    std::memset(out, 0, size_t(frames) * _frameBytes);
    return false;
  };
  std::int32_t availableBytes = 0;
  circularBufferReadPointer(&_ring, &availableBytes);
  auto available = uint32_t(availableBytes) / _frameBytes;
  if (_owed > 0 && available > 0) {
    // Audio that arrived for cycles already given silence: late is lost.
    const uint32_t late = std::min(_owed, available);
    circularBufferConsume(&_ring, std::int32_t(late * _frameBytes));
    _consumedTotal += late;
    _dropped.fetch_add(late, std::memory_order_relaxed);
    available -= late;
    _owed -= late;
  }
  const auto needed = uint32_t(std::floor(_position + double(frames - 1) * _ratio)) + 1;
  const double end = _position + double(frames) * _ratio;
  const auto used = uint32_t(std::floor(end)) - 1;
  if (!_primed) {
    uint64_t pushed = 0, stored = 0, pushedAt = 0;
    readPushes(&pushed, &stored, &pushedAt);
    _target = targetFor(_sharedLargestPush.load(std::memory_order_relaxed));
    // The level is what remains after a pull: this one must leave the
    // target, no more (nothing has been handed on yet, so nothing is cut).
    const double level =
        double(stored - std::min(stored, _consumedTotal)) + inFlight(pushedAt, nowNs);
    if (level < _target + frames || available < needed) return silence();
    const auto surplus = std::min(available - needed, uint32_t(level - _target - double(frames)));
    circularBufferConsume(&_ring, std::int32_t(surplus * _frameBytes));
    _consumedTotal += surplus;
    available -= surplus;
    _primed = true;
    _levelAverage = -1.0;
  } else if (available < needed) {
    // Too little came. The cycle gets silence, and what it would have taken
    // is skipped (what is here now, the rest once it arrives), so that
    // everything after the gap keeps its place in time: the echo canceller
    // sees a hole, not a new delay.
    _underruns.fetch_add(1, std::memory_order_relaxed);
    const uint32_t here = std::min(available, used);
    circularBufferConsume(&_ring, std::int32_t(here * _frameBytes));
    _consumedTotal += here;
    _dropped.fetch_add(here, std::memory_order_relaxed);
    _owed += used - here;
    _position = end - double(used);
    // Underruns close together mean the level is too low for how this
    // stream delivers: a higher one costs one jump now, not one a second.
    // Owing more than a tenth of a second, the stream has stalled. Either
    // way the bridge starts over from a full level.
    // (Underruns in cycles one after another are one late delivery.)
    if (!_lastPullShort) {
      _recentUnderruns = nowNs - _lastUnderrunNs < kCloseUnderrunsNs ? _recentUnderruns + 1 : 1;
    }
    _lastUnderrunNs = nowNs;
    _lastPullShort = true;
    if (_recentUnderruns >= kCloseUnderruns && _extraMargin < 2 * _cycleFrames) {
      _extraMargin += _cycleFrames / 2;
      _recentUnderruns = 0;
      _primed = false;
    }
    if (!_primed || _owed > kMostOwedCycles * _cycleFrames) {
      _owed = 0;
      _primed = false;
    }
    return silence();
  }
  _lastPullShort = false;
  interpolate(out, frames, needed);
  circularBufferConsume(&_ring, std::int32_t(used * _frameBytes));
  _consumedTotal += used;
  _position = end - double(used);
  std::copy_n(_scratch.begin() + ptrdiff_t(used) * _channels, 2 * _channels, _history.begin());
  _held = double(available - used) + 1.0;
  return true;
}

void CaptureBridge::playbackServed(uint64_t nowNs, double bufferedFrames) {
  uint64_t pushed = 0, stored = 0, pushedAt = 0;
  readPushes(&pushed, &stored, &pushedAt);
  const double late = inFlight(pushedAt, nowNs);
  if (_lastServedNs != 0 && nowNs - _lastServedNs > kStallNs) {
    _sampleCount = 0;
    _skipMedian = true;
  }
  _lastServedNs = nowNs;
  sampleClocks(double(pushed) + (bufferedFrames >= 0 ? bufferedFrames : late));
  if (!_primed) return;

  std::int32_t availableBytes = 0;
  circularBufferReadPointer(&_ring, &availableBytes);
  const auto left = uint32_t(availableBytes) / _frameBytes;
  if (double(left) > _target + double(_cycleFrames)) {
    // A backlog (the capture side caught up after a stall): what is more
    // than the level would only make everything later from now on.
    const auto excess = uint32_t(double(left) - _target);
    circularBufferConsume(&_ring, std::int32_t(excess * _frameBytes));
    _consumedTotal += excess;
    _dropped.fetch_add(excess, std::memory_order_relaxed);
    _held = std::max(1.0, _held - double(excess));
    _levelAverage = -1.0;
  }
  steer(double(stored - std::min(stored, _consumedTotal)) + late);
}

void CaptureBridge::sampleClocks(double capturedFrames) {
  const double x = double(_pulledTotal);
  _samples[_sampleCount++] = capturedFrames - x;
  if (_sampleCount < kPointsPerMedian) return;
  _sampleCount = 0;
  double* middle = _samples + kPointsPerMedian / 2;
  std::nth_element(_samples, middle, _samples + kPointsPerMedian);
  // The first second after a start or a stall holds its settling.
  if (_skipMedian) {
    _skipMedian = false;
    return;
  }
  fitDrift(x, *middle);
}

void CaptureBridge::fitDrift(double x, double y) {
  Fit& f = _fit;
  if (f.points >= kSettledPoints) {
    const double denominator = f.weight * f.xx - f.x * f.x;
    const double slope = denominator > 0 ? (f.weight * f.xy - f.x * f.y) / denominator : 0.0;
    const double predicted = f.originY + f.y / f.weight + slope * (x - f.originX - f.x / f.weight);
    if (std::abs(y - predicted) > double(_cycleFrames) / 4) {
      // Seconds in a row off the line are a step (audio lost on one side):
      // the fit starts over from here, the drift found so far stays.
      if (++f.outliers < kStepPoints) return;
      f = Fit{};
    } else {
      f.outliers = 0;
    }
  }
  if (f.firstX < 0) {
    f.firstX = f.originX = x;
    f.originY = y;
  }
  // Sums are kept around a recent origin, so that they stay exact.
  if (const double a = x - f.originX; a > 2e6) {
    const double b = y - f.originY;
    f.xy += a * b * f.weight - b * f.x - a * f.y;
    f.xx += a * a * f.weight - 2 * a * f.x;
    f.yy += b * b * f.weight - 2 * b * f.y;
    f.x -= a * f.weight;
    f.y -= b * f.weight;
    f.originX = x;
    f.originY = y;
  }
  const double rx = x - f.originX, ry = y - f.originY;
  f.weight = f.weight * kFitForgetting + 1;
  f.x = f.x * kFitForgetting + rx;
  f.y = f.y * kFitForgetting + ry;
  f.xx = f.xx * kFitForgetting + rx * rx;
  f.xy = f.xy * kFitForgetting + rx * ry;
  f.yy = f.yy * kFitForgetting + ry * ry;
  ++f.points;
  if (f.points < kSettledPoints) return;
  // Centred sums: the slope, and how far the points scatter about the line.
  const double sxx = f.xx - f.x * f.x / f.weight;
  const double sxy = f.xy - f.x * f.y / f.weight;
  const double syy = f.yy - f.y * f.y / f.weight;
  if (sxx <= 0) return;
  const double slope = sxy / sxx;
  const double scatter = std::max(0.0, syy - slope * sxy) / std::max(1.0, f.weight - 2);
  const double uncertainty = std::sqrt(scatter / sxx);
  // The buffering on either side wanders by a millisecond or so over
  // seconds; a slope that wander could make is not taken for drift.
  _drift = std::abs(slope) >= kSignificance * std::max(uncertainty, kLeastUncertainty)
               ? std::clamp(slope, -kMaxDrift, kMaxDrift)
               : 0.0;
  _driftShown.store(_drift, std::memory_order_relaxed);
}

void CaptureBridge::steer(double level) {
  _levelAverage =
      _levelAverage < 0 ? level : _levelAverage + kLevelSmoothing * (level - _levelAverage);
  const double error = _levelAverage - _target;
  const double beyond = std::max(0.0, std::abs(error) - _cycleFrames / 2.0);
  const double correction =
      std::clamp(std::copysign(beyond, error) / (kLevelCorrectionSeconds * _rate),
                 -kMaxLevelCorrection, kMaxLevelCorrection);
  _ratio = 1.0 + std::clamp(_drift + correction, -2 * kMaxDrift, 2 * kMaxDrift);
  _ratioShown.store(_ratio, std::memory_order_relaxed);
}

// Catmull-Rom between the two frames around each output position; at a
// whole position it returns that frame exactly.
void CaptureBridge::interpolate(int16_t* out, uint32_t frames, uint32_t ringFrames) {
  const size_t channels = size_t(_channels);
  std::copy(_history.begin(), _history.end(), _scratch.begin());
  std::int32_t availableBytes = 0;
  const auto* ring =
      static_cast<const int16_t*>(circularBufferReadPointer(&_ring, &availableBytes));
  float* tail = _scratch.data() + 2 * channels;
  for (size_t i = 0; i < size_t(ringFrames) * channels; ++i) tail[i] = float(ring[i]);
  for (uint32_t j = 0; j < frames; ++j) {
    const double position = _position + double(j) * _ratio;
    const auto index = size_t(position);
    const float t = float(position - double(index));
    const float* p = _scratch.data() + (index - 1) * channels;
    for (size_t c = 0; c < channels; ++c) {
      const float x0 = p[c], x1 = p[channels + c], x2 = p[2 * channels + c],
                  x3 = p[3 * channels + c];
      const float v =
          x1 + 0.5f * t *
                   (x2 - x0 + t * (2 * x0 - 5 * x1 + 4 * x2 - x3 + t * (3 * (x1 - x2) + x3 - x0)));
      out[size_t(j) * channels + c] = int16_t(std::lround(std::clamp(v, -32768.0f, 32767.0f)));
    }
  }
}

}  // namespace qur
