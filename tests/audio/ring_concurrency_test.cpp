// Producer and consumer threads exchanging records through one ring, the way
// the audio thread meets the poll and receive threads. Every byte is checked.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "audio/circular_buffer.h"
#include "audio/opus_packet.h"
#include "support/alloc_guard.h"

namespace qur {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kSlowBuild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif
#elif defined(__SANITIZE_ADDRESS__)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif

// Failures found on the worker threads, reported after they finish (test
// assertions allocate, and the threads run under the allocation guard).
struct Faults {
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::uint64_t> first{~0ull};
  void note(std::uint64_t where) {
    if (count.fetch_add(1) == 0) first = where;
  }
};

std::uint8_t dataByte(std::uint32_t seq, std::uint32_t i) {
  return std::uint8_t(seq * 31u + i * 7u + (i >> 8));
}

TEST(CircularBufferConcurrency, PacketRecordsArriveIntactAndInOrder) {
  const std::uint32_t kPackets = kSlowBuild ? 100'000 : 1'000'000;
  CircularBuffer ring;
  ASSERT_TRUE(circularBufferSetUp(&ring, 102400));
  Faults faults;
  std::atomic<std::size_t> producerAllocations{0}, consumerAllocations{0};

  std::thread producer([&] {
    OpusPacket* packet = opusPacketCreate(1275);
    testing::AllocationGuard::arm();
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
      packet->kind = OpusPacketKind(seq % 3);
      packet->timestamp = seq ^ 0x5A5A5A5Au;
      packet->sessionNumber = seq / 1000;
      packet->packetNumber = seq;
      packet->audioBufferList = reinterpret_cast<AudioBufferList*>(std::uintptr_t(seq) * 16);
      packet->frameCount = seq % 5760;
      packet->dataLength = (seq * 2654435761u >> 7) % 1276;
      for (std::uint32_t i = 0; i < packet->dataLength; ++i) packet->data[i] = dataByte(seq, i);
      while (!opusPacketBufferWrite(&ring, packet)) std::this_thread::yield();
    }
    producerAllocations = testing::AllocationGuard::disarm();
    opusPacketFree(packet);
  });

  std::thread consumer([&] {
    testing::AllocationGuard::arm();
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
      OpusPacket* p;
      while (!(p = opusPacketBufferPeek(&ring))) std::this_thread::yield();
      bool ok =
          reinterpret_cast<std::uintptr_t>(p) % alignof(OpusPacket) == 0 &&
          p->kind == OpusPacketKind(seq % 3) && p->timestamp == (seq ^ 0x5A5A5A5Au) &&
          p->sessionNumber == seq / 1000 && p->packetNumber == seq &&
          p->audioBufferList == reinterpret_cast<AudioBufferList*>(std::uintptr_t(seq) * 16) &&
          p->frameCount == seq % 5760 && p->dataLength == (seq * 2654435761u >> 7) % 1276;
      for (std::uint32_t i = 0; ok && i < p->dataLength; ++i) ok = p->data[i] == dataByte(seq, i);
      if (!ok) faults.note(seq);
      opusPacketBufferConsume(&ring);
    }
    consumerAllocations = testing::AllocationGuard::disarm();
  });
  producer.join();
  consumer.join();

  EXPECT_EQ(faults.count.load(), 0u) << "first bad packet " << faults.first.load();
  EXPECT_EQ(circularBufferFillCount(&ring), 0);
  EXPECT_EQ(ring.head, ring.tail);
  EXPECT_EQ(producerAllocations.load(), 0u);
  EXPECT_EQ(consumerAllocations.load(), 0u);
  circularBufferTearDown(&ring);
}

