#include "audio/engine/capture_bridge.h"

#include <algorithm>
#include <cmath>

namespace qur {
namespace {

// A second of audio: far more than the bridge ever keeps.
constexpr double kRingSeconds = 1.0;

}  // namespace

CaptureBridge::~CaptureBridge() {
  circularBufferTearDown(&_ring);
}

bool CaptureBridge::setUp(int channels, double sampleRate, uint32_t cycleFrames,
                          uint32_t fragmentFrames) {
  if (channels < 1 || sampleRate <= 0 || cycleFrames == 0) return false;
  _channels = channels;
  _rate = sampleRate;
  _cycleFrames = cycleFrames;
  _fragmentFrames = std::max<uint32_t>(fragmentFrames, 1);
  _frameBytes = uint32_t(channels) * sizeof(int16_t);
  circularBufferTearDown(&_ring);
  const auto bytes = std::int32_t(std::ceil(sampleRate * kRingSeconds) * _frameBytes);
  if (!circularBufferSetUp(&_ring, bytes)) return false;
  _history.assign(size_t(2 * channels), 0.0f);
  // Two frames of history, the frames one pull may read at the fastest
  // ratio, and the interpolator's two frames of look-ahead.
  const auto most = size_t(std::ceil(double(cycleFrames) * (1.0 + 2 * kMaxDrift))) + 4;
  _scratch.assign(most * size_t(channels), 0.0f);
  reset();
  return true;
}

void CaptureBridge::reset(bool keepDrift) {
  circularBufferDiscardAll(&_ring);
  _published.store(0, std::memory_order_relaxed);
  _sharedPushed.store(0, std::memory_order_relaxed);
  _sharedStored.store(0, std::memory_order_relaxed);
  _lastPushNs.store(0, std::memory_order_relaxed);
  _pushedTotal = 0;
  _storedTotal = 0;
  _largestPush = _largestBefore = _pushesInWindow = 0;
  _sharedLargestPush.store(0, std::memory_order_relaxed);
  _target = targetFor(_fragmentFrames);
  _primed = false;
  _owed = 0;
  _position = 1.0;
  std::fill(_history.begin(), _history.end(), 0.0f);
  _levelAverage = -1.0;
  _held = 0.0;
  _pulledTotal = 0;
  _consumedTotal = 0;
  _lastServedNs = 0;
  _fit = Fit{};
  _sampleCount = 0;
  _skipMedian = true;
  _lastUnderrunNs = 0;
  _recentUnderruns = 0;
  _lastPullShort = false;
  if (!keepDrift) {
    // A new pair of clocks: what was learnt of the old one goes.
    _drift = 0.0;
    _extraMargin = 0;
  }
  _ratio = 1.0 + _drift;
  _ratioShown.store(_ratio, std::memory_order_relaxed);
  _driftShown.store(_drift, std::memory_order_relaxed);
}

AudioDeviceStatistics CaptureBridge::statistics() const {
  AudioDeviceStatistics s;
  s.captureUnderruns = underruns();
  s.droppedCaptureFrames = droppedFrames();
  s.captureRateRatio = rateRatio();
  s.captureDrift = drift();
  return s;
}

double CaptureBridge::targetFor(uint32_t largestDelivery) const {
  // The largest delivery may be on its way while a cycle needs its frames
  // now; half a cycle more rides out a late one, and more where late ones
  // came often.
  return double(std::clamp(largestDelivery, _cycleFrames / 2, _cycleFrames)) + _cycleFrames / 2 +
         _extraMargin;
}

}  // namespace qur
