// The receive-side reserve: which records reach the decoder's ring, and when.
// The decoder is real; the test reads its input ring the way the render
// callback would.
#include "app/opus_stream_receiver.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "app/opus_streamer.h"
#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "audio/opus_packet.h"
#include "support/log_capture.h"
#include "support/wire_test_support.h"
#include "wire/wire_message_stream.h"

namespace qur {
namespace {

struct Released {
  OpusPacketKind kind;
  std::uint32_t session;
  std::uint32_t number;
  const AudioBufferList* sound;
  bool operator==(const Released&) const = default;
};

std::string describe(const std::vector<Released>& records) {
  std::string text;
  for (const auto& r : records) {
    switch (r.kind) {
      case OpusPacketKind::SessionStart:
        text += "S";
        break;
      case OpusPacketKind::SessionEnd:
        text += "E";
        break;
      default:
        text += "a" + std::to_string(r.number);
        break;
    }
    text += "/" + std::to_string(r.session) + " ";
  }
  return text;
}

class OpusStreamReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startSound.reset(audioBufferListCreateForFormat(codecAudioDescription(), 480));
    endSound.reset(audioBufferListCreateForFormat(codecAudioDescription(), 480));
    decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    ASSERT_TRUE(decoder);
    receiver = OpusStreamReceiver::create(decoder, nullptr, startSound.get(), endSound.get());
    ASSERT_TRUE(receiver);
    packet = makeOpusPacket(200000);
  }

  void start() { receiver->receivedStreamStatus(static_cast<int>(StreamStatus::Started)); }
  void stop() { receiver->receivedStreamStatus(static_cast<int>(StreamStatus::Stopped)); }

  void audio(std::uint32_t number, std::uint32_t session = 0, std::uint32_t bytes = 40) {
    opusPacketClearHeader(packet.get());
    packet->kind = OpusPacketKind::Audio;
    packet->sessionNumber = session;
    packet->packetNumber = number;
    packet->frameCount = 2880;
    packet->dataLength = bytes;
    for (std::uint32_t i = 0; i < bytes && i < 64; ++i) packet->data[i] = std::uint8_t(number + i);
    receiver->feedOpusPacket(packet.get());
  }

  // Everything released to the decoder since the last call, oldest first.
  std::vector<Released> released() {
    std::vector<Released> out;
    CircularBuffer* ring = decoder->inputBuffer();
    while (const OpusPacket* p = opusPacketBufferPeek(ring)) {
      out.push_back({p->kind, p->sessionNumber, p->packetNumber, p->audioBufferList});
      if (p->kind == OpusPacketKind::Audio) {
        EXPECT_EQ(p->dataLength, 40u);
        EXPECT_EQ(p->data[0], std::uint8_t(p->packetNumber)) << "payload copied intact";
      }
      opusPacketBufferConsume(ring);
    }
    return out;
  }

  Released S(std::uint32_t session) {
    return {OpusPacketKind::SessionStart, session, 0, startSound.get()};
  }
  Released E(std::uint32_t session) {
    return {OpusPacketKind::SessionEnd, session, 0, endSound.get()};
  }
  static Released A(std::uint32_t number, std::uint32_t session = 0) {
    return {OpusPacketKind::Audio, session, number, nullptr};
  }

  AudioBufferListPtr startSound;
  AudioBufferListPtr endSound;
  std::shared_ptr<OpusDecoder> decoder;
  std::shared_ptr<OpusStreamReceiver> receiver;
  OpusPacketPtr packet;
};

