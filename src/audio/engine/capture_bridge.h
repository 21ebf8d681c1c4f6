// Carries microphone audio from a capture stream to the cycles, which the
// playback stream paces. The two ends run on clocks of their own (a USB
// microphone beside built-in speakers drifts by hundreds of ppm), and the
// capture side delivers whole fragments at moments of its own choosing. So
// the bridge
//   - holds about one fragment plus a margin, and starts handing audio on
//     only once that much is there (until then, and after an underrun, the
//     cycles get silence);
//   - measures how many frames it holds, counting the part of the next
//     fragment already recorded but not yet delivered, and resamples the
//     capture stream by a ratio a slow control loop steers so that this
//     level stays put: the capture clock's drift is taken out before the echo
//     canceller ever sees it, and a drift never piles up as latency;
//   - drops a backlog beyond one cycle over its level (after a stall), so
//     that the microphone is never heard late.
// With no drift the ratio stays at exactly 1 and frames pass unchanged, one
// frame late (the interpolator's look-back).
//
// One producer (the capture stream's thread) and one consumer (the cycle's
// thread); they may be the same thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/circular_buffer.h"
#include "audio/engine/audio_device.h"

namespace qur {

class CaptureBridge {
 public:
  // The widest clock difference followed; larger ones are bad timing, not drift.
  static constexpr double kMaxDrift = 0.002;

  CaptureBridge() = default;
  ~CaptureBridge();
  CaptureBridge(const CaptureBridge&) = delete;
  CaptureBridge& operator=(const CaptureBridge&) = delete;

  // Not on the audio thread. `fragmentFrames` is how much the capture stream
  // delivers at a time; `cycleFrames` what every pull() asks for.
  bool setUp(int channels, double sampleRate, uint32_t cycleFrames, uint32_t fragmentFrames);
  // While neither side runs: empties the bridge and forgets the drift
  // unless `keepDrift` (the same two clocks go on after a pause).
  void reset(bool keepDrift = false);

  // Capture side; allocation- and lock-free. `samples` null is a hole in
  // the stream (silence). `nowNs` is steady_clock nanoseconds.
  void push(const int16_t* samples, uint32_t frames, uint64_t nowNs);

  // Cycle side; allocation- and lock-free. Fills `frames` (at most the
  // cycle) frames; false when it had no microphone audio to give (priming
  // or an underrun), and `out` is silence then.
  bool pull(int16_t* out, uint32_t frames, uint64_t nowNs);
  // Cycle side, after the cycles one playback request asked for (when the
  // playback buffer is full again): measures the two clocks against each
  // other, drops a backlog and steers the level. `bufferedFrames` is what
  // the device reports as recorded but not yet delivered plus written but
  // not yet played; negative when it cannot tell, and the bridge then
  // estimates the capture side from the time since the last delivery.
  void playbackServed(uint64_t nowNs, double bufferedFrames = -1);
  // Cycle side: frames waiting for later cycles, the latency the bridge adds.
  double heldFrames() const { return _held; }

  // Any thread.
  // Capture frames taken per frame handed on: 1 + the capture clock's
  // drift, plus a small correction that brings the level back.
  double rateRatio() const { return _ratioShown.load(std::memory_order_relaxed); }
  // The capture clock's drift against the playback clock as measured (0
  // until two seconds of cycles have been seen).
  double drift() const { return _driftShown.load(std::memory_order_relaxed); }
  // Pulls that found too little audio after the bridge had started.
  uint64_t underruns() const { return _underruns.load(std::memory_order_relaxed); }
  // Frames thrown away: a backlog beyond one cycle, or a full bridge.
  uint64_t droppedFrames() const { return _dropped.load(std::memory_order_relaxed); }
  // The bridge's counters and clock figures (the stream counters are left 0).
  AudioDeviceStatistics statistics() const;
  // The level the control loop keeps, in frames: the largest delivery of
  // late, plus a margin for delivery jitter.
  double targetFrames() const { return _target; }

 private:
  // How far the frames recorded run ahead of the frames played, taken once
  // per playback request: its median over a second is one point of an
  // exponentially weighted straight-line fit against the frames handed on,
  // whose slope is the capture clock's drift. Medians and the fit's own
  // outlier test keep out what is not the clocks: playback requests that
  // bunch up for a while under load, a burst after a stall.
  static constexpr int kPointsPerMedian = 100;
  struct Fit {
    double weight = 0, x = 0, y = 0, xx = 0, xy = 0, yy = 0;  // around the origin
    double originX = 0, originY = 0;
    double firstX = -1;
    int points = 0;
    int outliers = 0;  // in a row
  };
  // Cycle side: the capture frames delivered so far and when the last came.
  void readPushes(uint64_t* pushed, uint64_t* stored, uint64_t* atNs) const;
  double inFlight(uint64_t pushedAt, uint64_t nowNs) const;
  void sampleClocks(double capturedFrames);
  void fitDrift(double x, double y);
  double targetFor(uint32_t largestDelivery) const;
  void steer(double level);
  void interpolate(int16_t* out, uint32_t frames, uint32_t ringFrames);

  int _channels = 2;
  double _rate = 44100;
  uint32_t _cycleFrames = 0;
  uint32_t _fragmentFrames = 0;
  uint32_t _frameBytes = 4;
  double _target = 0;
  CircularBuffer _ring;

  // Capture side, and what it publishes to the cycle side (a sequence lock:
  // odd while the two values change).
  uint64_t _pushedTotal = 0;  // frames delivered, dropped ones included
  uint64_t _storedTotal = 0;  // frames put into the ring
  uint32_t _largestPush = 0;  // in this window of pushes, and the last one
  uint32_t _largestBefore = 0;
  uint32_t _pushesInWindow = 0;
  std::atomic<uint32_t> _published{0};
  std::atomic<uint64_t> _sharedPushed{0};
  std::atomic<uint64_t> _sharedStored{0};
  std::atomic<uint64_t> _lastPushNs{0};
  std::atomic<uint32_t> _sharedLargestPush{0};

  // Cycle side.
  bool _primed = false;
  uint32_t _owed = 0;         // frames of cycles given silence, to skip when they come
  uint32_t _extraMargin = 0;  // raised by underruns that come close together
  uint64_t _lastUnderrunNs = 0;
  int _recentUnderruns = 0;
  bool _lastPullShort = false;
  double _position = 1.0;       // in _scratch, of the next output frame
  std::vector<float> _history;  // the two frames before the ring's first
  std::vector<float> _scratch;  // history + the frames of one pull
  double _ratio = 1.0;
  double _drift = 0.0;
  double _levelAverage = -1.0;
  double _held = 0.0;
  uint64_t _pulledTotal = 0;    // frames handed on, silence included
  uint64_t _consumedTotal = 0;  // ring frames used or dropped
  uint64_t _lastServedNs = 0;
  Fit _fit;
  double _samples[kPointsPerMedian] = {};
  int _sampleCount = 0;
  bool _skipMedian = true;  // the first second after a (re)start

  std::atomic<double> _ratioShown{1.0};
  std::atomic<double> _driftShown{0.0};
  std::atomic<uint64_t> _underruns{0};
  std::atomic<uint64_t> _dropped{0};
};

}  // namespace qur
