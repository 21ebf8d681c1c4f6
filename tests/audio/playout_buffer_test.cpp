// The playout buffer as a unit on a virtual clock: a sender's 20 ms packets
// reach it in a pattern (steady, jittered, held up and released at once,
// reordered, doubled, thinned out, from a clock running fast or slow), and
// a player asks it for frames every 10 ms of output, as the decoder does.
#include "audio/playout_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace qur {
namespace {

constexpr double kFrame = 0.020;
constexpr std::uint32_t kFrameSamples = 960;
constexpr std::uint32_t kCycleSamples = 480;   // 10 ms of output
constexpr std::uint32_t kSoundSamples = 6720;  // a 140 ms session sound
constexpr std::uint32_t kEnd = UINT32_MAX;
constexpr UInt64 kEpoch = 1'000'000'000;  // virtual host time of t = 0

struct Arrival {
  double at;  // s
  std::uint32_t number;
};

struct Trace {
  std::vector<std::uint32_t> played;
  std::vector<std::string> sounds;  // "start" / "end", in the order played
  struct Point {
    double at;
    double delayMs;
    double targetMs;
  };
  std::vector<Point> points;  // at every decoded packet
  PlayoutStatistics statistics;
};

// Deterministic noise in [0, 1).
double noise(std::uint32_t n) {
  std::uint32_t x = n * 2654435761u + 12345u;
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  return double(x % 100000) / 100000.0;
}

// Sent every 20 ms of the sender's clock (rate: its speed against ours).
std::vector<Arrival> sent(double seconds, const std::function<double(std::uint32_t)>& delay,
                          double rate = 1.0) {
  std::vector<Arrival> out;
  for (std::uint32_t n = 0; n * kFrame < seconds; ++n) {
    out.push_back({n * kFrame / rate + delay(n), n});
  }
  return out;
}

// Plays the arrivals through a buffer: a start signal first, the end signal
// right behind the last packet. Every `quietEvery`th frame is quiet.
Trace play(std::vector<Arrival> arrivals, std::uint32_t quietEvery = 25) {
  std::stable_sort(arrivals.begin(), arrivals.end(),
                   [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
  arrivals.push_back({arrivals.back().at + 0.0001, kEnd});
  PlayoutBuffer buffer;
  OpusPacketPtr packet = makeOpusPacket(32);
  // A music-mode table-of-contents byte: no redundancy to find.
  packet->data[0] = 0xF8;
  packet->dataLength = 20;
  AudioBufferList* sound = reinterpret_cast<AudioBufferList*>(&buffer);  // never read here
  opusPacketClearHeader(packet.get());
  packet->kind = OpusPacketKind::SessionStart;
  packet->audioBufferList = sound;
  buffer.insert(packet.get());

  Trace trace;
  double queued = 0;
  std::size_t next = 0;
  const double end = arrivals.back().at + 2.0;
  for (double t = 0; t < end; t += 0.010) {
    for (; next < arrivals.size() && arrivals[next].at <= t; ++next) {
      opusPacketClearHeader(packet.get());
      packet->arrivalTime = kEpoch + UInt64(arrivals[next].at * 1e9);
      if (arrivals[next].number == kEnd) {
        packet->kind = OpusPacketKind::SessionEnd;
        packet->audioBufferList = sound;
      } else {
        packet->kind = OpusPacketKind::Audio;
        packet->packetNumber = arrivals[next].number;
        packet->frameCount = kFrameSamples;
        packet->dataLength = 20;
      }
      buffer.insert(packet.get());
    }
    while (queued < kCycleSamples) {
      const double heardAt = t + queued / 48000.0;
      const PlayoutStep step = buffer.next(kEpoch + UInt64(heardAt * 1e9));
      if (step.action == PlayoutAction::Wait) break;
      PlayoutOutcome outcome;
      switch (step.action) {
        case PlayoutAction::StartSound:
        case PlayoutAction::EndSound:
          trace.sounds.push_back(step.action == PlayoutAction::StartSound ? "start" : "end");
          queued += kSoundSamples;
          break;
        case PlayoutAction::Decode: {
          const std::uint32_t n = step.packet->packetNumber;
          outcome.quiet = n % quietEvery == 0;
          // A voiced frame gives up one 5 ms period when catching up allows it.
          if (!outcome.quiet && step.maxShortening >= 240) outcome.removed = 240;
          outcome.dropped = step.dropIfQuiet && outcome.quiet;
          if (!outcome.dropped) queued += step.frames - outcome.removed;
          trace.played.push_back(n);
          const PlayoutStatistics s = buffer.statistics();
          trace.points.push_back({heardAt, s.delayMs, s.targetMs});
          break;
        }
        default:
          queued += step.frames;
          break;
      }
      buffer.completed(step, outcome);
    }
    queued = std::max(0.0, queued - kCycleSamples);
  }
  trace.statistics = buffer.statistics();
  return trace;
}

// Seconds from `from` until the delay is back within `withinMs` of target
// for good; infinity when it never is.
double settledAfter(const Trace& trace, double from, double withinMs) {
  double settled = INFINITY;
  for (auto it = trace.points.rbegin(); it != trace.points.rend(); ++it) {
    if (it->at < from) break;
    if (std::fabs(it->delayMs - it->targetMs) > withinMs) break;
    settled = it->at - from;
  }
  return settled;
}

struct Case {
  const char* name;
  std::vector<Arrival> arrivals;
  double minTargetMs, maxTargetMs;
  std::uint64_t maxLost;  // turns passed without their packet
  std::uint64_t duplicates;
  // After this, until the end, the delay stays near target; a stall's burst
  // must be caught up within a second of it.
  double settledBy;
  double burstAt = -1;
};

TEST(PlayoutBuffer, ArrivalPatterns) {
  const double kBase = 0.005;
  std::vector<Case> cases;
  cases.push_back({"steady", sent(10, [&](std::uint32_t) { return kBase; }), 20, 22, 0, 0, 1.0});
  cases.push_back({"jitter of 0 to 40 ms",
                   sent(10, [&](std::uint32_t n) { return kBase + 0.040 * noise(n); }), 50, 65, 25,
                   0, 2.0});
  {
    // The link holds everything sent from 3.0 s to 3.5 s and then lets it
    // through at once.
    auto arrivals = sent(10, [&](std::uint32_t n) {
      const double at = n * kFrame;
      return at >= 3.0 && at < 3.5 ? 3.5 + kBase - at : kBase;
    });
    cases.push_back({"burst after a stall", arrivals, 20, 25, 30, 0, 4.5, 3.5});
  }
  {
    // The same half second lost outright, as datagrams would be.
    auto arrivals = sent(10, [&](std::uint32_t) { return kBase; });
    std::erase_if(arrivals, [](const Arrival& a) { return a.at >= 3.0 && a.at < 3.5; });
    cases.push_back({"half a second lost", arrivals, 20, 25, 30, 0, 4.5, 3.5});
  }
  cases.push_back({"every tenth packet overtaken",
                   sent(10, [&](std::uint32_t n) { return kBase + (n % 10 == 5 ? 0.030 : 0); }), 20,
                   55, 15, 0, 2.0});
  {
    auto arrivals = sent(10, [&](std::uint32_t) { return kBase; });
    const auto count = arrivals.size();
    for (std::size_t i = 0; i < count; i += 5)
      arrivals.push_back({arrivals[i].at + 0.003, arrivals[i].number});
    cases.push_back({"every fifth packet twice", arrivals, 20, 22, 0, 100, 1.0});
  }
  {
    auto arrivals = sent(10, [&](std::uint32_t) { return kBase; });
    std::erase_if(arrivals, [](const Arrival& a) { return a.number % 20 == 7; });
    cases.push_back({"every twentieth packet lost", arrivals, 20, 22, 26, 0, 1.0});
  }
  cases.push_back({"sender clock 0.1 % fast",
                   sent(
                       60, [&](std::uint32_t) { return kBase; }, 1.001),
                   20, 25, 0, 0, 1.0});
  cases.push_back({"sender clock 0.1 % slow",
                   sent(
                       60, [&](std::uint32_t) { return kBase; }, 0.999),
                   20, 25, 0, 0, 1.0});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Trace trace = play(c.arrivals);
    const auto& s = trace.statistics;
    // No frame twice, none out of order.
    for (std::size_t i = 1; i < trace.played.size(); ++i) {
      ASSERT_LT(trace.played[i - 1], trace.played[i]) << "at " << i;
    }
    EXPECT_EQ(trace.sounds, (std::vector<std::string>{"start", "end"}));
    EXPECT_GE(s.targetMs, c.minTargetMs);
    EXPECT_LE(s.targetMs, c.maxTargetMs);
    EXPECT_LE(s.lost, c.maxLost);
    EXPECT_EQ(s.duplicates, c.duplicates);
    // Every packet that arrived in time is heard (or was a quiet one dropped).
    std::set<std::uint32_t> distinct;
    for (const auto& a : c.arrivals) distinct.insert(a.number);
    EXPECT_GE(trace.played.size() + s.lost, distinct.size() * 95 / 100);
    if (c.burstAt >= 0) {
      EXPECT_LE(settledAfter(trace, c.burstAt, 30), 1.0) << "the stall is caught up within 1 s";
    }
    EXPECT_LE(settledAfter(trace, c.settledBy, 30), 0.1)
        << "delay near target after " << c.settledBy << " s";
  }
}

}  // namespace
}  // namespace qur