TEST_F(OpusStreamReceiverTest, NormalTransmissionKeepsTwoInReserveAndDrainsAtStop) {
  testing::LogCapture log;
  start();
  EXPECT_TRUE(released().empty());
  audio(0);
  EXPECT_TRUE(released().empty()) << "two held: still building the reserve";
  audio(1);
  EXPECT_EQ(released(), std::vector<Released>{S(0)}) << "the third arrival releases the first";
  for (std::uint32_t n = 2; n < 6; ++n) {
    audio(n);
    EXPECT_EQ(released(), std::vector<Released>{A(n - 2)}) << "one out per arrival";
    EXPECT_EQ(receiver->packetsInBuffer(), 2);
  }
  stop();
  EXPECT_EQ(released(), (std::vector<Released>{A(4), A(5), E(0)}));
  EXPECT_EQ(receiver->packetsInBuffer(), 0);
  EXPECT_EQ(log.count("Buffer underflow"), 0);
}

TEST_F(OpusStreamReceiverTest, ShortTransmissions) {
  start();
  stop();
  auto got = released();
  EXPECT_EQ(got, (std::vector<Released>{S(0), E(0)})) << describe(got);

  start();
  audio(0, 1);
  EXPECT_TRUE(released().empty());
  stop();
  got = released();
  EXPECT_EQ(got, (std::vector<Released>{S(1), A(0, 1), E(1)})) << describe(got);
  EXPECT_EQ(receiver->currentSessionNumber(), 1u);
}

TEST_F(OpusStreamReceiverTest, StopBeforeAnyStartUsesTheAllOnesSessionAndDrainsEverything) {
  audio(0, 5);
  audio(1, 5);
  stop();
  // Released under the receiver's own count, whatever the sender stamped.
  auto got = released();
  EXPECT_EQ(got, (std::vector<Released>{A(0, 0xFFFFFFFFu), A(1, 0xFFFFFFFFu), E(0xFFFFFFFFu)}))
      << describe(got);
  start();
  EXPECT_EQ(receiver->currentSessionNumber(), 0u) << "the next start wraps to 0";
}

TEST_F(OpusStreamReceiverTest, ArrivalAfterTheDrainIsReleasedAtOnceWithUnderflowLine) {
  start();
  audio(0);
  audio(1);
  audio(2);
  stop();
  released();
  testing::LogCapture log;
  audio(3);
  EXPECT_EQ(released(), std::vector<Released>{A(3)});
  EXPECT_EQ(log.count("Buffer underflow: Now in session 0, 1 in buffer"), 1);

  // A new start builds the reserve again, without underflow lines.
  log.clear();
  start();
  audio(0, 1);
  EXPECT_TRUE(released().empty());
  audio(1, 1);
  EXPECT_EQ(released(), std::vector<Released>{S(1)});
  EXPECT_EQ(log.count("Buffer underflow"), 0);
}

TEST_F(OpusStreamReceiverTest, UnderflowWhileStreamingWhenArrivalsLag) {
  start();
  for (std::uint32_t n = 0; n < 4; ++n) audio(n);
  released();
  // Remove two queued records as a late network would leave them missing.
  testing::LogCapture log;
  receiver->flushPacketToDecoder();
  receiver->flushPacketToDecoder();
  EXPECT_EQ(receiver->packetsInBuffer(), 0);
  audio(4);
  EXPECT_EQ(log.count("Buffer underflow: Now in session 0, 1 in buffer"), 1);
  EXPECT_EQ(released(), (std::vector<Released>{A(2), A(3), A(4)}));
}

TEST_F(OpusStreamReceiverTest, PeerJoiningMidTransmissionHoldsUntilTheThirdArrival) {
  audio(7, 3);
  audio(8, 3);
  EXPECT_TRUE(released().empty());
  audio(9, 3);
  EXPECT_EQ(released(), std::vector<Released>{A(7, 0xFFFFFFFFu)}) << "no start sound";
  audio(10, 3);
  EXPECT_EQ(released(), std::vector<Released>{A(8, 0xFFFFFFFFu)});
}