// Audio records of random sizes, published by copy or by prepare-shrink-
// produce, taken out in differently sized dequeues that cut records apart.
// Sample n of the stream is n on the left and ~n on the right; each record's
// sample time is the index of its first frame, so every dequeue's timestamp
// must equal the index of the first frame it delivers.
TEST(CircularBufferConcurrency, AudioRecordsDequeueAcrossBoundaries) {
  const std::uint32_t kFrames = kSlowBuild ? 10'000'000 : 400'000'000;
  const AudioStreamBasicDescription split = makeLinearPCMFormat(48000, 2, false, false);
  CircularBuffer ring;
  ASSERT_TRUE(circularBufferSetUp(&ring, 102400));
  Faults faults;
  std::atomic<std::size_t> allocations{0};
  std::atomic<std::uint64_t> peeks{0};

  std::thread producer([&] {
    std::vector<std::int16_t> left(1024), right(1024);
    AudioBufferList* source =
        static_cast<AudioBufferList*>(std::malloc(audioBufferListHeaderSize(2)));
    std::mt19937 rng(1);
    testing::AllocationGuard::arm();
    std::uint32_t next = 0;
    while (next < kFrames) {
      const std::uint32_t frames = std::min<std::uint32_t>(1 + rng() % 1024, kFrames - next);
      AudioTimeStamp ts{};
      ts.mSampleTime = next;
      ts.mHostTime = std::uint64_t(next) * 1000;
      ts.mFlags = kAudioTimeStampSampleTimeValid;
      if (rng() % 2) {
        for (std::uint32_t i = 0; i < frames; ++i) {
          left[i] = std::int16_t(next + i);
          right[i] = std::int16_t(~(next + i));
        }
        source->mNumberBuffers = 2;
        source->mBuffers[0] = AudioBuffer{1, frames * 2, left.data()};
        source->mBuffers[1] = AudioBuffer{1, frames * 2, right.data()};
        while (!circularBufferCopyAudioBufferList(&ring, source, &ts, frames, &split)) {
          std::this_thread::yield();
        }
      } else {
        // Reserve room for more than is written, then shrink before publishing.
        AudioBufferList* list;
        while (!(list = circularBufferPrepareEmptyAudioBufferList(&ring, 2, 2048, nullptr))) {
          std::this_thread::yield();
        }
        auto* l = static_cast<std::int16_t*>(list->mBuffers[0].mData);
        auto* r = static_cast<std::int16_t*>(list->mBuffers[1].mData);
        for (std::uint32_t i = 0; i < frames; ++i) {
          l[i] = std::int16_t(next + i);
          r[i] = std::int16_t(~(next + i));
        }
        list->mBuffers[0].mDataByteSize = list->mBuffers[1].mDataByteSize = frames * 2;
        circularBufferProduceAudioBufferList(&ring, &ts);
      }
      next += frames;
    }
    allocations += testing::AllocationGuard::disarm();
    std::free(source);
  });

  std::thread consumer([&] {
    std::vector<std::int16_t> left(1500), right(1500);
    AudioBufferList* destination =
        static_cast<AudioBufferList*>(std::malloc(audioBufferListHeaderSize(2)));
    destination->mNumberBuffers = 2;
    std::mt19937 rng(2);
    testing::AllocationGuard::arm();
    std::uint32_t next = 0;
    while (next < kFrames) {
      if (rng() % 64 == 0) {
        // Walking the stored records while the producer appends.
        AudioTimeStamp first{};
        if (circularBufferPeek(&ring, &first, &split) > 0 && first.mSampleTime != next) {
          faults.note(next);
        }
        ++peeks;
      }
      destination->mBuffers[0] = AudioBuffer{1, 3000, left.data()};
      destination->mBuffers[1] = AudioBuffer{1, 3000, right.data()};
      UInt32 frames = 1 + rng() % 1500;
      AudioTimeStamp ts{};
      circularBufferDequeueBufferListFrames(&ring, &frames, destination, &ts, &split);
      if (frames == 0) {
        std::this_thread::yield();
        continue;
      }
      bool ok = ts.mSampleTime == next && destination->mBuffers[0].mDataByteSize == frames * 2 &&
                destination->mBuffers[1].mDataByteSize == frames * 2;
      for (UInt32 i = 0; ok && i < frames; ++i) {
        ok = left[i] == std::int16_t(next + i) && right[i] == std::int16_t(~(next + i));
      }
      if (!ok) faults.note(next);
      next += frames;
    }
    allocations += testing::AllocationGuard::disarm();
    std::free(destination);
  });
  producer.join();
  consumer.join();

  EXPECT_EQ(faults.count.load(), 0u) << "first bad frame " << faults.first.load();
  EXPECT_GT(peeks.load(), 0u);
  EXPECT_EQ(circularBufferFillCount(&ring), 0);
  EXPECT_EQ(allocations.load(), 0u);
  circularBufferTearDown(&ring);
}

