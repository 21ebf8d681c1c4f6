// Records through a ring between a producer thread and a consumer thread,
// against a single-thread memcpy of the same bytes in chunks of the same size
// in the same run. Prints bytes per second for both and their ratio.
//
// Packet records go through opusPacketBufferWrite/Peek/Consume, the consumer
// copying every payload out before releasing it. Audio records go through
// circularBufferCopyAudioBufferList and circularBufferDequeueBufferListFrames,
// the path audio takes into and out of the encoder and decoder rings.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/circular_buffer.h"
#include "audio/opus_packet.h"

namespace {

using qur::AudioBuffer;
using qur::AudioBufferList;
using qur::AudioStreamBasicDescription;
using qur::AudioTimeStamp;
using qur::Float64;
using qur::UInt32;

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kRingBytes = 102400;  // the size every ring in the system asks for

// Spins briefly, then gives the core away: on a loaded machine the other
// side may not be running at all.
struct Backoff {
  int spins = 0;
  void wait() {
    if (++spins < 64) {
      _mm_pause();
    } else {
      spins = 0;
      std::this_thread::yield();
    }
  }
};

volatile std::size_t gSizeSink;  // keeps memcpy sizes opaque to the optimiser
volatile std::uint64_t gCheck;

double packetRingSeconds(std::uint32_t payload, std::uint64_t packets) {
  qur::CircularBuffer ring;
  qur::circularBufferSetUp(&ring, kRingBytes);
  std::atomic<bool> go{false};
  std::uint64_t checksum = 0;
  std::thread consumer([&] {
    std::vector<std::uint8_t> out(payload);
    while (!go.load()) {
    }
    Backoff backoff;
    for (std::uint64_t n = 0; n < packets;) {
      qur::OpusPacket* p = qur::opusPacketBufferPeek(&ring);
      if (!p) {
        backoff.wait();
        continue;
      }
      // A real consumer reads the packet out before releasing it.
      std::memcpy(out.data(), p->data, p->dataLength);
      checksum += out[0] + p->packetNumber;
      qur::opusPacketBufferConsume(&ring);
      ++n;
    }
  });
  qur::OpusPacket* packet = qur::opusPacketCreate(payload);
  packet->dataLength = payload;
  std::memset(packet->data, 1, payload);
  const auto start = Clock::now();
  go = true;
  Backoff backoff;
  for (std::uint64_t n = 0; n < packets; ++n) {
    packet->packetNumber = std::uint32_t(n);
    while (!qur::opusPacketBufferWrite(&ring, packet)) backoff.wait();
  }
  consumer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (checksum != packets + packets * (packets - 1) / 2) {
    std::fprintf(stderr, "packet ring lost or damaged packets\n");
    std::exit(1);
  }
  gCheck = checksum;
  qur::opusPacketFree(packet);
  qur::circularBufferTearDown(&ring);
  return seconds;
}

double audioRingSeconds(std::uint32_t bytes, std::uint64_t records) {
  const AudioStreamBasicDescription format = qur::engineAudioDescription();
  const UInt32 frames = bytes / format.mBytesPerFrame;
  qur::CircularBuffer ring;
  qur::circularBufferSetUp(&ring, kRingBytes);
  std::atomic<bool> go{false};
  std::uint64_t checksum = 0;
  std::thread consumer([&] {
    std::vector<std::uint8_t> out(bytes);
    AudioBufferList destination{};
    destination.mNumberBuffers = 1;
    AudioTimeStamp ts{};
    while (!go.load()) {
    }
    Backoff backoff;
    for (std::uint64_t n = 0; n < records;) {
      destination.mBuffers[0] = AudioBuffer{2, bytes, out.data()};
      UInt32 got = frames;
      qur::circularBufferDequeueBufferListFrames(&ring, &got, &destination, &ts, &format);
      if (got == 0) {
        backoff.wait();
        continue;
      }
      checksum += out[0] + std::uint64_t(ts.mSampleTime) / frames;
      n += got / frames;
    }
  });
  std::vector<std::uint8_t> samples(bytes, 1);
  AudioBufferList source{};
  source.mNumberBuffers = 1;
  source.mBuffers[0] = AudioBuffer{2, bytes, samples.data()};
  AudioTimeStamp ts{};
  ts.mFlags = qur::kAudioTimeStampSampleTimeValid;
  const auto start = Clock::now();
  go = true;
  Backoff backoff;
  for (std::uint64_t n = 0; n < records; ++n) {
    ts.mSampleTime = Float64(n * frames);
    while (!qur::circularBufferCopyAudioBufferList(&ring, &source, &ts, frames, &format)) {
      backoff.wait();
    }
  }
  consumer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (checksum != records + records * (records - 1) / 2) {
    std::fprintf(stderr, "audio ring lost or damaged records\n");
    std::exit(1);
  }
  gCheck = checksum;
  qur::circularBufferTearDown(&ring);
  return seconds;
}

// The least any two-thread handoff of these bytes can cost on this machine:
// fixed slots of exactly the chunk size, 64-byte aligned, in the same number
// of bytes as the ring, with no record layer, no headers and no byte counts,
// each side keeping its view of the other's index. Not a substitute for the
// ring (it cannot hold records of mixed sizes), only a yardstick for it.
double slotQueueSeconds(std::uint32_t chunk, std::uint64_t chunks) {
  struct alignas(64) Index {
    std::atomic<std::uint64_t> published{0};
    std::uint64_t seen = 0;  // the other side's index when last looked at
  };
  const std::uint64_t slots = kRingBytes / chunk;
  std::uint8_t* storage =
      static_cast<std::uint8_t*>(std::aligned_alloc(64, std::size_t(slots) * chunk));
  Index written, read;
  std::atomic<bool> go{false};
  std::uint64_t checksum = 0;
  std::thread consumer([&] {
    std::vector<std::uint8_t> out(chunk);
    while (!go.load()) {
    }
    Backoff backoff;
    for (std::uint64_t n = 0; n < chunks;) {
      if (read.seen == n) {
        read.seen = written.published.load(std::memory_order_acquire);
        if (read.seen == n) {
          backoff.wait();
          continue;
        }
      }
      std::memcpy(out.data(), storage + (n % slots) * chunk, chunk);
      std::uint32_t number = 0;
      std::memcpy(&number, out.data(), sizeof number);
      checksum += number;
      read.published.store(++n, std::memory_order_release);
    }
  });
  std::vector<std::uint8_t> in(chunk, 1);
  const auto start = Clock::now();
  go = true;
  Backoff backoff;
  for (std::uint64_t n = 0; n < chunks; ++n) {
    while (n - written.seen >= slots) {
      written.seen = read.published.load(std::memory_order_acquire);
      if (n - written.seen >= slots) backoff.wait();
    }
    const auto number = std::uint32_t(n);
    std::memcpy(in.data(), &number, sizeof number);
    std::memcpy(storage + (n % slots) * chunk, in.data(), chunk);
    written.published.store(n + 1, std::memory_order_release);
  }
  consumer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (checksum != chunks * (chunks - 1) / 2) {
    std::fprintf(stderr, "slot queue lost chunks\n");
    std::exit(1);
  }
  std::free(storage);
  return seconds;
}

// About the most this machine lets any two-thread handoff reach, whatever the
// queue between the threads: one thread writes a ring-sized region in chunks, then
// the other copies it out in chunks, taking turns so that neither ever waits
// on the other in the middle of a pass. Each pass is timed on its own and
// scaled to the run's bytes. From the second round on, the writer stores into
// lines the reader holds and the reader loads lines the writer holds, which
// is what every record of a busy ring costs.
struct Ceiling {
  double writeSeconds = 0;  // storing into lines the other core has read
  double readSeconds = 0;   // loading lines the other core has written
};

Ceiling crossCoreCeiling(std::uint32_t chunk, std::uint64_t chunks) {
  constexpr int kRounds = 400;
  gSizeSink = chunk;
  const std::size_t size = gSizeSink;
  const std::size_t slots = kRingBytes / size;
  auto* region = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kRingBytes));
  std::memset(region, 0, kRingBytes);
  std::atomic<int> turn{0};  // even: the writer's, odd: the reader's
  double writeTotal = 0;
  std::thread writer([&] {
    std::vector<std::uint8_t> in(size, 1);
    Backoff backoff;
    for (int round = 0; round < kRounds; ++round) {
      while (turn.load(std::memory_order_acquire) != 2 * round) backoff.wait();
      const auto start = Clock::now();
      for (std::size_t slot = 0; slot < slots; ++slot) {
        in[0] = std::uint8_t(slot);
        std::memcpy(region + slot * size, in.data(), size);
      }
      if (round > 0) writeTotal += std::chrono::duration<double>(Clock::now() - start).count();
      turn.store(2 * round + 1, std::memory_order_release);
    }
  });
  double readTotal = 0;
  std::uint64_t checksum = 0;
  std::vector<std::uint8_t> out(size);
  Backoff backoff;
  for (int round = 0; round < kRounds; ++round) {
    while (turn.load(std::memory_order_acquire) != 2 * round + 1) backoff.wait();
    const auto start = Clock::now();
    for (std::size_t slot = 0; slot < slots; ++slot) {
      std::memcpy(out.data(), region + slot * size, size);
      checksum += out[0];
    }
    if (round > 0) readTotal += std::chrono::duration<double>(Clock::now() - start).count();
    turn.store(2 * round + 2, std::memory_order_release);
  }
  writer.join();
  gCheck = checksum;
  std::free(region);
  const double passes = double(chunks) / double(slots);
  return {writeTotal / (kRounds - 1) * passes, readTotal / (kRounds - 1) * passes};
}