// A sender that talked before this receiver existed stamps a session number
// the receiver never counted; the stop still drains the whole transmission.
TEST_F(OpusStreamReceiverTest, SenderAheadOfTheReceiverStillDrainsAtStop) {
  start();  // session 0 here, session 4 at the sender
  audio(0, 4);
  audio(1, 4);
  EXPECT_EQ(released(), (std::vector<Released>{S(0)}));
  audio(2, 4);
  EXPECT_EQ(released(), (std::vector<Released>{A(0, 0)}));
  stop();
  auto got = released();
  EXPECT_EQ(got, (std::vector<Released>{A(1, 0), A(2, 0), E(0)})) << describe(got);
  EXPECT_EQ(receiver->packetsInBuffer(), 0);

  // The next transmission, with the sender still ahead, is counted as 1.
  start();
  audio(0, 5);
  stop();
  got = released();
  EXPECT_EQ(got, (std::vector<Released>{S(1), A(0, 1), E(1)})) << describe(got);
}

// A second start announcement within one press (the sender's button was
// pressed again before release) neither restarts the reserve nor opens a
// new session that would make the decoder drop the voice as stale.
TEST_F(OpusStreamReceiverTest, RepeatedStartWithinATransmissionKeepsIt) {
  testing::LogCapture log;
  start();
  audio(0);
  start();
  audio(1);
  EXPECT_EQ(released(), std::vector<Released>{S(0)});
  start();
  audio(2);
  EXPECT_EQ(released(), std::vector<Released>{A(0)});
  stop();
  auto got = released();
  EXPECT_EQ(got, (std::vector<Released>{A(1), A(2), E(0)})) << describe(got);
  EXPECT_EQ(receiver->currentSessionNumber(), 0u);
  EXPECT_EQ(receiver->transmissionsStarted(), 1u);
  EXPECT_EQ(log.count("Buffer underflow"), 0);
  // After the stop a start opens the next transmission as usual.
  start();
  stop();
  got = released();
  EXPECT_EQ(got, (std::vector<Released>{S(1), E(1)})) << describe(got);
}

TEST_F(OpusStreamReceiverTest, OversizedPacketIsDroppedWithoutDisturbingTheReserve) {
  testing::LogCapture log;
  start();
  audio(0);
  // Larger than the whole receive ring: the write fails.
  audio(1, 0, 150000);
  EXPECT_EQ(log.count("does not fit the receive buffer"), 1);
  EXPECT_TRUE(released().empty()) << "a dropped packet does not count as an arrival";
  EXPECT_EQ(receiver->packetsInBuffer(), 2);
  audio(2);
  EXPECT_EQ(released(), std::vector<Released>{S(0)});
  audio(3);
  EXPECT_EQ(released(), std::vector<Released>{A(0)});
  stop();
  EXPECT_EQ(released(), (std::vector<Released>{A(2), A(3), E(0)}));
  EXPECT_EQ(receiver->packetsInBuffer(), 0) << "count and ring agree after the drain";
  EXPECT_EQ(log.count("Buffer underflow"), 0);
}

