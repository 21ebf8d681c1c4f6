#include "audio/circular_buffer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/opus_packet.h"

namespace qur {
namespace {

const AudioStreamBasicDescription kStereo16 = engineAudioDescription();

class Ring {
 public:
  explicit Ring(std::int32_t bytes) { ok_ = circularBufferSetUp(&ring_, bytes); }
  ~Ring() { circularBufferTearDown(&ring_); }
  CircularBuffer* operator->() { return &ring_; }
  CircularBuffer* get() { return &ring_; }
  bool ok() const { return ok_; }

 private:
  CircularBuffer ring_;
  bool ok_;
};

std::int32_t fill(CircularBuffer* ring) {
  std::int32_t n = 0;
  circularBufferReadPointer(ring, &n);
  return n;
}

// A one-buffer list over caller-owned bytes.
struct StackList {
  AudioBufferList list{};
  explicit StackList(void* data, UInt32 bytes, UInt32 channels = 2) {
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{channels, bytes, data};
  }
};

std::vector<std::int16_t> ramp(std::size_t samples, std::int16_t first) {
  std::vector<std::int16_t> v(samples);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(CircularBufferSetUp, RoundsToPagesAndMirrorsStorage) {
  const long page = sysconf(_SC_PAGESIZE);
  Ring ring(10400);
  ASSERT_TRUE(ring.ok());
  EXPECT_EQ(ring->length, (10400 + page - 1) / page * page);
  if (page == 4096) {
    EXPECT_EQ(ring->length, 12288);
  }
  // A write that runs past the end comes back contiguous, and the mirror
  // shows the same bytes at length + i and at i.
  std::vector<std::uint8_t> pad(std::size_t(ring->length - 100), 0xEE);
  ASSERT_TRUE(circularBufferProduceBytes(ring.get(), pad.data(), std::int32_t(pad.size())));
  ASSERT_EQ(circularBufferConsumeBytes(ring.get(), pad.data(), std::int32_t(pad.size())),
            std::int32_t(pad.size()));
  std::vector<std::uint8_t> pattern(300);
  std::iota(pattern.begin(), pattern.end(), std::uint8_t(1));
  ASSERT_TRUE(circularBufferProduceBytes(ring.get(), pattern.data(), 300));
  std::int32_t available = 0;
  auto* read = static_cast<std::uint8_t*>(circularBufferReadPointer(ring.get(), &available));
  ASSERT_EQ(available, 300);
  EXPECT_EQ(std::memcmp(read, pattern.data(), 300), 0);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(ring->buffer[ring->length + i], ring->buffer[i]);
  EXPECT_EQ(ring->buffer[0], pattern[100]);
  EXPECT_EQ(ring->head, 200);
}

// Redirects standard output into a pipe; the descriptors are opened up front
// so capturing still works while the descriptor limit is lowered.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    EXPECT_EQ(pipe(fds_), 0);
    saved_ = dup(1);
    dup2(fds_[1], 1);
  }
  std::string finish() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(fds_[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = read(fds_[0], chunk, sizeof chunk)) > 0) text.append(chunk, std::size_t(n));
    close(fds_[0]);
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

TEST(CircularBufferSetUp, FailureIsVisibleAndRefusesToProduce) {
  StdoutCapture capture;
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit none = saved;
  none.rlim_cur = 0;  // the memory object needs a descriptor
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  CircularBuffer ring;
  const bool ok = circularBufferSetUp(&ring, 4096);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string out = capture.finish();

  EXPECT_FALSE(ok);
  EXPECT_FALSE(ring.isValid());
  EXPECT_GT(ring.length, 0);
  EXPECT_EQ(out.rfind("QURCircularBuffer:60: Buffer allocation: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

  std::int32_t space = -1;
  EXPECT_EQ(circularBufferWritePointer(&ring, &space), nullptr);
  EXPECT_EQ(space, 0);
  std::uint8_t byte = 1;
  EXPECT_FALSE(circularBufferProduceBytes(&ring, &byte, 1));
  auto samples = ramp(8, 0);
  StackList src(samples.data(), 16);
  EXPECT_FALSE(circularBufferCopyAudioBufferList(&ring, &src.list, nullptr, kCircularBufferCopyAll,
                                                 nullptr));
  auto packet = makeOpusPacket(0);
  EXPECT_FALSE(opusPacketBufferWrite(&ring, packet.get()));
  EXPECT_EQ(opusPacketBufferPeek(&ring), nullptr);
  EXPECT_EQ(circularBufferPeek(&ring, nullptr, &kStereo16), 0u);
  circularBufferTearDown(&ring);
}

TEST(CircularBufferSetUp, RejectsLengthsThatCannotBeMapped) {
  for (std::int32_t bad : {0, -5, INT32_MAX}) {
    CircularBuffer ring;
    StdoutCapture capture;
    EXPECT_FALSE(circularBufferSetUp(&ring, bad)) << bad;
    const std::string out = capture.finish();
    EXPECT_NE(out.find("QURCircularBuffer:60: Buffer allocation"), std::string::npos);
    EXPECT_FALSE(ring.isValid());
  }
}

TEST(CircularBufferBytes, FullRingDropsWithoutOverwriting) {
  Ring ring(4096);
  std::vector<std::uint8_t> a(std::size_t(ring->length) - 10, 7);
  ASSERT_TRUE(circularBufferProduceBytes(ring.get(), a.data(), std::int32_t(a.size())));
  std::uint8_t more[11] = {};
  EXPECT_FALSE(circularBufferProduceBytes(ring.get(), more, 11));
  EXPECT_EQ(fill(ring.get()), std::int32_t(a.size()));
  EXPECT_TRUE(circularBufferProduceBytes(ring.get(), more, 10));
  std::int32_t space = -1;
  EXPECT_EQ(circularBufferWritePointer(ring.get(), &space), nullptr);
  EXPECT_EQ(space, 0);
  circularBufferDiscardAll(ring.get());
  EXPECT_EQ(fill(ring.get()), 0);
  EXPECT_EQ(ring->head, ring->tail);
  EXPECT_EQ(circularBufferReadPointer(ring.get(), nullptr), nullptr);
}

// The state a ring is in after `bytes` bytes have passed through it.
void passedThrough(CircularBuffer* ring, std::uint32_t bytes) {
  const auto offset = std::int32_t(bytes % std::uint32_t(ring->length));
  ring->head = ring->tail = offset;
  ring->produced = ring->consumed = bytes;
  ring->seenProduced = ring->seenConsumed = bytes;
}

// The byte counters run freely and wrap after 4 GiB; counts, free space and
// the full and empty boundaries must not notice.
TEST(CircularBufferBytes, CountersWrapWithoutLosingCountOrSpace) {
  Ring ring(4096);
  const std::int32_t length = ring->length;
  passedThrough(ring.get(), 0u - 100u);
  const auto size = std::size_t(length);
  std::vector<std::uint8_t> in(size), out(size);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = std::uint8_t(i * 11 + 3);

  for (int round = 0; round < 3; ++round) {
    // Fill exactly, across the counters' wrap in the first round.
    ASSERT_TRUE(circularBufferProduceBytes(ring.get(), in.data(), length - 1));
    EXPECT_EQ(fill(ring.get()), length - 1);
    std::uint8_t last = 0xEE;
    EXPECT_FALSE(circularBufferProduceBytes(ring.get(), &last, 2));
    ASSERT_TRUE(circularBufferProduceBytes(ring.get(), &last, 1));
    EXPECT_EQ(circularBufferFillCount(ring.get()), length);
    std::int32_t space = -1;
    EXPECT_EQ(circularBufferWritePointer(ring.get(), &space), nullptr);
    EXPECT_EQ(space, 0);

    EXPECT_EQ(circularBufferConsumeBytes(ring.get(), out.data(), length), length);
    EXPECT_EQ(std::memcmp(out.data(), in.data(), std::size_t(length) - 1), 0);
    EXPECT_EQ(out[std::size_t(length) - 1], last);
    EXPECT_EQ(fill(ring.get()), 0);
    EXPECT_EQ(circularBufferReadPointer(ring.get(), nullptr), nullptr);
    EXPECT_EQ(ring->head, ring->tail);
  }
  EXPECT_LT(ring->produced.load(), 0u - 100u);  // it did wrap

  // Packet records across the wrap, peeked and consumed one by one.
  passedThrough(ring.get(), 0u - 200u);  // records stay 8-byte aligned
  auto packet = makeOpusPacket(100);
  for (std::uint32_t n = 0; n < 200; ++n) {
    packet->packetNumber = n;
    packet->dataLength = n % 100;
    ASSERT_TRUE(opusPacketBufferWrite(ring.get(), packet.get())) << n;
    ASSERT_TRUE(opusPacketBufferWrite(ring.get(), packet.get())) << n;
    for (int twice = 0; twice < 2; ++twice) {
      const OpusPacket* p = opusPacketBufferPeek(ring.get());
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p->packetNumber, n);
      EXPECT_EQ(p->dataLength, n % 100);
      const std::int32_t left = opusPacketBufferConsume(ring.get());
      EXPECT_EQ(left, twice == 0 ? opusPacketRecordSize(opusPacketSize(packet.get())) : 0);
    }
  }
  EXPECT_EQ(opusPacketBufferPeek(ring.get()), nullptr);
}

TEST(CircularBufferAudioRecords, CopyZeroFramesAndCopyAll) {
  Ring ring(8192);
  auto left = ramp(64, 100);
  auto right = ramp(64, -500);
  AudioBufferListPtr list(audioBufferListCreate(2, 2, false, 64));
  std::memcpy(list->mBuffers[0].mData, left.data(), 128);
  std::memcpy(list->mBuffers[1].mData, right.data(), 128);
  const AudioStreamBasicDescription mono = makeLinearPCMFormat(44100, 2, false, false);

  EXPECT_TRUE(circularBufferCopyAudioBufferList(ring.get(), list.get(), nullptr, 0, &mono));
  EXPECT_EQ(fill(ring.get()), 0);

  AudioTimeStamp ts{};
  ts.mSampleTime = 480;
  ts.mFlags = kAudioTimeStampSampleTimeValid;
  ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), list.get(), &ts, kCircularBufferCopyAll,
                                                nullptr));
  EXPECT_EQ(fill(ring.get()) % 16, 0);
  AudioTimeStamp out{};
  AudioBufferList* stored = circularBufferOldestBufferList(ring.get(), &out);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(out.mSampleTime, 480);
  ASSERT_EQ(stored->mNumberBuffers, 2u);
  for (UInt32 i = 0; i < 2; ++i) {
    EXPECT_EQ(stored->mBuffers[i].mDataByteSize, 128u);
    EXPECT_EQ(stored->mBuffers[i].mNumberChannels, 1u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stored->mBuffers[i].mData) % 16, 0u);
  }
  EXPECT_EQ(std::memcmp(stored->mBuffers[0].mData, left.data(), 128), 0);
  EXPECT_EQ(std::memcmp(stored->mBuffers[1].mData, right.data(), 128), 0);
  circularBufferConsumeOldestBufferList(ring.get());
  EXPECT_EQ(fill(ring.get()), 0);
  EXPECT_EQ(circularBufferOldestBufferList(ring.get(), &out), nullptr);
  EXPECT_EQ(out.mSampleTime, 0);
}

