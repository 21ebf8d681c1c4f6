#include "audio/opus_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "codec_test_support.h"
#include "support/alloc_guard.h"

namespace qur {
namespace {

using testing::InputCycles;
using testing::RecordingDelegate;

class OpusEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    encoder = OpusEncoder::create(testing::engineFormat());
    ASSERT_TRUE(encoder);
    delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
  }

  std::shared_ptr<OpusEncoder> encoder;
  std::shared_ptr<RecordingDelegate> delegate;
  InputCycles input;
};

TEST_F(OpusEncoderTest, ShortTransmissionYieldsOnePaddedPacketAtStop) {
  encoder->startEncoding();
  input.feed(encoder.get(), 0.02, 440, 0.5);
  encoder->stopEncoding();
  // stopEncoding returns only after the delegate has every packet and then the stop.
  EXPECT_EQ(delegate->takeEvents(), "+p-");
  auto packets = delegate->takePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].frameCount, 2880u);
  EXPECT_EQ(packets[0].number, 0u);
  const auto pcm = testing::decodeAll(packets);
  ASSERT_EQ(pcm.size(), 2880u * 2);
  // 20 ms of tone, then silence padding: the last third of the packet holds
  // only the codec's ringing at 8 kbit/s, far below the tone.
  const double tone = testing::rms(pcm.data(), 2 * 960);
  EXPECT_GT(tone, 5000.0);
  EXPECT_LT(testing::rms(pcm.data() + 2 * 1920, 2 * 960), 0.4 * tone);
}

TEST_F(OpusEncoderTest, NumbersSessionsAndPacketsAcrossTransmissionsAndResets) {
  std::vector<std::uint32_t> counts;
  for (int transmission = 0; transmission < 3; ++transmission) {
    encoder->startEncoding();
    input.feed(encoder.get(), 0.5, 300, 0.3);
    encoder->stopEncoding();
    auto packets = delegate->takePackets();
    const auto events = delegate->takeEvents();
    ASSERT_GE(packets.size(), 8u);
    EXPECT_EQ(events, "+" + std::string(events.size() - 2, 'p') + "-") << events;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(packets[i].session, std::uint32_t(transmission));
      EXPECT_EQ(packets[i].number, std::uint32_t(i));
    }
    counts.push_back(std::uint32_t(packets.size()));
  }
  // 0.5 s is 8.33 packets: eight while talking; the last third, part of it
  // already read by the resampler, becomes a padded ninth.
  for (auto c : counts) EXPECT_EQ(c, 9u);

  encoder->reset();
  EXPECT_EQ(delegate->takeEvents(), "") << "reset while idle reports nothing";
  encoder->startEncoding();
  input.feed(encoder.get(), 0.2, 300, 0.3);
  // Reset in the middle of a transmission stops it first.
  encoder->reset();
  auto packets = delegate->takePackets();
  ASSERT_FALSE(packets.empty());
  for (const auto& p : packets) EXPECT_EQ(p.session, 0u);
  EXPECT_EQ(delegate->takeEvents().back(), '-');

  encoder->startEncoding();
  input.feed(encoder.get(), 0.1, 300, 0.3);
  encoder->stopEncoding();
  packets = delegate->takePackets();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front().session, 0u) << "sessions restart at 0 after reset";
  EXPECT_EQ(packets.front().number, 0u);
}

TEST_F(OpusEncoderTest, StopWhileIdleStillAdvancesTheSession) {
  encoder->stopEncoding();
  EXPECT_EQ(delegate->takeEvents(), "-");
  encoder->startEncoding();
  input.feed(encoder.get(), 0.1, 300, 0.3);
  encoder->stopEncoding();
  const auto packets = delegate->takePackets();
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.front().session, 1u);
}

TEST_F(OpusEncoderTest, AudioCapturedWhileIdleNeverReachesAPacket) {
  input.feed(encoder.get(), 0.5, 440, 0.9);  // loud, not encoding
  encoder->startEncoding();
  input.feed(encoder.get(), 0.3, 440, 0.0);
  encoder->stopEncoding();
  const auto pcm = testing::decodeAll(delegate->takePackets());
  ASSERT_FALSE(pcm.empty());
  EXPECT_LT(testing::rms(pcm.data(), pcm.size()), 50.0);
}

TEST_F(OpusEncoderTest, TimestampsFollowTheCaptureTimeOfEachPacketsFirstFrame) {
  encoder->startEncoding();
  // Capture starts 100 ms after the transmission's reference time.
  input.restartClockAt(hostTimeNow() + secondsToHostTicks(0.1));
  input.feed(encoder.get(), 1.0, 500, 0.3);
  encoder->stopEncoding();
  const auto packets = delegate->takePackets();
  ASSERT_GE(packets.size(), 16u);
  // Each stamp is the capture time of the packet's first frame, input the
  // resampler may already have read ahead included; whole milliseconds.
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const double expected = 100.0 + 60.0 * double(i);
    EXPECT_GE(double(packets[i].timestamp), expected - 1.0) << "packet " << i;
    EXPECT_LE(double(packets[i].timestamp), expected + 1.0) << "packet " << i;
  }
}