TEST_F(OpusStreamReceiverTest, UnknownStatusIsIgnored) {
  receiver->receivedStreamStatus(2);
  receiver->receivedStreamStatus(-1);
  EXPECT_EQ(receiver->packetsInBuffer(), 0);
  EXPECT_EQ(receiver->currentSessionNumber(), 0xFFFFFFFFu);
  EXPECT_TRUE(released().empty());
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// The receiver on its delivery thread and the decoder on the audio thread
// meet only at the decoder's input ring.
TEST(OpusStreamReceiverConcurrency, ReceiverFeedsWhileTheAudioThreadRenders) {
  AudioBufferListPtr sound(audioBufferListCreateForFormat(codecAudioDescription(), 960));
  std::fill_n(static_cast<std::int16_t*>(sound->mBuffers[0].mData), 960 * 2, std::int16_t(2000));
  auto decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
  auto receiver = OpusStreamReceiver::create(decoder, nullptr, sound.get(), sound.get());
  ASSERT_TRUE(decoder && receiver);

  // Real Opus packets of a tone.
  int error = 0;
  ::OpusEncoder* opus = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
  opus_encoder_ctl(opus, OPUS_SET_BITRATE(8192));
  std::vector<std::int16_t> pcm(2880 * 2);
  for (int i = 0; i < 2880; ++i)
    pcm[2 * i] = pcm[2 * i + 1] = std::int16_t(8000 * std::sin(i * 0.05));
  auto packet = makeOpusPacket(614);
  packet->frameCount = 2880;
  packet->dataLength = std::uint32_t(opus_encode(opus, pcm.data(), 2880, packet->data, 614));
  opus_encoder_destroy(opus);

  constexpr int kTransmissions = 5, kPackets = 40;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> loudCycles{0};
  std::thread audio([&] {
    AudioBufferListPtr out(audioBufferListCreate(2, 4, true, 441));
    while (!done.load() || !decoder->isDrained()) {
      auto* s = static_cast<std::int16_t*>(out->mBuffers[0].mData);
      std::fill_n(s, 882, std::int16_t(0));
      out->mBuffers[0].mDataByteSize = 441 * 4;
      OpusDecoder::render(decoder.get(), nullptr, 441, out.get());
      if (std::abs(s[400]) > 0 || std::abs(s[600]) > 0) loudCycles.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int t = 0; t < kTransmissions; ++t) {
    receiver->receivedStreamStatus(1);
    for (int n = 0; n < kPackets; ++n) {
      packet->sessionNumber = std::uint32_t(t);
      packet->packetNumber = std::uint32_t(n);
      receiver->feedOpusPacket(packet.get());
      // Stay within the decoder ring, as a paced sender does.
      while (circularBufferFillCount(decoder->inputBuffer()) > 8192) std::this_thread::yield();
    }
    receiver->receivedStreamStatus(0);
  }
  done.store(true);
  audio.join();
  EXPECT_EQ(decoder->sessionEndsPlayed(), std::uint64_t(kTransmissions));
  // Every packet is 6 cycles of sound; sounds add a few more.
  EXPECT_GE(loudCycles.load(), std::uint64_t(kTransmissions * kPackets * 5));
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

constexpr std::int16_t kStartLevel = 1500;
constexpr std::int16_t kEndLevel = -1500;

AudioBufferListPtr constantSound(std::int16_t level) {
  AudioBufferListPtr sound(audioBufferListCreateForFormat(codecAudioDescription(), 4800));
  std::fill_n(static_cast<std::int16_t*>(sound->mBuffers[0].mData), 4800 * 2, level);
  return sound;
}

// A real sending chain (encoder, streamer, wire sink) whose messages are
// recorded, so that a receiver can be given exactly what it would have seen
// from the moment it joined.
class Sender {
 public:
  Sender() {
    encoder = OpusEncoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    sink = std::make_shared<testing::RecordingSink>();
    streamer = OpusStreamer::create(encoder, std::make_shared<WireMessageStreamSink>(sink));
    cycle.reset(audioBufferListCreate(2, 4, true, 441));
  }

  // One press of the talk button; announceAgain presses it a second time
  // halfway, before the release.
  std::vector<testing::Bytes> transmit(double seconds, bool announceAgain = false) {
    encoder->startEncoding();
    const int cycles = int(seconds * 100);
    for (int c = 0; c < cycles; ++c) {
      if (announceAgain && c == cycles / 2) encoder->startEncoding();
      auto* s = static_cast<std::int16_t*>(cycle->mBuffers[0].mData);
      for (int i = 0; i < 441; ++i) {
        s[2 * i] = s[2 * i + 1] =
            std::int16_t(0.3 * 32767 * std::sin(2 * M_PI * 440.0 * double(position + i) / 44100));
      }
      AudioTimeStamp time{};
      time.mSampleTime = double(position);
      time.mHostTime = hostTimeNow();
      time.mFlags = kAudioTimeStampSampleHostTimeValid;
      position += 441;
      OpusEncoder::receive(encoder.get(), &time, 441, cycle.get());
    }
    encoder->stopEncoding();
    std::lock_guard lock(sink->mutex);
    return std::exchange(sink->messages, {});
  }

  std::shared_ptr<OpusEncoder> encoder;
  std::shared_ptr<testing::RecordingSink> sink;
  std::shared_ptr<OpusStreamer> streamer;
  AudioBufferListPtr cycle;
  std::uint64_t position = 0;
};

struct Heard {
  std::size_t startFrames = 0;
  std::size_t voiceFrames = 0;
  std::size_t endFrames = 0;
  std::uint64_t endsPlayed = 0;
};

// A real receiving chain (wire source, receiver, decoder), rendered cycle by
// cycle as the audio thread would.
class Listener {
 public:
  Listener() : startSound(constantSound(kStartLevel)), endSound(constantSound(kEndLevel)) {
    decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    source = std::make_shared<WireMessageStreamSource>();
    receiver = OpusStreamReceiver::create(decoder, source, startSound.get(), endSound.get());
    out.reset(audioBufferListCreate(2, 4, true, 441));
  }

  Heard hear(const std::vector<testing::Bytes>& messages) {
    const std::uint64_t endsBefore = decoder->sessionEndsPlayed();
    for (const auto& m : messages) source->gotMessage(ByteMessage(m.data(), m.size()));
    Heard heard;
    // Whatever the receiver released plays out; a bound only against a hang.
    for (int c = 0; c < 2000 && !decoder->isDrained(); ++c) {
      auto* s = static_cast<std::int16_t*>(out->mBuffers[0].mData);
      std::fill_n(s, 882, std::int16_t(0));
      out->mBuffers[0].mDataByteSize = 441 * 4;
      OpusDecoder::render(decoder.get(), nullptr, 441, out.get());
      for (int i = 0; i < 441; ++i) {
        const int v = s[2 * i];
        if (std::abs(v - kStartLevel) < 300) ++heard.startFrames;
        if (std::abs(v - kEndLevel) < 300) ++heard.endFrames;
        if (std::abs(v) > 5000) ++heard.voiceFrames;
      }
    }
    heard.endsPlayed = decoder->sessionEndsPlayed() - endsBefore;
    return heard;
  }

  AudioBufferListPtr startSound;
  AudioBufferListPtr endSound;
  std::shared_ptr<OpusDecoder> decoder;
  std::shared_ptr<WireMessageStreamSource> source;
  std::shared_ptr<OpusStreamReceiver> receiver;
  AudioBufferListPtr out;
};

// 0.6 s of a 440 Hz tone at 0.3 of full scale lies above 5000 for about
// 17 000 of its 26 460 frames.
constexpr std::size_t kVoiceFramesOfOneTransmission = 12000;
// 4800 frames of each sound become 4410 at the engine rate.
constexpr std::size_t kSoundFrames = 3500;

TEST(OpusStreamReceiverChain, LateJoinerHearsStartVoiceAndEndOfEveryTransmission) {
  Sender sender;
  ASSERT_TRUE(sender.encoder && sender.streamer);
  for (int t = 0; t < 3; ++t) sender.transmit(0.3);  // nobody listens yet

  Listener late;
  for (int t = 0; t < 3; ++t) {
    const Heard heard = late.hear(sender.transmit(0.6));
    EXPECT_GT(heard.startFrames, kSoundFrames) << "transmission " << t;
    EXPECT_GT(heard.voiceFrames, kVoiceFramesOfOneTransmission) << "transmission " << t;
    EXPECT_GT(heard.endFrames, kSoundFrames) << "transmission " << t;
    EXPECT_EQ(heard.endsPlayed, 1u) << "the decoder is reset after every transmission";
    EXPECT_EQ(late.receiver->packetsInBuffer(), 0) << "nothing waits for the next transmission";
  }
}

TEST(OpusStreamReceiverChain, SecondStartAnnouncementInOnePressKeepsTheVoice) {
  Sender sender;
  Listener listener;
  ASSERT_TRUE(sender.encoder && sender.streamer);
  const auto messages = sender.transmit(0.6, true);
  const Heard heard = listener.hear(messages);
  EXPECT_GT(heard.voiceFrames, kVoiceFramesOfOneTransmission);
  EXPECT_GT(heard.startFrames, kSoundFrames);
  EXPECT_LT(heard.startFrames, 2 * kSoundFrames) << "one start sound";
  EXPECT_EQ(heard.endsPlayed, 1u);
  // The chain is ready for the next press.
  const Heard next = listener.hear(sender.transmit(0.6));
  EXPECT_GT(next.voiceFrames, kVoiceFramesOfOneTransmission);
  EXPECT_EQ(next.endsPlayed, 1u);
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// Before a decoder that plays by the clock, the receiver keeps nothing back:
// every record goes on as it arrives, stamped with the arrival time and the
// receiver's session count, and the link is reported as it goes.
class PlayoutReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startSound.reset(audioBufferListCreateForFormat(codecAudioDescription(), 480));
    endSound.reset(audioBufferListCreateForFormat(codecAudioDescription(), 480));
    decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    decoder->enablePlayout();
    receiver = OpusStreamReceiver::create(decoder, nullptr, startSound.get(), endSound.get());
    receiver->setClock([this] { return now; });
    receiver->linkReports().subscribeNext([this](const LinkReport& r) { reports.push_back(r); });
    packet = makeOpusPacket(64);
  }

  void status(StreamStatus s) { receiver->receivedStreamStatus(static_cast<int>(s)); }
  void audio(std::uint32_t number, std::uint32_t session = 0) {
    opusPacketClearHeader(packet.get());
    packet->sessionNumber = session;
    packet->packetNumber = number;
    packet->frameCount = 960;
    packet->dataLength = 20;
    std::memset(packet->data, 0xF8, 20);  // music-mode bytes, no redundancy
    receiver->feedOpusPacket(packet.get());
  }
  struct Seen {
    OpusPacketKind kind;
    std::uint32_t session;
    std::uint32_t number;
    UInt64 arrival;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> released() {
    std::vector<Seen> out;
    CircularBuffer* ring = decoder->inputBuffer();
    while (const OpusPacket* p = opusPacketBufferPeek(ring)) {
      out.push_back({p->kind, p->sessionNumber, p->packetNumber, p->arrivalTime});
      opusPacketBufferConsume(ring);
    }
    return out;
  }
  void render(double seconds) {
    AudioBufferListPtr out(audioBufferListCreate(2, 4, true, 441));
    for (double t = 0; t < seconds; t += 0.01) {
      out->mBuffers[0].mDataByteSize = 441 * 4;
      OpusDecoder::render(decoder.get(), nullptr, now, 441, out.get());
      now += 10'000'000;
    }
  }

  AudioBufferListPtr startSound;
  AudioBufferListPtr endSound;
  std::shared_ptr<OpusDecoder> decoder;
  std::shared_ptr<OpusStreamReceiver> receiver;
  OpusPacketPtr packet;
  UInt64 now = 7'000'000'000;
  std::vector<LinkReport> reports;
};

TEST_F(PlayoutReceiverTest, EveryRecordGoesOnAtOnceStampedWithItsArrival) {
  using K = OpusPacketKind;
  const UInt64 t0 = now;
  audio(8, 3);  // joined during a transmission: no start sound
  EXPECT_EQ(released(), (std::vector<Seen>{{K::Audio, 0xFFFFFFFFu, 8, t0}}));
  status(StreamStatus::Stopped);
  EXPECT_EQ(released(), (std::vector<Seen>{{K::SessionEnd, 0xFFFFFFFFu, 0, t0}}));
  now += 5'000'000;
  status(StreamStatus::Started);
  audio(0, 4);
  status(StreamStatus::Started);  // pressed again before release: the same transmission
  now += 20'000'000;
  audio(1, 4);
  status(StreamStatus::Stopped);
  EXPECT_EQ(released(), (std::vector<Seen>{{K::SessionStart, 0, 0, t0 + 5'000'000},
                                           {K::Audio, 0, 0, t0 + 5'000'000},
                                           {K::Audio, 0, 1, t0 + 25'000'000},
                                           {K::SessionEnd, 0, 0, t0 + 25'000'000}}));
  EXPECT_EQ(receiver->packetsInBuffer(), 0);
  EXPECT_EQ(receiver->transmissionsStarted(), 1u);
}

TEST_F(PlayoutReceiverTest, LinkReportsEverySecondAndAtTheEndOfATransmission) {
  status(StreamStatus::Started);
  // Two seconds of 20 ms packets, every tenth lost on the way; the decoder
  // plays them as they come.
  for (std::uint32_t n = 0; n < 100; ++n) {
    if (n % 10 != 5) audio(n);
    render(0.02);
  }
  render(0.2);
  status(StreamStatus::Stopped);
  ASSERT_EQ(reports.size(), 3u) << "at the first packet, a second later, and at the stop";
  EXPECT_FALSE(reports[0].endOfTransmission);
  EXPECT_NEAR(reports[1].intervalSeconds, 1.0, 0.03);
  EXPECT_NEAR(reports[1].lossFraction, 0.1, 0.03);
  EXPECT_TRUE(reports[2].endOfTransmission);
  EXPECT_NEAR(reports[2].lossFraction, 0.1, 0.04);
  EXPECT_EQ(reports[2].late, 0u);
  EXPECT_GE(reports[2].concealed, 9u) << "the lost packets were concealed";
  EXPECT_NEAR(reports[2].targetMs, 20.0, 1.0) << "steady arrivals: one frame";
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// A peer's receiver feeding a clock-driven decoder on its delivery thread,
// the audio thread rendering, and a third thread reading the link figures
// meanwhile: they share only the ring and the buffer's counters.
TEST(PlayoutReceiverConcurrency, FeedingRenderingAndReadingTheFiguresAtOnce) {
  auto decoder = OpusDecoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
  decoder->enablePlayout();
  AudioBufferListPtr sound(audioBufferListCreateForFormat(codecAudioDescription(), 960));
  auto receiver = OpusStreamReceiver::create(decoder, nullptr, sound.get(), sound.get());
  std::atomic<int> reports{0};
  receiver->linkReports().subscribeNext([&](const LinkReport&) { reports.fetch_add(1); });

  int error = 0;
  ::OpusEncoder* opus = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
  std::vector<std::int16_t> pcm(960 * 2);
  for (int i = 0; i < 960; ++i)
    pcm[2 * i] = pcm[2 * i + 1] = std::int16_t(6000 * std::sin(i * 0.07));
  auto packet = makeOpusPacket(400);
  packet->frameCount = 960;
  packet->dataLength = std::uint32_t(opus_encode(opus, pcm.data(), 960, packet->data, 400));
  opus_encoder_destroy(opus);

  std::atomic<bool> done{false};
  std::thread audio([&] {
    AudioBufferListPtr out(audioBufferListCreate(2, 4, true, 441));
    while (!done.load()) {
      out->mBuffers[0].mDataByteSize = 441 * 4;
      OpusDecoder::render(decoder.get(), nullptr, 441, out.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread reader([&] {
    double target = 0;
    while (!done.load()) {
      target += decoder->playoutStatistics().targetMs;
      target += decoder->isDrained() ? 1 : 0;
      std::this_thread::yield();
    }
    EXPECT_GT(target, 0.0);
  });
  for (int t = 0; t < 3; ++t) {
    receiver->receivedStreamStatus(1);
    for (std::uint32_t n = 0; n < 60; ++n) {
      packet->sessionNumber = std::uint32_t(t);
      packet->packetNumber = n;
      receiver->feedOpusPacket(packet.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    receiver->receivedStreamStatus(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  done.store(true);
  audio.join();
  reader.join();
  EXPECT_EQ(decoder->sessionEndsPlayed(), 3u);
  EXPECT_GE(reports.load(), 3);
  EXPECT_GT(decoder->playoutStatistics().played, 100u);
}

}  // namespace
}  // namespace qur
