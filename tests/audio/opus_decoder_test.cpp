#include "audio/opus_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio/pcm_format_converter.h"
#include "codec_test_support.h"
#include "support/alloc_guard.h"

namespace qur {
namespace {

constexpr std::int16_t kUntouched = 0x5A5A;

// Opus packets of a tone from a plain libopus encoder, as the sender makes them.
class PacketSource {
 public:
  PacketSource() {
    int error = 0;
    _encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
    opus_encoder_ctl(_encoder, OPUS_SET_BITRATE(8192));
    opus_encoder_ctl(_encoder, OPUS_SET_COMPLEXITY(7));
  }
  ~PacketSource() { opus_encoder_destroy(_encoder); }
  void reset() { opus_encoder_ctl(_encoder, OPUS_RESET_STATE); }

  // The next 60 ms of a tone as a packet record.
  OpusPacketPtr next(std::uint32_t session, std::uint32_t number, double amplitude = 0.4,
                     double frequency = 440.0) {
    std::vector<std::int16_t> pcm(2880 * 2);
    for (int i = 0; i < 2880; ++i) {
      const double t = double(_position + i) / 48000.0;
      const auto v = std::int16_t(amplitude * 32767 * std::sin(2 * M_PI * frequency * t));
      pcm[2 * i] = pcm[2 * i + 1] = v;
    }
    _position += 2880;
    auto packet = makeOpusPacket(614);
    const int bytes = opus_encode(_encoder, pcm.data(), 2880, packet->data, 614);
    EXPECT_GT(bytes, 1);
    packet->kind = OpusPacketKind::Audio;
    packet->sessionNumber = session;
    packet->packetNumber = number;
    packet->frameCount = 2880;
    packet->dataLength = std::uint32_t(bytes);
    return packet;
  }

 private:
  ::OpusEncoder* _encoder = nullptr;
  std::uint64_t _position = 0;
};

// A sound of constant sample value, as a signal packet carries it.
AudioBufferListPtr constantSound(std::int16_t value, UInt32 frames) {
  AudioBufferListPtr list(audioBufferListCreateForFormat(codecAudioDescription(), frames));
  auto* s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
  std::fill(s, s + frames * 2, value);
  return list;
}

OpusPacketPtr signalPacket(OpusPacketKind kind, std::uint32_t session, AudioBufferList* sound) {
  auto packet = makeOpusPacket(0);
  packet->kind = kind;
  packet->sessionNumber = session;
  packet->audioBufferList = sound;
  return packet;
}

class OpusDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    decoder = OpusDecoder::create(testing::engineFormat());
    ASSERT_TRUE(decoder);
    list.reset(audioBufferListCreate(2, 4, true, 4096));
  }

  void push(const OpusPacket* packet) {
    ASSERT_TRUE(opusPacketBufferWrite(decoder->inputBuffer(), packet));
  }
  std::int32_t inputBytes() { return circularBufferFillCount(decoder->inputBuffer()); }

  // One render cycle; the list is pre-filled with a marker so that an
  // untouched (silent) cycle can be told from written audio.
  std::vector<std::int16_t> render(UInt32 frames, bool* written = nullptr) {
    auto* s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
    std::fill(s, s + frames * 2, kUntouched);
    list->mBuffers[0].mDataByteSize = frames * 4;
    EXPECT_EQ(OpusDecoder::render(decoder.get(), nullptr, frames, list.get()), noErr);
    std::vector<std::int16_t> out(s, s + frames * 2);
    const bool untouched =
        std::all_of(out.begin(), out.end(), [](auto v) { return v == kUntouched; });
    if (written) *written = !untouched;
    if (untouched) std::fill(out.begin(), out.end(), 0);  // the engine's zeroed bus
    return out;
  }

  // Renders cycles of `frames` until `count` cycles have passed.
  std::vector<std::int16_t> renderCycles(int count, UInt32 frames = 441) {
    std::vector<std::int16_t> all;
    for (int i = 0; i < count; ++i) {
      const auto cycle = render(frames);
      all.insert(all.end(), cycle.begin(), cycle.end());
    }
    return all;
  }

  std::shared_ptr<OpusDecoder> decoder;
  AudioBufferListPtr list;
  PacketSource source;
};