TEST_F(OpusEncoderTest, StopEncodesTheTransmissionToItsLastFrame) {
  // 0.5 s of tone is 24000 frames at 48 kHz: eight full packets and a ninth
  // holding the last 960 frames, padded.
  encoder->startEncoding();
  input.restartClockAt(hostTimeNow());
  input.feed(encoder.get(), 0.5, 440, 0.5);
  encoder->stopEncoding();
  const auto packets = delegate->takePackets();
  ASSERT_EQ(packets.size(), 9u);
  const auto pcm = testing::decodeAll(packets);
  ASSERT_EQ(pcm.size(), 9u * 2880 * 2);
  // The decoder's output runs late by the codec's look-ahead.
  opus_int32 lookahead = 0;
  ::OpusEncoder* probe = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, nullptr);
  opus_encoder_ctl(probe, OPUS_GET_LOOKAHEAD(&lookahead));
  opus_encoder_destroy(probe);
  const std::size_t end = 24000 + std::size_t(lookahead);
  const double body = testing::rms(pcm.data() + 2 * 4800, 2 * 4800);
  EXPECT_GT(body, 5000.0);
  // The last 10 ms before the end carry the tone; what follows is padding.
  EXPECT_GT(testing::rms(pcm.data() + 2 * (end - 480), 2 * 480), 0.6 * body);
  EXPECT_LT(testing::rms(pcm.data() + 2 * (end + 960), 2 * 960), 0.2 * body);
}

TEST_F(OpusEncoderTest, ReportsTheCodecRateAndFrameWhateverTheInput) {
  auto other = OpusEncoder::create(makeLinearPCMFormat(16000.0, 2));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->sampleRate(), 48000u);
  EXPECT_DOUBLE_EQ(other->frameDuration(), 0.06);
}

TEST_F(OpusEncoderTest, EncodingAllocatesNothingOnTheAudioThread) {
  encoder->startEncoding();
  input.feed(encoder.get(), 0.1, 440, 0.3);  // warm up libopus and the converter
  const auto* list = input.next(440, 0.3);
  std::uint64_t allocations = 0;
  {
    testing::AllocationGuard guard;
    for (int cycle = 0; cycle < 200; ++cycle) {  // 2 s: 33 packets encoded
      OpusEncoder::receive(encoder.get(), input.time(), input.frames(), list);
      list = input.next(440, 0.3);
    }
    allocations = guard.allocations();
  }
  EXPECT_EQ(allocations, 0u);
  encoder->stopEncoding();
  EXPECT_GE(delegate->takePackets().size(), 34u);
}

