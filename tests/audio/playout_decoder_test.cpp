// The decoder playing a peer's real Opus packets by a virtual clock: gaps
// filled from redundancy or concealment, the session sounds around the
// voice, nothing allocated; and the pieces it leans on: reading redundancy
// from a packet's first bits and shortening speech by a period.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "audio/opus_decoder.h"
#include "audio/opus_packet_redundancy.h"
#include "audio/time_compression.h"
#include "codec_test_support.h"
#include "support/alloc_guard.h"

namespace qur {
namespace {

constexpr UInt64 kEpoch = 5'000'000'000;
constexpr double kFrame = 0.020;

// A vowel-like sound the codec's voice detector takes for speech (it only
// sends redundancy for speech): harmonics of a wavering 120 Hz voice shaped
// by three formants, opening and closing four times a second.
class Voice {
 public:
  std::int16_t next() {
    const double t = double(_n++) / 44100.0;
    _phase += (120.0 + 8.0 * std::sin(2 * M_PI * 5 * t)) / 44100.0;
    double v = 0;
    for (int k = 1; k <= 25; ++k) {
      double a = 0;
      for (const double formant : {700.0, 1200.0, 2500.0}) {
        const double off = (k * 120.0 - formant) / 120.0;
        a += 1.0 / (1.0 + off * off);
      }
      v += a * std::sin(2 * M_PI * k * _phase);
    }
    const double syllables = 0.3 + 0.7 * std::pow(std::sin(M_PI * 4 * t), 2);
    return std::int16_t(std::clamp(2500.0 * syllables * v, -32000.0, 32000.0));
  }

 private:
  std::uint64_t _n = 0;
  double _phase = 0;
};

// 20 ms packets of that voice from our own encoder, with redundancy when the
// link is said to lose packets.
std::vector<testing::RecordedPacket> voicePackets(double seconds, double loss) {
  auto encoder = OpusEncoder::create(testing::engineFormat(), 20);
  auto delegate = std::make_shared<testing::RecordingDelegate>();
  encoder->setDelegate(delegate);
  encoder->setLinkConditions(loss);
  AudioBufferListPtr cycle(audioBufferListCreate(2, 4, true, 441));
  Voice voice;
  encoder->startEncoding();
  for (int c = 0; c < int(seconds * 100); ++c) {
    auto* s = static_cast<std::int16_t*>(cycle->mBuffers[0].mData);
    for (int i = 0; i < 441; ++i) s[2 * i] = s[2 * i + 1] = voice.next();
    AudioTimeStamp time{};
    time.mHostTime = kEpoch + UInt64(c) * 10'000'000;
    time.mFlags = kAudioTimeStampHostTimeValid;
    OpusEncoder::receive(encoder.get(), &time, 441, cycle.get());
  }
  encoder->stopEncoding();
  return delegate->takePackets();
}

AudioBufferListPtr constantSound(std::int16_t value, UInt32 frames) {
  AudioBufferListPtr list(audioBufferListCreateForFormat(codecAudioDescription(), frames));
  std::fill_n(static_cast<std::int16_t*>(list->mBuffers[0].mData), frames * 2, value);
  return list;
}

// A peer's decoder fed on a virtual clock: packet n arrives 5 ms after it
// was made, and the output is rendered 10 ms at a time.
class Listener {
 public:
  Listener() {
    decoder = OpusDecoder::create(testing::engineFormat());
    decoder->enablePlayout();
    list.reset(audioBufferListCreate(2, 4, true, 441));
    packet = makeOpusPacket(2000);
  }

  void signal(OpusPacketKind kind, const AudioBufferList* sound) {
    opusPacketClearHeader(packet.get());
    packet->kind = kind;
    packet->audioBufferList = const_cast<AudioBufferList*>(sound);
    opusPacketBufferWrite(decoder->inputBuffer(), packet.get());
  }

  // Plays the packets (all but those in `missing`) and `tail` seconds more.
  // Allocations made in the renders are counted in `allocations`.
  std::vector<std::int16_t> hear(const std::vector<testing::RecordedPacket>& packets,
                                 const std::set<std::uint32_t>& missing, double tail = 0.5,
                                 const AudioBufferList* endSound = nullptr) {
    std::vector<std::int16_t> out;
    std::size_t next = 0;
    const double end = double(packets.size()) * kFrame + tail;
    for (double t = 0; t < end; t += 0.010) {
      for (; next < packets.size() && next * kFrame + 0.005 <= t; ++next) {
        if (missing.count(packets[next].number)) continue;
        opusPacketClearHeader(packet.get());
        packet->kind = OpusPacketKind::Audio;
        packet->packetNumber = packets[next].number;
        packet->frameCount = packets[next].frameCount;
        packet->dataLength = std::uint32_t(packets[next].data.size());
        std::copy(packets[next].data.begin(), packets[next].data.end(), packet->data);
        packet->arrivalTime = kEpoch + UInt64((next * kFrame + 0.005) * 1e9);
        opusPacketBufferWrite(decoder->inputBuffer(), packet.get());
        if (next + 1 == packets.size() && endSound) signal(OpusPacketKind::SessionEnd, endSound);
      }
      auto* s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
      std::fill_n(s, 882, std::int16_t(0));
      list->mBuffers[0].mDataByteSize = 441 * 4;
      {
        testing::AllocationGuard guard;
        OpusDecoder::render(decoder.get(), nullptr, kEpoch + UInt64(t * 1e9), 441, list.get());
        allocations += guard.allocations();
      }
      out.insert(out.end(), s, s + 882);
    }
    return out;
  }