// A one-page ring that the producer fills to the last byte and the consumer
// drains to empty over and over, so each side keeps running out of what its
// last look at the other side's counter promised and must look again, while
// records cross the end of the storage and the byte counters wrap past 2^32.
// A bystander thread reads the fill count all along, as idle checks do.
TEST(CircularBufferConcurrency, SmallRingRunsFullAndEmptyAcrossCounterWrap) {
  const std::uint32_t kPackets = kSlowBuild ? 20'000 : 200'000;
  CircularBuffer ring;
  ASSERT_TRUE(circularBufferSetUp(&ring, 4096));
  // The state after all but 64 KiB of 4 GiB have passed through.
  const std::uint32_t start = 0u - 65536u;
  ring.head = ring.tail = std::int32_t(start % std::uint32_t(ring.length));
  ring.produced = ring.consumed = ring.seenProduced = ring.seenConsumed = start;

  Faults faults;
  std::atomic<std::uint64_t> refusals{0}, emptyPeeks{0}, badFills{0};
  std::atomic<bool> done{false};
  std::thread producer([&] {
    OpusPacket* packet = opusPacketCreate(600);
    std::uint64_t refused = 0;
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
      packet->packetNumber = seq;
      // Record sizes of 40 to 640 bytes in steps of 8: every multiple of 8
      // in a page is reached as a fill level, the exact full one included.
      packet->dataLength = (seq * 7u % 76u) * 8u;
      for (std::uint32_t i = 0; i < packet->dataLength; ++i) packet->data[i] = dataByte(seq, i);
      while (!opusPacketBufferWrite(&ring, packet)) {
        ++refused;
        std::this_thread::yield();
      }
    }
    refusals = refused;
    opusPacketFree(packet);
  });
  std::thread consumer([&] {
    std::uint64_t empty = 0;
    for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
      OpusPacket* p;
      while (!(p = opusPacketBufferPeek(&ring))) {
        ++empty;
        std::this_thread::yield();
      }
      bool ok = p->packetNumber == seq && p->dataLength == (seq * 7u % 76u) * 8u;
      for (std::uint32_t i = 0; ok && i < p->dataLength; ++i) ok = p->data[i] == dataByte(seq, i);
      if (!ok) faults.note(seq);
      // Now and then hold on, so that the producer runs into a full ring.
      if (seq % 4096 == 0) std::this_thread::yield();
      opusPacketBufferConsume(&ring);
    }
    emptyPeeks = empty;
  });
  std::thread bystander([&] {
    while (!done.load()) {
      const std::int32_t fill = circularBufferFillCount(&ring);
      if (fill < 0 || fill > ring.length) ++badFills;
      std::this_thread::yield();
    }
  });
  producer.join();
  consumer.join();
  done = true;
  bystander.join();

  EXPECT_EQ(faults.count.load(), 0u) << "first bad packet " << faults.first.load();
  EXPECT_EQ(badFills.load(), 0u);
  EXPECT_GT(refusals.load(), 0u);
  EXPECT_GT(emptyPeeks.load(), 0u);
  EXPECT_EQ(circularBufferFillCount(&ring), 0);
  EXPECT_EQ(ring.head, ring.tail);
  EXPECT_LT(ring.produced.load(), start);  // the counters did wrap
  circularBufferTearDown(&ring);
}

TEST(CircularBufferConcurrency, ByteStreamKeepsEveryByte) {
  const std::uint64_t kBytes = kSlowBuild ? 20'000'000 : 400'000'000;
  CircularBuffer ring;
  ASSERT_TRUE(circularBufferSetUp(&ring, 10400));
  Faults faults;
  std::thread producer([&] {
    std::mt19937 rng(3);
    std::uint8_t chunk[5000];
    std::uint64_t sent = 0;
    while (sent < kBytes) {
      const auto n = std::int32_t(std::min<std::uint64_t>(1 + rng() % 5000, kBytes - sent));
      for (std::int32_t i = 0; i < n; ++i)
        chunk[i] = std::uint8_t((sent + i) * 13 + ((sent + i) >> 11));
      while (!circularBufferProduceBytes(&ring, chunk, n)) std::this_thread::yield();
      sent += std::uint64_t(n);
    }
  });
  std::thread consumer([&] {
    std::mt19937 rng(4);
    std::uint8_t chunk[7000];
    std::uint64_t got = 0;
    while (got < kBytes) {
      const std::int32_t n =
          circularBufferConsumeBytes(&ring, chunk, std::int32_t(1 + rng() % 7000));
      if (n == 0) std::this_thread::yield();
      for (std::int32_t i = 0; i < n; ++i) {
        if (chunk[i] != std::uint8_t((got + i) * 13 + ((got + i) >> 11))) faults.note(got + i);
      }
      got += std::uint64_t(n);
    }
  });
  producer.join();
  consumer.join();
  EXPECT_EQ(faults.count.load(), 0u) << "first bad byte " << faults.first.load();
  circularBufferTearDown(&ring);
}

}  // namespace
}  // namespace qur