TEST_F(OpusDecoderTest, EmptyInputLeavesTheCycleSilentAndKeepsWhatIsStored) {
  bool written = true;
  render(512, &written);
  EXPECT_FALSE(written) << "nothing to play: the engine's zeroed buffer stays as is";

  // A twin decoder given the same packet tells how many frames one packet
  // leaves over after a one-frame request.
  auto packet = source.next(0, 0);
  auto twin = OpusDecoder::create(testing::engineFormat());
  ASSERT_TRUE(opusPacketBufferWrite(twin->inputBuffer(), packet.get()));
  AudioBufferListPtr one(audioBufferListCreate(2, 4, true, 1));
  UInt32 leftover = 0;
  OpusDecoder::render(twin.get(), nullptr, 1, one.get());
  for (;;) {
    auto* s = static_cast<std::int16_t*>(one->mBuffers[0].mData);
    s[0] = s[1] = kUntouched;
    one->mBuffers[0].mDataByteSize = 4;
    OpusDecoder::render(twin.get(), nullptr, 1, one.get());
    if (s[0] == kUntouched && s[1] == kUntouched) break;
    ++leftover;
  }
  ASSERT_GT(leftover, 1000u);

  push(packet.get());
  render(1, &written);
  ASSERT_TRUE(written);
  render(leftover + 1, &written);
  EXPECT_FALSE(written) << "more than stored and no packet: silence";
  render(leftover, &written);
  EXPECT_TRUE(written) << "the stored frames were kept for this cycle";
  render(1, &written);
  EXPECT_FALSE(written);

  // A request the output ring can serve never touches the input ring.
  push(source.next(0, 1).get());
  render(1, &written);
  push(source.next(0, 2).get());
  const std::int32_t before = inputBytes();
  render(100, &written);
  EXPECT_TRUE(written);
  EXPECT_EQ(inputBytes(), before);
}

TEST_F(OpusDecoderTest, OlderSessionPacketsAreSkippedInTheSameCycle) {
  auto quiet = constantSound(1000, 4800);
  auto loud = constantSound(12000, 4800);
  auto start1 = signalPacket(OpusPacketKind::SessionStart, 1, quiet.get());
  auto stale = signalPacket(OpusPacketKind::SessionStart, 0, loud.get());
  push(start1.get());
  push(stale.get());
  push(source.next(1, 0, 0.05).get());
  const auto pcm = renderCycles(20);
  const auto loudest = *std::max_element(pcm.begin(), pcm.end());
  EXPECT_LT(loudest, 6000) << "the session-0 sound must not play after session 1";
  EXPECT_EQ(inputBytes(), 0);
  // The quiet sound plays from the first cycles on: the stale packet cost nothing.
  EXPECT_NEAR(pcm[2 * 2000], 1000, 150);
}

TEST_F(OpusDecoderTest, SessionZeroFollowsAnEndBeforeAnyStart) {
  // A receiver that saw a stop before any start ends the all-ones session;
  // its next transmission is session 0 and must still be heard.
  auto endSound = constantSound(-3000, 480);
  auto startSound = constantSound(3000, 4800);
  auto end = signalPacket(OpusPacketKind::SessionEnd, 0xFFFFFFFFu, endSound.get());
  auto start = signalPacket(OpusPacketKind::SessionStart, 0, startSound.get());
  push(end.get());
  push(start.get());
  const auto pcm = renderCycles(20);
  std::size_t started = 0;
  for (std::size_t i = 0; i < pcm.size(); i += 2) started += std::abs(pcm[i] - 3000) < 300;
  // Most of its 4410 frames: the converter keeps its look-ahead reserve back
  // until more input comes.
  EXPECT_GT(started, 2000u) << "the session-0 start sound plays";
}

TEST_F(OpusDecoderTest, SessionEndPlaysTheWholeSoundThenStartsCleanForTheNextStream) {
  // Reference: the first packet of a stream through a fresh decoder.
  PacketSource first;
  auto p0 = first.next(1, 0);
  auto fresh = OpusDecoder::create(testing::engineFormat());
  ASSERT_TRUE(opusPacketBufferWrite(fresh->inputBuffer(), p0.get()));
  auto s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
  list->mBuffers[0].mDataByteSize = 2000 * 4;
  std::fill(s, s + 4000, 0);
  OpusDecoder::render(fresh.get(), nullptr, 2000, list.get());
  const std::vector<std::int16_t> reference(s, s + 4000);

  // A whole transmission, then the end sound, then the same first packet.
  auto startSound = constantSound(3000, 4800);
  auto endSound = constantSound(-3000, 9600);  // 200 ms
  auto start = signalPacket(OpusPacketKind::SessionStart, 0, startSound.get());
  auto end = signalPacket(OpusPacketKind::SessionEnd, 0, endSound.get());
  push(start.get());
  for (std::uint32_t n = 0; n < 5; ++n) push(source.next(0, n).get());
  push(end.get());
  const auto played = renderCycles(120);  // 1.2 s, more than everything queued
  // The whole end sound came out, 200 ms near -3000 at 44.1 kHz, up to the
  // frames its edges take to settle: the converter drained what it had read.
  std::size_t endFrames = 0;
  for (std::size_t i = 0, run = 0; i < played.size(); i += 2) {
    run = std::abs(played[i] + 3000) < 300 ? run + 1 : 0;
    endFrames = std::max(endFrames, run);
  }
  EXPECT_LE(endFrames, 8820u);
  EXPECT_GE(endFrames, 8820u - 20u);
  EXPECT_EQ(decoder->sessionEndsPlayed(), 1u);
  EXPECT_TRUE(decoder->isDrained());

  auto again = first.next(1, 0);  // replaced below with the very same bytes
  std::memcpy(again.get(), p0.get(), opusPacketSize(p0.get()));
  push(again.get());
  const auto out = render(2000);
  // Same phase, same samples; the resampler's blocks may fall elsewhere on
  // the new input, which moves its rounding by at most one step.
  ASSERT_EQ(out.size(), reference.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_NEAR(out[i], reference[i], 1) << "decoder and converter were reset by the session end";
  }
}