TEST(CircularBufferAudioRecords, PeekSumsEveryRecord) {
  Ring ring(8192);
  std::vector<std::uint8_t> bytes(1024, 1);
  AudioTimeStamp ts{};
  ts.mHostTime = 77;
  ts.mFlags = kAudioTimeStampHostTimeValid;
  for (UInt32 size : {512u, 1024u, 256u}) {
    StackList src(bytes.data(), size);
    ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &src.list, &ts,
                                                  kCircularBufferCopyAll, nullptr));
    ts.mHostTime += 1000;
  }
  AudioTimeStamp first{};
  EXPECT_EQ(circularBufferPeek(ring.get(), &first, &kStereo16), 448u);
  EXPECT_EQ(first.mHostTime, 77u);
}

TEST(CircularBufferAudioRecords, PartialConsumptionMovesDataAndTimestamp) {
  Ring ring(8192);
  auto samples = ramp(512, 0);  // 256 stereo frames
  StackList src(samples.data(), 1024);
  AudioTimeStamp ts{};
  ts.mSampleTime = 1000;
  ts.mHostTime = 5'000'000;
  ts.mFlags = kAudioTimeStampSampleTimeValid;
  ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &src.list, &ts, 256, &kStereo16));

  std::vector<std::int16_t> dst(400, -1);
  StackList out(dst.data(), 800);
  UInt32 frames = 100;
  AudioTimeStamp got{};
  circularBufferDequeueBufferListFrames(ring.get(), &frames, &out.list, &got, &kStereo16);
  EXPECT_EQ(frames, 100u);
  EXPECT_EQ(out.list.mBuffers[0].mDataByteSize, 400u);
  EXPECT_EQ(got.mSampleTime, 1000);
  EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + 200, samples.begin()));
  EXPECT_EQ(dst[200], -1);  // past the delivered bytes nothing is touched

  AudioTimeStamp next{};
  AudioBufferList* rest = circularBufferOldestBufferList(ring.get(), &next);
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->mBuffers[0].mDataByteSize, 156u * 4);
  EXPECT_EQ(static_cast<std::int16_t*>(rest->mBuffers[0].mData)[0], 200);
  EXPECT_EQ(next.mSampleTime, 1100);
  EXPECT_EQ(next.mHostTime, 5'000'000u);  // host time flag clear
  EXPECT_EQ(circularBufferPeek(ring.get(), nullptr, &kStereo16), 156u);

  // With the host time flag set, the host time moves by frames / rate.
  circularBufferDiscardAll(ring.get());
  ts.mFlags = kAudioTimeStampHostTimeValid;
  ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &src.list, &ts, 256, &kStereo16));
  circularBufferConsumeNextBufferListPartial(ring.get(), 441 / 4, &kStereo16);
  circularBufferOldestBufferList(ring.get(), &next);
  EXPECT_EQ(next.mSampleTime, 1000);
  EXPECT_NEAR(double(next.mHostTime), 5'000'000 + 110.0 / 44100 * 1e9, 1.0);
}

