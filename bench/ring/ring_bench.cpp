// Packet records through a ring between a producer thread and a consumer
// thread, against a single-thread memcpy of the same bytes in the same run.
// Prints bytes per second for both and their ratio.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/circular_buffer.h"
#include "audio/opus_packet.h"

namespace {

using Clock = std::chrono::steady_clock;

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

double ringSeconds(std::uint32_t payload, std::uint64_t packets) {
  qur::CircularBuffer ring;
  qur::circularBufferSetUp(&ring, 102400);
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
  gCheck = checksum;
  qur::opusPacketFree(packet);
  qur::circularBufferTearDown(&ring);
  return seconds;
}

double memcpySeconds(std::uint32_t payload, std::uint64_t packets) {
  // Same bytes, same chunk size, through a buffer the size of the ring.
  std::vector<std::uint8_t> from(102400, 1), to(102400);
  gSizeSink = payload;
  const std::size_t size = gSizeSink;
  const std::size_t slots = from.size() / size;
  const auto start = Clock::now();
  for (std::uint64_t n = 0; n < packets; ++n) {
    const std::size_t at = (n % slots) * size;
    std::memcpy(to.data() + at, from.data() + at, size);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  gCheck = to[size - 1];
  return seconds;
}

void run(const char* name, std::uint32_t payload, std::uint64_t packets, double target) {
  double ring = 1e9, copy = 1e9;
  for (int round = 0; round < 5; ++round) {
    ring = std::min(ring, ringSeconds(payload, packets));
    copy = std::min(copy, memcpySeconds(payload, packets));
  }
  const double bytes = double(payload) * double(packets);
  const double ratio = (bytes / ring) / (bytes / copy);
  std::printf(
      "%-24s ring %8.1f MB/s (%5.1f ns/packet)  memcpy %8.1f MB/s  ratio %.3f  target >= %.2f %s\n",
      name, bytes / ring / 1e6, ring / double(packets) * 1e9, bytes / copy / 1e6, ratio, target,
      ratio >= target ? "met" : "MISSED");
}

}  // namespace

int main() {
  std::printf("2 threads (producer, consumer) vs 1-thread memcpy; best of 5\n");
  run("64-byte packets", 64, 4'000'000, 0.2);
  run("4 KiB records", 4096, 200'000, 0.5);
  return 0;
}
