// The capture bridge between two simulated clocks: a capture side that
// delivers fragments at its own rate (and sometimes late, or all at once after
// a stall) and cycles paced by playback requests. What the cycles get must
// keep one delay to the capture stream, whatever the clocks do.
#include "audio/engine/capture_bridge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace qur {
namespace {

constexpr double kRate = 44100;
constexpr uint32_t kCycle = 441;

// Five tones of unrelated frequencies: 10 ms of them tell which capture
// frames they are.
int16_t tone(double frame) {
  double v = 0;
  for (const double hz : {137.0, 311.0, 523.0, 877.0, 1291.0}) {
    v += 2400 * std::sin(2 * M_PI * hz * frame / kRate);
  }
  return int16_t(std::lround(v));
}

struct Scenario {
  const char* name;
  double driftPpm = 0;      // capture clock against playback clock
  uint32_t fragment = 110;  // frames per delivery
  double lateAt = -1;       // seconds: deliveries held back this long from here
  double lateFor = 0;
  double stallAt = -1;  // seconds: nothing at all (both sides) for stallFor
  double stallFor = 0;
  double jitterMs = 0;  // each delivery up to this much late, at random
  double seconds = 60;
};

struct Outcome {
  std::vector<int16_t> out;  // left channel of every cycle
  std::vector<double> time;  // when each output frame was made (s)
  double captureRate = kRate;
  uint64_t underruns = 0, dropped = 0;
  double drift = 0;
  double maxHeld = 0;
};

// Runs the bridge through the scenario on a simulated clock.
Outcome simulate(const Scenario& s) {
  CaptureBridge bridge;
  EXPECT_TRUE(bridge.setUp(2, kRate, kCycle, s.fragment));
  Outcome o;
  const double captureRate = kRate * (1 + s.driftPpm * 1e-6);
  o.captureRate = captureRate;
  const double cycleSeconds = kCycle / kRate;
  uint64_t delivered = 0;  // capture frames pushed
  std::vector<int16_t> fragment(size_t(s.fragment) * 2);
  std::vector<int16_t> cycle(kCycle * 2);
  srandom(7);
  double lateness = 0;
  const auto cycles = uint64_t(s.seconds / cycleSeconds);
  for (uint64_t c = 0; c < cycles; ++c) {
    const double now = double(c) * cycleSeconds;
    const bool stalled = s.stallAt >= 0 && now >= s.stallAt && now < s.stallAt + s.stallFor;
    if (stalled) continue;
    const bool late = s.lateAt >= 0 && now >= s.lateAt && now < s.lateAt + s.lateFor;
    // Every fragment recorded by now (and through its own lateness),
    // unless deliveries are held back.
    while (!late && double(delivered + s.fragment) / captureRate + lateness <= now) {
      for (uint32_t f = 0; f < s.fragment; ++f) {
        fragment[2 * f] = fragment[2 * f + 1] = tone(double(delivered + f));
      }
      delivered += s.fragment;
      bridge.push(fragment.data(), s.fragment, uint64_t(now * 1e9));
      lateness = s.jitterMs * 1e-3 * double(random() % 1000) / 1000;
    }
    const uint64_t ns = uint64_t(now * 1e9);
    bridge.pull(cycle.data(), kCycle, ns);
    bridge.playbackServed(ns);
    o.maxHeld = std::max(o.maxHeld, bridge.heldFrames());
    for (uint32_t f = 0; f < kCycle; ++f) {
      o.out.push_back(cycle[2 * f]);
      o.time.push_back(now + f / kRate);
    }
  }
  o.underruns = bridge.underruns();
  o.dropped = bridge.droppedFrames();
  o.drift = bridge.drift();
  return o;
}

// How many capture frames behind the capture clock output frame `at` is: the
// latency whose tone best matches 10 ms of output there.
double latencyAt(const Outcome& o, size_t at) {
  double best = -1, bestError = 1e18;
  for (double d = 0; d <= 4 * kCycle; d += 0.5) {
    double error = 0;
    for (size_t i = at; i < at + kCycle && i < o.out.size(); i += 7) {
      const double e = double(o.out[i]) - tone(o.time[i] * o.captureRate - d);
      error += e * e;
    }
    if (error < bestError) {
      bestError = error;
      best = d;
    }
  }
  return best;
}

TEST(CaptureBridge, KeepsOneDelayWhateverTheClocksDo) {
  const Scenario scenarios[] = {
      {"same clocks, small deliveries"},
      {"same clocks, a cycle per delivery", 0, kCycle},
      {"microphone 400 ppm fast", 400},
      {"microphone 400 ppm slow", -400},
      {"deliveries 25 ms late once", 0, 110, 30.0, 0.025},
      {"server stalled for 2 s", 0, 110, -1, 0, 30.0, 2.0},
      {"deliveries up to 8 ms late, at random", 0, 110, -1, 0, -1, 0, 8.0},
      {"a cycle per delivery, up to 8 ms late", 0, kCycle, -1, 0, -1, 0, 8.0},
      {"microphone 400 ppm fast, deliveries up to 8 ms late", 400, 110, -1, 0, -1, 0, 8.0},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    const Outcome o = simulate(s);
    // Once the drift is measured (in the first 20 s), the delay stays put
    // to a fraction of a millisecond: no step, no creep.
    const double settled = latencyAt(o, size_t(25 * kRate));
    const double end = latencyAt(o, o.out.size() - 2 * kCycle);
    std::printf(
        "%s: latency %.1f frames at 25 s, %.1f at the end, drift %+.0f ppm, %llu "
        "underruns, %llu dropped\n",
        s.name, settled, end, o.drift * 1e6, static_cast<unsigned long long>(o.underruns),
        static_cast<unsigned long long>(o.dropped));
    EXPECT_NEAR(end, settled, 10.0);
    // The cycle being filled, the largest delivery, half a cycle of margin
    // and how late deliveries come, give or take a little: nothing piles up.
    EXPECT_LE(settled, 3 * kCycle + s.jitterMs * 1e-3 * kRate);
    EXPECT_NEAR(o.drift * 1e6, s.driftPpm, 50.0);
    if (s.lateAt < 0 && s.stallAt < 0 && s.jitterMs == 0) {
      EXPECT_EQ(o.underruns, 0u);
      EXPECT_EQ(o.dropped, 0u);
    } else if (s.jitterMs > 0) {
      // Late deliveries may cost a few holes, never a steady stream of them.
      EXPECT_LE(o.underruns, 3u);
    } else if (s.lateAt >= 0) {
      // Only what came too late for its cycles is lost.
      EXPECT_GE(o.underruns, 1u);
      EXPECT_LE(double(o.dropped), s.lateFor * kRate + 2 * kCycle);
    } else {
      // What piled up in a stall is dropped, not heard late.
      EXPECT_GE(double(o.dropped), s.stallFor * kRate - 3 * kCycle);
    }
  }
}

}  // namespace
}  // namespace qur