TEST(CircularBufferAudioRecords, DequeueAcrossRecordsAndPastTheEnd) {
  Ring ring(8192);
  auto a = ramp(200, 0);    // 100 frames
  auto b = ramp(200, 200);  // 100 frames
  StackList la(a.data(), 400), lb(b.data(), 400);
  AudioTimeStamp ta{}, tb{};
  ta.mSampleTime = 10;
  ta.mFlags = tb.mFlags = kAudioTimeStampSampleTimeValid;
  tb.mSampleTime = 110;
  ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &la.list, &ta, kCircularBufferCopyAll,
                                                nullptr));
  ASSERT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &lb.list, &tb, kCircularBufferCopyAll,
                                                nullptr));

  std::vector<std::int16_t> dst(600, -1);
  StackList out(dst.data(), 1200);
  UInt32 frames = 300;
  AudioTimeStamp got{};
  circularBufferDequeueBufferListFrames(ring.get(), &frames, &out.list, &got, &kStereo16);
  EXPECT_EQ(frames, 200u);
  EXPECT_EQ(out.list.mBuffers[0].mDataByteSize, 800u);
  EXPECT_EQ(got.mSampleTime, 10);
  auto expected = ramp(400, 0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dst.begin()));
  EXPECT_EQ(dst[400], -1);
  EXPECT_EQ(fill(ring.get()), 0);

  frames = 50;
  got.mSampleTime = 99;
  circularBufferDequeueBufferListFrames(ring.get(), &frames, &out.list, &got, &kStereo16);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(got.mSampleTime, 0);
  EXPECT_EQ(out.list.mBuffers[0].mDataByteSize, 0u);
}

