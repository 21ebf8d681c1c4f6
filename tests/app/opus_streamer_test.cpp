#include "app/opus_streamer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "support/wire_test_support.h"
#include "wire/byte_stream.h"
#include "wire/stream.h"
#include "wire/wire_message_stream.h"

namespace qur {
namespace {

using testing::RecordingSink;

// Decodes messages back with the real wire source: "+" "-" for statuses and
// "s<session>/<number>" per payload.
class Transcript : public WireMessageStreamDelegate {
 public:
  void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource&,
                                           const OpusPacket* packet) override {
    text += "p" + std::to_string(packet->sessionNumber) + "/" +
            std::to_string(packet->packetNumber) + " ";
  }
  void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource&, int status) override {
    text += status == 1 ? "+ " : "- ";
  }
  std::string text;
};

std::string transcribe(const std::vector<std::vector<std::uint8_t>>& messages) {
  auto source = std::make_shared<WireMessageStreamSource>();
  auto transcript = std::make_shared<Transcript>();
  source->setDelegate(transcript);
  for (const auto& m : messages) source->gotMessage(ByteMessage(m.data(), m.size()));
  return transcript->text;
}

OpusPacketPtr packet(std::uint32_t number) {
  auto p = makeOpusPacket(16);
  p->kind = OpusPacketKind::Audio;
  p->packetNumber = number;
  p->sessionNumber = 7;
  p->frameCount = 2880;
  p->dataLength = 3;
  p->data[0] = p->data[1] = p->data[2] = std::uint8_t(number);
  return p;
}

class OpusStreamerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    encoder = OpusEncoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    ASSERT_TRUE(encoder);
    sink = std::make_shared<RecordingSink>();
    streamer = OpusStreamer::create(encoder, std::make_shared<WireMessageStreamSink>(sink));
    ASSERT_TRUE(streamer);
    ASSERT_TRUE(circularBufferSetUp(&ring, 4096));
  }
  void TearDown() override { circularBufferTearDown(&ring); }

  std::shared_ptr<OpusEncoder> encoder;
  std::shared_ptr<RecordingSink> sink;
  std::shared_ptr<OpusStreamer> streamer;
  CircularBuffer ring;
};

TEST_F(OpusStreamerTest, DrainSendsEveryPacketInRingOrderAndEmptiesTheRing) {
  streamer->encoderHasNewPacketsInBuffer(*encoder, &ring);
  EXPECT_TRUE(sink->messages.empty()) << "an empty ring sends nothing";

  for (std::uint32_t n = 0; n < 3; ++n) ASSERT_TRUE(opusPacketBufferWrite(&ring, packet(n).get()));
  streamer->encoderHasNewPacketsInBuffer(*encoder, &ring);
  EXPECT_EQ(transcribe(sink->messages), "p7/0 p7/1 p7/2 ");
  EXPECT_EQ(circularBufferFillCount(&ring), 0);
}

TEST_F(OpusStreamerTest, StartThenStopWithoutAudioSendsTwoStatusesOnly) {
  encoder->startEncoding();
  encoder->stopEncoding();
  ASSERT_EQ(sink->messages.size(), 2u);
  EXPECT_EQ(sink->messages[0], (std::vector<std::uint8_t>{0x12, 0x02, 0x08, 0x01}));
  EXPECT_EQ(sink->messages[1], (std::vector<std::uint8_t>{0x12, 0x02, 0x08, 0x00}));
}

TEST_F(OpusStreamerTest, TransmissionGoesOutAsStartedPayloadsStopped) {
  AudioBufferListPtr cycle(audioBufferListCreate(2, 4, true, 441));
  auto* s = static_cast<std::int16_t*>(cycle->mBuffers[0].mData);
  for (int i = 0; i < 882; ++i) s[i] = std::int16_t((i * 37) % 2000 - 1000);
  for (int transmission = 0; transmission < 2; ++transmission) {
    encoder->startEncoding();
    for (int c = 0; c < 30; ++c) OpusEncoder::receive(encoder.get(), nullptr, 441, cycle.get());
    encoder->stopEncoding();
  }
  // 0.3 s per transmission is exactly five packets.
  EXPECT_EQ(transcribe(sink->messages),
            "+ p0/0 p0/1 p0/2 p0/3 p0/4 - + p1/0 p1/1 p1/2 p1/3 p1/4 - ");
}

TEST_F(OpusStreamerTest, ByteStreamConstructionWritesLengthPrefixedFrames) {
  char path[] = "/tmp/qur-streamer-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    auto file = FileDescriptorOutputStream::toFile(path);
    ASSERT_TRUE(file);
    file->open();
    auto fileEncoder = OpusEncoder::create(AudioEngine::interleaved16BitStereoAudioDescription());
    auto fileStreamer = OpusStreamer::create(fileEncoder, std::shared_ptr<OutputStream>(file));
    ASSERT_TRUE(fileStreamer);
    AudioBufferListPtr cycle(audioBufferListCreate(2, 4, true, 441));
    std::fill_n(static_cast<std::int16_t*>(cycle->mBuffers[0].mData), 882, std::int16_t(500));
    fileEncoder->startEncoding();
    for (int c = 0; c < 14; ++c) OpusEncoder::receive(fileEncoder.get(), nullptr, 441, cycle.get());
    fileEncoder->stopEncoding();
    // The framing layer flushes on its own thread; wait until the stop is out.
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 300; ++i) {
      std::ifstream in(path, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), {});
      if (bytes.size() >= 8 && bytes[bytes.size() - 1] == 0x00 && bytes[bytes.size() - 5] == 0x04) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Split the frames: 4-byte big-endian length, then the message.
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
      const std::uint32_t length = (std::uint32_t(bytes[at]) << 24) |
                                   (std::uint32_t(bytes[at + 1]) << 16) |
                                   (std::uint32_t(bytes[at + 2]) << 8) | bytes[at + 3];
      ASSERT_LE(at + 4 + length, bytes.size());
      frames.emplace_back(bytes.begin() + long(at + 4), bytes.begin() + long(at + 4 + length));
      at += 4 + length;
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_EQ(transcribe(frames), "+ p0/0 p0/1 p0/2 - ");
  }
  std::remove(path);
}

}  // namespace
}  // namespace qur
