// Channels, filters and receivers for engine tests and benchmarks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"

namespace qur::testing {

// Writes the same value into every sample, or nothing while `silent`.
class ConstantChannel : public AudioPlayable {
 public:
  explicit ConstantChannel(int16_t value) : value(value) {}
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<ConstantChannel*>(channel);
    self->renders.fetch_add(1, std::memory_order_relaxed);
    if (self->removed.load(std::memory_order_acquire)) {
      self->callsAfterRemoval.fetch_add(1, std::memory_order_relaxed);
    }
    if (self->silent.load(std::memory_order_relaxed)) return noErr;
    auto* samples = static_cast<int16_t*>(audio->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames * 2; ++i) samples[i] = self->value;
    return noErr;
  }
  int16_t value;
  std::atomic<bool> silent{false};
  std::atomic<bool> removed{false};
  std::atomic<int> renders{0};
  std::atomic<int> callsAfterRemoval{0};
};

// Renders Derived::nextSample() into both channels of every frame.
template <class Derived>
class StereoGeneratorChannel : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<Derived*>(channel);
    auto* samples = static_cast<int16_t*>(audio->mBuffers[0].mData);
    for (UInt32 f = 0; f < frames; ++f) {
      const int16_t v = self->nextSample();
      samples[2 * f] = v;
      samples[2 * f + 1] = v;
    }
    return noErr;
  }
};

// A sine on both channels at a peak level of `amplitude` (0..1).
class ToneChannel : public StereoGeneratorChannel<ToneChannel> {
 public:
  ToneChannel(double frequency, double amplitude, double rate = 44100.0)
      : _step(2 * M_PI * frequency / rate), _amplitude(amplitude * 32767.0) {}
  int16_t nextSample() {
    const auto v = static_cast<int16_t>(_amplitude * std::sin(_phase));
    _phase += _step;
    if (_phase > 2 * M_PI) _phase -= 2 * M_PI;
    return v;
  }

 private:
  double _phase = 0;
  double _step;
  double _amplitude;
};

// Applies sample = sample * multiply + add to what it pulls; or pulls nothing.
class ArithmeticFilter : public AudioFilter {
 public:
  ArithmeticFilter(int multiply, int add, bool pull = true)
      : multiply(multiply), add(add), pull(pull) {}
  AudioEngineFilterCallback filterCallback() const override { return &filter; }
  static OSStatus filter(AudioFilter* object, AudioEngine*, AudioEngineAudioProducer producer,
                         void* token, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<ArithmeticFilter*>(object);
    if (!self->pull) return noErr;
    UInt32 got = frames;
    const OSStatus status = producer(token, audio, &got);
    auto* samples = static_cast<int16_t*>(audio->mBuffers[0].mData);
    for (UInt32 i = 0; i < got * 2; ++i) {
      samples[i] = static_cast<int16_t>(samples[i] * self->multiply + self->add);
    }
    return status;
  }
  int multiply, add;
  bool pull;
};

// Remembers the first sample of every cycle it was given (up to a capacity
// fixed at creation, so recording never allocates).
class RecordingReceiver : public AudioReceiver {
 public:
  explicit RecordingReceiver(size_t capacity = 100000) : firstSamples(capacity, 0) {}
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* object, AudioEngine*, int source, const AudioTimeStamp*,
                      UInt32 frames, const AudioBufferList* audio) {
    auto* self = static_cast<RecordingReceiver*>(object);
    const size_t n = self->count.load(std::memory_order_relaxed);
    if (n >= self->firstSamples.size() || frames == 0) return;
    self->firstSamples[n] = static_cast<const int16_t*>(audio->mBuffers[0].mData)[0];
    self->lastSource = source;
    self->lastBytes = audio->mBuffers[0].mDataByteSize;
    self->count.store(n + 1, std::memory_order_release);
  }
  std::vector<int16_t> firstSamples;
  std::atomic<size_t> count{0};
  int lastSource = 0;
  UInt32 lastBytes = 0;
};

// The level of the left input channel: its energy over the frames given
// since the last reset(), after the first `skipFrames` (start-up).
class LevelReceiver : public AudioReceiver {
 public:
  explicit LevelReceiver(std::uint64_t skipFrames = 0) : skipFrames(skipFrames) {}
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* object, AudioEngine*, int, const AudioTimeStamp*,
                      UInt32 frames, const AudioBufferList* audio) {
    auto* self = static_cast<LevelReceiver*>(object);
    if (self->framesSeen.fetch_add(frames) < self->skipFrames) return;
    const auto* samples = static_cast<const int16_t*>(audio->mBuffers[0].mData);
    double energy = 0;
    for (UInt32 f = 0; f < frames; ++f) energy += double(samples[2 * f]) * samples[2 * f];
    self->energy.store(self->energy.load() + energy);
    self->framesMeasured.fetch_add(frames);
  }
  void reset() {
    energy = 0;
    framesMeasured = 0;
  }
  double rms() const {
    return std::sqrt(energy.load() / std::max(1.0, double(framesMeasured.load())));
  }
  double dbfs() const { return 20 * std::log10(std::max(rms(), 1e-3) / 32767.0); }
  const std::uint64_t skipFrames;
  std::atomic<std::uint64_t> framesSeen{0};
  std::atomic<std::uint64_t> framesMeasured{0};
  std::atomic<double> energy{0};
};

// The largest magnitude of any sample in the last cycle it was given.
class PeakReceiver : public AudioReceiver {
 public:
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* object, AudioEngine*, int, const AudioTimeStamp*,
                      UInt32 frames, const AudioBufferList* audio) {
    auto* self = static_cast<PeakReceiver*>(object);
    const auto* s = static_cast<const int16_t*>(audio->mBuffers[0].mData);
    self->peak = 0;
    for (UInt32 i = 0; i < frames * 2; ++i) self->peak = std::max(self->peak, std::abs(int(s[i])));
  }
  // dBFS of the peak.
  double peakDb() const { return 20 * std::log10(peak / 32767.0); }
  int peak = 0;
};

// A real-time virtual device whose microphone plays sample(frame) on every
// channel and whose speaker output is kept in memory. `framesFed` counts the
// microphone frames written so far.
inline VirtualDeviceOptions fedRealTimeDeviceOptions(
    std::function<int16_t(std::uint64_t frame)> sample, std::atomic<std::uint64_t>& framesFed,
    uint32_t memoryFrames) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::RealTime;
  options.input = VirtualDeviceOptions::Input::Feed;
  options.feed = [sample = std::move(sample), &framesFed](int16_t* samples, uint32_t frames,
                                                          int channels) {
    const std::uint64_t first = framesFed.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < frames; ++i) {
      const int16_t v = sample(first + i);
      for (int c = 0; c < channels; ++c) samples[i * channels + c] = v;
    }
    framesFed.store(first + frames, std::memory_order_release);
  };
  options.output = VirtualDeviceOptions::Output::Memory;
  options.memoryCapacityFrames = memoryFrames;
  return options;
}

inline std::unique_ptr<VirtualDevice> makeVirtualDevice(VirtualDeviceOptions::Clock clock,
                                                        uint32_t memoryFrames = 0) {
  VirtualDeviceOptions options;
  options.clock = clock;
  if (memoryFrames) {
    options.output = VirtualDeviceOptions::Output::Memory;
    options.memoryCapacityFrames = memoryFrames;
  }
  return std::make_unique<VirtualDevice>(options);
}

}  // namespace qur::testing