TEST(CircularBufferAudioRecords, RecordsWrapAroundTheEndIntact) {
  Ring ring(4096);
  const std::int32_t length = ring->length;
  std::vector<std::int16_t> samples(700);
  std::int16_t next = 0;
  std::int16_t expect = 0;
  // Odd record sizes march the write position through every alignment of the
  // end of the storage.
  for (int round = 0; round < 200; ++round) {
    const UInt32 frames = 37 + UInt32(round * 13) % 300;
    for (UInt32 i = 0; i < frames * 2; ++i) samples[i] = next++;
    StackList src(samples.data(), frames * 4);
    ASSERT_TRUE(
        circularBufferCopyAudioBufferList(ring.get(), &src.list, nullptr, frames, &kStereo16));
    AudioBufferList* stored = circularBufferOldestBufferList(ring.get(), nullptr);
    ASSERT_NE(stored, nullptr);
    const auto* data = static_cast<const std::int16_t*>(stored->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames * 2; ++i) ASSERT_EQ(data[i], expect++) << round;
    circularBufferConsumeOldestBufferList(ring.get());
    ASSERT_EQ(ring->head, ring->tail);
    ASSERT_LT(ring->head, length);
  }
}

TEST(CircularBufferAudioRecords, PreparedRecordShrinksBeforePublishing) {
  Ring ring(4096);
  AudioBufferList* list = circularBufferPrepareEmptyAudioBufferList(ring.get(), 2, 1000, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(fill(ring.get()), 0);  // nothing published yet
  for (UInt32 i = 0; i < 2; ++i) list->mBuffers[i].mDataByteSize = 40;
  AudioTimeStamp ts{};
  ts.mSampleTime = 5;
  ts.mFlags = kAudioTimeStampSampleTimeValid;
  circularBufferProduceAudioBufferList(ring.get(), &ts);
  const std::int32_t stored = fill(ring.get());
  EXPECT_EQ(stored % 16, 0);
  EXPECT_LT(stored, 2000);
  EXPECT_EQ(circularBufferPeek(ring.get(), nullptr, &kStereo16), 10u);
  // A record that cannot fit is refused.
  EXPECT_EQ(circularBufferPrepareEmptyAudioBufferList(ring.get(), 1, UInt32(ring->length), nullptr),
            nullptr);
}

TEST(CircularBufferAudioRecords, FullRingRefusesRecordAndKeepsContents) {
  Ring ring(4096);
  std::vector<std::uint8_t> bytes(4096, 3);
  StackList big(bytes.data(), 1024);
  int stored = 0;
  while (circularBufferCopyAudioBufferList(ring.get(), &big.list, nullptr, kCircularBufferCopyAll,
                                           nullptr)) {
    ++stored;
  }
  const std::int32_t before = fill(ring.get());
  const std::int32_t head = ring->head;
  // A single-buffer record takes a 64-byte header before its data: one byte
  // more than the space left is refused and changes nothing.
  const UInt32 room = UInt32(ring->length - before) - 64;
  StackList tooBig(bytes.data(), room + 1);
  EXPECT_FALSE(circularBufferCopyAudioBufferList(ring.get(), &tooBig.list, nullptr,
                                                 kCircularBufferCopyAll, nullptr));
  EXPECT_EQ(fill(ring.get()), before);
  EXPECT_EQ(ring->head, head);
  EXPECT_EQ(circularBufferPeek(ring.get(), nullptr, &kStereo16), UInt32(stored) * 256);
  StackList exact(bytes.data(), room);
  EXPECT_TRUE(circularBufferCopyAudioBufferList(ring.get(), &exact.list, nullptr,
                                                kCircularBufferCopyAll, nullptr));
  EXPECT_EQ(fill(ring.get()), ring->length);
}

TEST(OpusPacketRecords, ExactFitSucceedsOneByteLessFails) {
  auto packet = makeOpusPacket(64);
  packet->kind = OpusPacketKind::Audio;
  packet->sessionNumber = 3;
  packet->packetNumber = 9;
  packet->frameCount = 2880;
  packet->dataLength = 40;
  for (int i = 0; i < 40; ++i) packet->data[i] = std::uint8_t(i * 7);
  const std::int32_t record = opusPacketRecordSize(opusPacketSize(packet.get()));
  EXPECT_GE(record, std::int32_t(4 + kOpusPacketHeaderSize + 40));

  for (std::int32_t slack : {0, -1}) {
    Ring ring(4096);
    // Fill so that exactly record + slack bytes remain free.
    const std::int32_t pad = ring->length - (record + slack);
    std::vector<std::uint8_t> filler(std::size_t(pad), 0);
    ASSERT_TRUE(circularBufferProduceBytes(ring.get(), filler.data(), pad));
    const bool written = opusPacketBufferWrite(ring.get(), packet.get());
    EXPECT_EQ(written, slack == 0);
    EXPECT_EQ(fill(ring.get()), slack == 0 ? ring->length : pad);
  }
}

TEST(OpusPacketRecords, PeekReadsInPlaceAndConsumeReportsFill) {
  Ring ring(4096);
  EXPECT_EQ(opusPacketBufferPeek(ring.get()), nullptr);
  EXPECT_EQ(opusPacketBufferConsume(ring.get()), 0);
  AudioBufferList marker{};
  auto packet = makeOpusPacket(0);
  packet->kind = OpusPacketKind::SessionStart;
  packet->audioBufferList = &marker;
  packet->timestamp = 1234;
  ASSERT_TRUE(opusPacketBufferWrite(ring.get(), packet.get()));
  auto second = makeOpusPacket(3);
  second->dataLength = 3;
  std::memcpy(second->data, "abc", 3);
  ASSERT_TRUE(opusPacketBufferWrite(ring.get(), second.get()));

  OpusPacket* first = opusPacketBufferPeek(ring.get());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % alignof(OpusPacket), 0u);
  EXPECT_EQ(first->kind, OpusPacketKind::SessionStart);
  EXPECT_EQ(first->audioBufferList, &marker);
  EXPECT_EQ(first->timestamp, 1234u);
  EXPECT_EQ(first->dataLength, 0u);
  const std::int32_t left = opusPacketBufferConsume(ring.get());
  EXPECT_EQ(left, opusPacketRecordSize(kOpusPacketHeaderSize + 3));
  OpusPacket* next = opusPacketBufferPeek(ring.get());
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(std::memcmp(next->data, "abc", 3), 0);
  EXPECT_EQ(opusPacketBufferConsume(ring.get()), 0);
}

TEST(OpusPacketRecords, CreateZeroesOnlyTheHeader) {
  OpusPacket* packet = opusPacketCreate(614);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->kind, OpusPacketKind::Audio);
  EXPECT_EQ(packet->audioBufferList, nullptr);
  EXPECT_EQ(opusPacketSize(packet), kOpusPacketHeaderSize);
  packet->sessionNumber = 8;
  packet->dataLength = 614;
  packet->data[613] = 1;
  opusPacketClearHeader(packet);
  EXPECT_EQ(packet->sessionNumber, 0u);
  EXPECT_EQ(packet->dataLength, 0u);
  EXPECT_EQ(packet->data[613], 1);
  opusPacketFree(packet);
}

}  // namespace
}  // namespace qur