TEST_F(OpusDecoderTest, CorruptPacketGivesOneSilentCycleAndIsNotRetried) {
  auto bad = makeOpusPacket(64);
  bad->kind = OpusPacketKind::Audio;
  bad->dataLength = 40;
  std::memset(bad->data, 0xFF, 40);  // an invalid table-of-contents byte sequence
  auto empty = makeOpusPacket(0);
  empty->kind = OpusPacketKind::Audio;
  push(bad.get());
  push(empty.get());
  push(source.next(0, 0).get());
  bool written = true;
  render(441, &written);
  EXPECT_FALSE(written);
  render(441, &written);
  EXPECT_FALSE(written) << "an empty packet is no packet, not a cue for concealment";
  render(441, &written);
  EXPECT_TRUE(written) << "the valid packet behind them plays";
  EXPECT_EQ(inputBytes(), 0);
}

TEST_F(OpusDecoderTest, SteadyStreamPlaysWithoutGaps) {
  // Keep the input ring two packets ahead, as the receiver does.
  std::uint32_t number = 0;
  std::vector<std::int16_t> all;
  for (int cycle = 0; cycle < 300; ++cycle) {
    while (inputBytes() < 2 * opusPacketRecordSize(kOpusPacketHeaderSize + 100)) {
      push(source.next(0, number++).get());
    }
    bool written = false;
    auto out = render(441, &written);
    ASSERT_TRUE(written) << "cycle " << cycle;
    all.insert(all.end(), out.begin(), out.end());
  }
  // After the codec's start-up, every 10 ms carries the tone.
  for (std::size_t c = 0; c < 30; ++c)
    std::printf("%zu:%.0f ", c, testing::rms(all.data() + c * 882, 882));
  for (std::size_t c = 10; c < 300; ++c) {
    EXPECT_GT(testing::rms(all.data() + c * 882, 882), 2000.0) << "cycle " << c;
  }
}

TEST_F(OpusDecoderTest, RenderingAllocatesNothing) {
  auto startSound = constantSound(3000, 4800);
  auto endSound = constantSound(-3000, 4800);
  auto start = signalPacket(OpusPacketKind::SessionStart, 0, startSound.get());
  auto end = signalPacket(OpusPacketKind::SessionEnd, 0, endSound.get());
  auto stale = signalPacket(OpusPacketKind::SessionStart, 0, startSound.get());
  auto bad = makeOpusPacket(8);
  bad->dataLength = 8;
  std::memset(bad->data, 0xFF, 8);
  // Two transmissions and bad packets, all queued before the guard is armed.
  renderCycles(1);
  push(start.get());
  for (std::uint32_t n = 0; n < 6; ++n) push(source.next(0, n).get());
  push(bad.get());
  push(end.get());
  auto start2 = signalPacket(OpusPacketKind::SessionStart, 1, startSound.get());
  push(start2.get());
  push(stale.get());
  for (std::uint32_t n = 0; n < 6; ++n) push(source.next(1, n).get());
  std::uint64_t allocations = 0;
  list->mBuffers[0].mDataByteSize = 441 * 4;
  {
    testing::AllocationGuard guard;
    for (int cycle = 0; cycle < 150; ++cycle) {
      list->mBuffers[0].mDataByteSize = 441 * 4;
      OpusDecoder::render(decoder.get(), nullptr, 441, list.get());
    }
    allocations = guard.allocations();
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(inputBytes(), 0);
  EXPECT_EQ(decoder->sessionEndsPlayed(), 1u);
}

}  // namespace
}  // namespace qur