// The audio thread keeps delivering cycles while another thread starts and
// stops transmissions: every packet lands inside its own transmission, in order.
TEST(OpusEncoderConcurrency, StartStopWhileTheAudioThreadRuns) {
  auto encoder = OpusEncoder::create(testing::engineFormat());
  ASSERT_TRUE(encoder);
  auto delegate = std::make_shared<RecordingDelegate>();
  encoder->setDelegate(delegate);

  std::atomic<bool> running{true};
  std::thread audio([&] {
    InputCycles input;
    while (running.load()) {
      const auto* list = input.next(440, 0.3);
      OpusEncoder::receive(encoder.get(), input.time(), input.frames(), list);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  for (int t = 0; t < 20; ++t) {
    encoder->startEncoding();
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + 7 * (t % 5)));
    encoder->stopEncoding();
  }
  running.store(false);
  audio.join();

  const auto events = delegate->takeEvents();
  const auto packets = delegate->takePackets();
  // Events alternate +p*- twenty times.
  int transmission = -1;
  bool open = false;
  std::size_t packetIndex = 0;
  std::uint32_t expectedNumber = 0;
  for (char e : events) {
    if (e == '+') {
      ASSERT_FALSE(open) << events;
      open = true;
      ++transmission;
      expectedNumber = 0;
    } else if (e == '-') {
      ASSERT_TRUE(open) << events;
      open = false;
    } else {
      ASSERT_TRUE(open) << "packet outside a transmission: " << events;
      ASSERT_LT(packetIndex, packets.size());
      EXPECT_EQ(packets[packetIndex].session, std::uint32_t(transmission));
      EXPECT_EQ(packets[packetIndex].number, expectedNumber++);
      ++packetIndex;
    }
  }
  EXPECT_EQ(transmission, 19);
  EXPECT_FALSE(open);
  EXPECT_EQ(packetIndex, packets.size());
}

// A network sink that stalls: once armed, every delivery blocks until the
// test releases it.
class StallingDelegate : public RecordingDelegate {
 public:
  void encoderHasNewPacketsInBuffer(OpusEncoder& encoder, CircularBuffer* buffer) override {
    stall();
    RecordingDelegate::encoderHasNewPacketsInBuffer(encoder, buffer);
  }
  void encoderDidChangeItsEncodingStatusTo(OpusEncoder& encoder, bool encoding) override {
    if (!encoding) stall();
    RecordingDelegate::encoderDidChangeItsEncodingStatusTo(encoder, encoding);
  }
  void arm() {
    std::lock_guard<std::mutex> lock(_gate);
    _armed = true;
  }
  void waitUntilStalled() {
    std::unique_lock<std::mutex> lock(_gate);
    _changed.wait(lock, [&] { return _stalled; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(_gate);
    _armed = false;
    _changed.notify_all();
  }

 private:
  void stall() {
    std::unique_lock<std::mutex> lock(_gate);
    if (!_armed) return;
    _stalled = true;
    _changed.notify_all();
    _changed.wait(lock, [&] { return !_armed; });
  }

  std::mutex _gate;
  std::condition_variable _changed;
  bool _armed = false;
  bool _stalled = false;
};

// A stop that waits on the network must not hold up the audio thread: its
// cycles return (and are dropped) while the sink is stuck, and the encoder
// comes out of the stop consistent.
TEST(OpusEncoderConcurrency, AudioThreadRunsOnWhileAStopWaitsForAStalledSink) {
  auto encoder = OpusEncoder::create(testing::engineFormat());
  ASSERT_TRUE(encoder);
  auto delegate = std::make_shared<StallingDelegate>();
  encoder->setDelegate(delegate);
  InputCycles input;

  encoder->startEncoding();
  input.feed(encoder.get(), 0.3, 440, 0.3);
  delegate->arm();
  std::thread stopper([&] { encoder->stopEncoding(); });
  delegate->waitUntilStalled();

  std::mutex mutex;
  std::condition_variable cv;
  bool audioDone = false;
  std::thread audio([&] {
    for (int cycle = 0; cycle < 100; ++cycle) {
      const auto* list = input.next(440, 0.3);
      OpusEncoder::receive(encoder.get(), input.time(), input.frames(), list);
    }
    std::lock_guard<std::mutex> lock(mutex);
    audioDone = true;
    cv.notify_all();
  });
  bool returnedWhileStalled = false;
  {
    // Generous: only a stuck audio thread misses it. The sink is released
    // either way so that a failure does not hang the suite.
    std::unique_lock<std::mutex> lock(mutex);
    returnedWhileStalled = cv.wait_for(lock, std::chrono::seconds(30), [&] { return audioDone; });
  }
  delegate->release();
  stopper.join();
  audio.join();
  EXPECT_TRUE(returnedWhileStalled) << "the audio thread waited for the stalled sink";

  const auto events = delegate->takeEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), '+');
  EXPECT_EQ(events.back(), '-');
  const auto first = delegate->takePackets();
  EXPECT_EQ(first.size(), 5u) << "0.3 s: four while talking and a padded fifth at the stop";
  for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].number, i);

  // Cycles delivered during the stop left nothing behind.
  encoder->pollBuffer();
  EXPECT_EQ(delegate->packetCount(), 0u);
  encoder->startEncoding();
  input.feed(encoder.get(), 0.2, 440, 0.3);
  encoder->stopEncoding();
  const auto second = delegate->takePackets();
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.front().session, 1u);
  EXPECT_EQ(second.front().number, 0u);
  EXPECT_EQ(delegate->takeEvents(), "+" + std::string(second.size(), 'p') + "-");
}

// The poll timer holds the encoder weakly, yet a delivery under way keeps it
// alive: the last owner letting go mid-delivery defers the teardown to the
// end of that delivery instead of pulling the rings from under it.
TEST(OpusEncoderConcurrency, LastOwnerLettingGoDuringADeliveryDefersTheTeardown) {
  auto encoder = OpusEncoder::create(testing::engineFormat());
  ASSERT_TRUE(encoder);
  auto delegate = std::make_shared<StallingDelegate>();
  encoder->setDelegate(delegate);
  InputCycles input;
  delegate->arm();
  encoder->startEncoding();
  input.feed(encoder.get(), 0.2, 440, 0.3);
  delegate->waitUntilStalled();  // the poll thread is inside the delivery

  std::weak_ptr<OpusEncoder> weak = encoder;
  encoder.reset();
  EXPECT_FALSE(weak.expired()) << "torn down while its poll thread delivered";
  delegate->release();
  for (int i = 0; i < 30000 && !weak.expired(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(weak.expired()) << "the poll thread kept the encoder alive for good";
  EXPECT_GE(delegate->packetCount(), 1u);
}

}  // namespace
}  // namespace qur