  std::shared_ptr<OpusDecoder> decoder;
  AudioBufferListPtr list;
  OpusPacketPtr packet;
  std::size_t allocations = 0;
};

// RMS of each 10 ms cycle.
std::vector<double> cycleLevels(const std::vector<std::int16_t>& pcm) {
  std::vector<double> levels;
  for (std::size_t at = 0; at + 882 <= pcm.size(); at += 882)
    levels.push_back(testing::rms(pcm.data() + at, 882));
  return levels;
}

TEST(PlayoutDecoder, GapsAreFilledFromRedundancyOrConcealedNeverSilent) {
  struct Case {
    const char* name;
    double reportedLoss;
    std::set<std::uint32_t> missing;
    std::uint64_t recovered;
    std::uint64_t concealedAtLeast;
  };
  const std::vector<Case> cases{
      {"one packet lost, the next one carries it", 0.10, {40}, 1, 0},
      {"two in a row: the first concealed, the second rebuilt", 0.10, {40, 41}, 1, 1},
      {"no redundancy sent on a clean link: concealed", 0.0, {40}, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto packets = voicePackets(1.6, c.reportedLoss);
    ASSERT_GT(packets.size(), 70u);
    for (size_t i = 35; i < 45; ++i)
      std::printf(
          "%zu:%zu:%02x:%02x%s ", i, packets[i].data.size(), packets[i].data[0], packets[i].data[1],
          opusPacketCarriesRedundancy(packets[i].data.data(), std::uint32_t(packets[i].data.size()))
              ? "R"
              : "");
    std::printf("\n");
    Listener listener;
    const auto levels = cycleLevels(listener.hear(packets, c.missing));
    const PlayoutStatistics s = listener.decoder->playoutStatistics();
    EXPECT_EQ(s.lost, c.missing.size());
    EXPECT_EQ(s.recoveredByFec, c.recovered);
    EXPECT_GE(s.concealed, c.concealedAtLeast);
    // From when the tone is under way until it ends, no 10 ms goes quiet.
    const std::size_t from = 20, to = packets.size() * 2 - 10;
    ASSERT_LT(to, levels.size());
    const double typical = levels[(from + to) / 2];
    for (std::size_t i = from; i < to; ++i) {
      EXPECT_GT(levels[i], 0.3 * typical) << "cycle " << i;
    }
  }
}

TEST(PlayoutDecoder, StartSoundVoiceAndEndSoundInOrder) {
  const auto packets = voicePackets(0.6, 0.0);
  const auto start = constantSound(3000, 4800);
  const auto end = constantSound(-3000, 4800);
  Listener listener;
  listener.signal(OpusPacketKind::SessionStart, start.get());
  const auto pcm = listener.hear(packets, {}, 0.6, end.get());
  // Where each first shows: a run of the start level, the tone (well above
  // both levels' ripple), a run of the end level.
  auto firstRun = [&](auto inside) {
    for (std::size_t i = 0, run = 0; i < pcm.size(); i += 2) {
      run = inside(pcm[i]) ? run + 1 : 0;
      if (run == 400) return long(i / 2);
    }
    return -1L;
  };
  const long startAt = firstRun([](int v) { return std::abs(v - 3000) < 300; });
  const long endAt = firstRun([](int v) { return std::abs(v + 3000) < 300; });
  long voiceAt = -1;
  for (std::size_t i = 0; i < pcm.size() && voiceAt < 0; i += 2) {
    if (std::abs(pcm[i]) > 6000) voiceAt = long(i / 2);
  }
  ASSERT_GE(startAt, 0);
  ASSERT_GE(voiceAt, 0);
  ASSERT_GE(endAt, 0);
  EXPECT_LT(startAt, voiceAt);
  EXPECT_LT(voiceAt, endAt);
  EXPECT_EQ(listener.decoder->sessionEndsPlayed(), 1u);
  EXPECT_TRUE(listener.decoder->isDrained());
}

TEST(PlayoutDecoder, RenderingAllocatesNothing) {
  const auto packets = voicePackets(2.0, 0.10);
  const auto start = constantSound(3000, 4800);
  const auto end = constantSound(-3000, 4800);
  Listener listener;
  listener.signal(OpusPacketKind::SessionStart, start.get());
  // A gap for redundancy, two in a row for concealment, a long one for a
  // dry spell and the backlog after it.
  std::set<std::uint32_t> missing{20, 40, 41};
  for (std::uint32_t n = 60; n < 75; ++n) missing.insert(n);
  listener.hear(packets, missing, 0.5, end.get());
  EXPECT_EQ(listener.allocations, 0u);
  const PlayoutStatistics s = listener.decoder->playoutStatistics();
  EXPECT_GE(s.recoveredByFec, 2u);
  EXPECT_GE(s.concealed, 3u);
}

TEST(PlayoutDecoder, RedundancyIsReadFromTheFirstBitsOnlyOfWellFormedSpeechPackets) {
  // Real packets: none carries redundancy on a clean link; on a lossy one
  // those after the first few do.
  const auto clean = voicePackets(0.5, 0.0);
  const auto lossy = voicePackets(0.5, 0.10);
  ASSERT_GT(lossy.size(), 5u);
  for (const auto& p : clean)
    EXPECT_FALSE(opusPacketCarriesRedundancy(p.data.data(), std::uint32_t(p.data.size())));
  for (std::size_t i = 2; i < lossy.size(); ++i) {
    EXPECT_TRUE(
        opusPacketCarriesRedundancy(lossy[i].data.data(), std::uint32_t(lossy[i].data.size())))
        << "packet " << i;
  }
  const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> malformed{
      {"empty", {}},
      {"a table of contents only", {0x08}},
      {"music mode", {0xF8, 0xFF, 0xFF, 0xFF}},
      {"two frames of unequal halves", {0x09, 0xFF, 0xFF, 0xFF}},
      {"a frame length past the end", {0x0A, 0xFC, 0xFF}},
      {"no frames", {0x0B, 0x00, 0xFF}},
      {"padding past the end", {0x0B, 0x41, 0xFF, 0xFF, 0x10}},
      {"frame sizes past the end", {0x0B, 0x83, 0xFC}},
  };
  for (const auto& [name, bytes] : malformed) {
    EXPECT_FALSE(opusPacketCarriesRedundancy(bytes.data(), std::uint32_t(bytes.size()))) << name;
  }
}

TEST(TimeCompression, OnePeriodOfVoiceGoesAndNothingElse) {
  auto tone = [](double hz, std::uint32_t frames) {
    std::vector<std::int16_t> pcm(frames * 2);
    for (std::uint32_t i = 0; i < frames; ++i)
      pcm[2 * i] = pcm[2 * i + 1] = std::int16_t(8000 * std::sin(2 * M_PI * hz * i / 48000));
    return pcm;
  };
  std::vector<std::int16_t> noise(960 * 2);
  std::uint32_t state = 1;
  for (auto& v : noise) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    v = std::int16_t(int(state % 16000) - 8000);
  }
  struct Case {
    const char* name;
    std::vector<std::int16_t> pcm;
    std::uint32_t maxRemoved;
    std::uint32_t removed;
  };
  const std::vector<Case> cases{
      {"200 Hz voice: one 5 ms period", tone(200, 960), 480, 240},
      {"a cut longer than allowed is not made", tone(200, 960), 200, 0},
      {"noise has no period to give", noise, 480, 0},
      {"a frame too short for two periods", tone(200, 200), 480, 0},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    const auto frames = std::uint32_t(c.pcm.size() / 2);
    const std::uint32_t left = shortenSpeech(c.pcm.data(), frames, c.maxRemoved);
    EXPECT_EQ(frames - left, c.removed);
    // What is left runs on without a jump larger than the tone's own steps.
    if (c.removed > 0) {
      for (std::uint32_t i = 1; i < left; ++i)
        ASSERT_LT(std::abs(c.pcm[2 * i] - c.pcm[2 * (i - 1)]), 400) << "at " << i;
    }
  }
  const auto loud = tone(1000, 960);
  EXPECT_NEAR(frameLevelDb(loud.data(), 960), -12.3, 0.3);  // 8000 of 32768
  QuietDetector fresh;
  EXPECT_TRUE(fresh.isQuiet(-50)) << "near silence";
  EXPECT_FALSE(fresh.isQuiet(-40)) << "nothing louder heard yet";
  QuietDetector afterSpeech;
  EXPECT_FALSE(afterSpeech.isQuiet(-10));
  EXPECT_TRUE(afterSpeech.isQuiet(-40)) << "far below the speech just heard";
  EXPECT_FALSE(afterSpeech.isQuiet(-28)) << "loud enough to be speech whatever came before";
}

}  // namespace
}  // namespace qur