double memcpySeconds(std::uint32_t chunk, std::uint64_t chunks) {
  // Same bytes, same chunk size, through a buffer the size of the ring.
  // Page-aligned buffers: where the heap happens to put them would otherwise
  // decide whether loads alias the stores just made, and the baseline would
  // swing from one run to the next.
  auto* from = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kRingBytes));
  auto* to = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kRingBytes));
  std::memset(from, 1, kRingBytes);
  std::memset(to, 0, kRingBytes);
  gSizeSink = chunk;
  const std::size_t size = gSizeSink;
  const std::size_t slots = kRingBytes / size;
  const auto start = Clock::now();
  for (std::uint64_t n = 0; n < chunks; ++n) {
    const std::size_t at = (n % slots) * size;
    std::memcpy(to + at, from + at, size);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  gCheck = to[size - 1];
  std::free(from);
  std::free(to);
  return seconds;
}

template <typename RingRun>
void run(const char* name, std::uint32_t chunk, std::uint64_t count, double target,
         RingRun ringRun) {
  double ring = 1e9, copy = 1e9, slots = 1e9;
  Ceiling ceiling{1e9, 1e9};
  for (int round = 0; round < 5; ++round) {
    ring = std::min(ring, ringRun(chunk, count));
    copy = std::min(copy, memcpySeconds(chunk, count));
    slots = std::min(slots, slotQueueSeconds(chunk, count));
    const Ceiling c = crossCoreCeiling(chunk, count);
    ceiling.writeSeconds = std::min(ceiling.writeSeconds, c.writeSeconds);
    ceiling.readSeconds = std::min(ceiling.readSeconds, c.readSeconds);
  }
  const double bytes = double(chunk) * double(count);
  const double ratio = copy / ring;
  std::printf(
      "%-20s ring %8.1f MB/s (%6.1f ns/record)  memcpy %8.1f MB/s  ratio %.3f  target >= %.2f "
      "%s\n",
      name, bytes / ring / 1e6, ring / double(count) * 1e9, bytes / copy / 1e6, ratio, target,
      ratio >= target ? "met" : "MISSED");
  std::printf(
      "%-20s   bare slot queue %8.1f MB/s (%6.1f ns/record), memcpy ratio %.3f; ring "
      "at %.2f of it\n",
      "", bytes / slots / 1e6, slots / double(count) * 1e9, copy / slots, slots / ring);
  const double bound = copy / std::max(ceiling.writeSeconds, ceiling.readSeconds);
  std::printf(
      "%-20s   cross-core ceiling: writing lines the other core read %8.1f MB/s, reading "
      "lines it wrote %8.1f MB/s: about memcpy ratio %.3f at best%s\n",
      "", bytes / ceiling.writeSeconds / 1e6, bytes / ceiling.readSeconds / 1e6, bound,
      bound < target ? ", below the target" : "");
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::printf(
      "2 threads (producer, consumer) vs 1-thread memcpy of the same bytes in the same chunks;\n"
      "best of 5. The bare slot queue shows what handing the bytes between the two cores\n"
      "costs at the least here; the ceiling, what moving them between the cores allows at all.\n");
  run("64-byte packets", 64, 4'000'000, 0.2, packetRingSeconds);
  run("4 KiB audio records", 4096, 200'000, 0.5, audioRingSeconds);
  run("4 KiB packets", 4096, 200'000, 0.5, packetRingSeconds);
  return 0;
}
