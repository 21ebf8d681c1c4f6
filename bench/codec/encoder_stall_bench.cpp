// How long the audio thread's encoder callback can take while transmissions
// start and stop behind a slow network sink (5 ms per message). Prints the
// worst and 99.9th-percentile callback times beside the same figures with a
// sink that takes no time, measured in the same run.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_encoder.h"
#include "audio/opus_packet.h"

namespace {

using namespace qur;
using qur::OpusEncoder;
using Clock = std::chrono::steady_clock;

constexpr UInt32 kCycle = 441;  // 10 ms at 44.1 kHz
constexpr int kTransmissions = 12;
constexpr auto kTalk = std::chrono::milliseconds(250);

class Sink : public OpusEncoderDelegate {
 public:
  explicit Sink(std::chrono::microseconds perMessage) : _perMessage(perMessage) {}
  void encoderHasNewPacketsInBuffer(OpusEncoder&, CircularBuffer* buffer) override {
    while (opusPacketBufferPeek(buffer)) {
      opusPacketBufferConsume(buffer);
      std::this_thread::sleep_for(_perMessage);
    }
  }
  void encoderDidChangeItsEncodingStatusTo(OpusEncoder&, bool) override {
    std::this_thread::sleep_for(_perMessage);
  }

 private:
  std::chrono::microseconds _perMessage;
};

struct Figures {
  double worstMs = 0;
  double p999Ms = 0;
  std::size_t cycles = 0;
};

Figures run(std::chrono::microseconds perMessage) {
  const auto format = AudioEngine::interleaved16BitStereoAudioDescription();
  auto encoder = OpusEncoder::create(format);
  auto sink = std::make_shared<Sink>(perMessage);
  encoder->setDelegate(sink);

  AudioBufferListPtr cycle(audioBufferListCreateForFormat(format, kCycle));
  auto* samples = static_cast<std::int16_t*>(cycle->mBuffers[0].mData);
  for (UInt32 i = 0; i < kCycle; ++i) {
    const auto v = std::int16_t(8000 * std::sin(2 * M_PI * 440.0 * i / 44100.0));
    samples[2 * i] = samples[2 * i + 1] = v;
  }

  std::atomic<bool> done{false};
  std::vector<double> waits;
  waits.reserve(4096);
  std::thread audio([&] {
    AudioTimeStamp ts{};
    ts.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    auto next = Clock::now();
    while (!done.load()) {
      ts.mHostTime = hostTimeNow();
      const auto t0 = Clock::now();
      OpusEncoder::receive(encoder.get(), &ts, kCycle, cycle.get());
      waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      ts.mSampleTime += kCycle;
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  });
  for (int i = 0; i < kTransmissions; ++i) {
    encoder->startEncoding();
    std::this_thread::sleep_for(kTalk);
    encoder->stopEncoding();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  done.store(true);
  audio.join();

  Figures f;
  f.cycles = waits.size();
  std::sort(waits.begin(), waits.end());
  if (!waits.empty()) {
    f.worstMs = waits.back();
    f.p999Ms = waits[std::min(waits.size() - 1, std::size_t(double(waits.size()) * 0.999))];
  }
  return f;
}

}  // namespace

int main() {
  const Figures fast = run(std::chrono::microseconds(0));
  const Figures slow = run(std::chrono::microseconds(5000));
  std::printf(
      "encoder callback, sink 0 ms/message (baseline): worst %.3f ms, p99.9 %.3f ms, %zu cycles\n",
      fast.worstMs, fast.p999Ms, fast.cycles);
  std::printf(
      "encoder callback, sink 5 ms/message:            worst %.3f ms, p99.9 %.3f ms, %zu cycles\n",
      slow.worstMs, slow.p999Ms, slow.cycles);
  std::printf("worst-wait ratio slow/baseline: %.2f (a 10 ms cycle is the budget)\n",
              fast.worstMs > 0 ? slow.worstMs / fast.worstMs : 0.0);
  return 0;
}
