// Voice processing on the echo bench (espeak-ng speech, a virtual device
// whose microphone hears its own speaker), each figure beside a baseline
// measured in the same run:
//   - echo return loss enhancement after 2 s of far-end speech, for echo
//     delays across the range (target >= 25 dB), against the bench without
//     processing;
//   - CPU per 10 ms block of the whole processor (rings, both resamplers,
//     the library) against bare library calls on the same audio already at
//     the library's rate (target ratio <= 1.2);
//   - CPU of the send chain (voice processing, dynamics, Opus encoding) with
//     processing on against off.
#include <time.h>

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/dynamic_range_compressor.h"
#include "audio/engine/voice_processor.h"
#include "audio/opus_encoder.h"
#include "audio/pcm_format_converter.h"
#include "support/echo_bench.h"

namespace qur {
namespace {

constexpr int kRepeats = 3;
constexpr UInt32 kCycle = 441;

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The microphone of a double-talk run without processing, and what the
// speaker played meanwhile (the far-end file from its start, looped).
struct BlockData {
  std::vector<int16_t> microphone;
  std::vector<int16_t> reference;
};

BlockData blockData(const testing::EchoBenchFiles& files) {
  testing::EchoBenchSetup setup;
  setup.nearEnd = true;
  setup.noise = true;
  setup.voiceProcessing = false;
  const testing::EchoBenchRun run = testing::runEchoBench(files, setup);
  BlockData data;
  data.microphone = run.microphone;
  const std::vector<int16_t> far = testing::readWav(files.farEnd);
  data.reference.resize(data.microphone.size());
  for (size_t i = 0; i < data.reference.size(); ++i) data.reference[i] = far[i % far.size()];
  return data;
}

// Seconds per block through the processor, run inline on this thread.
double processorPerBlock(const BlockData& data) {
  VoiceProcessingSettings settings;
  settings.dedicatedThread = false;
  auto processor =
      VoiceProcessor::create(AudioEngine::interleaved16BitStereoAudioDescription(), settings);
  processor->start();
  std::vector<int16_t> cycle(kCycle * 2);
  const size_t cycles = data.microphone.size() / 2 / kCycle;
  const double start = threadSeconds();
  for (size_t c = 0; c < cycles; ++c) {
    std::memcpy(cycle.data(), data.microphone.data() + c * kCycle * 2, kCycle * 4);
    processor->processCapture(cycle.data(), kCycle);
    processor->analyzeReference(data.reference.data() + c * kCycle * 2, kCycle);
  }
  const double seconds = threadSeconds() - start;
  processor->stop();
  return seconds / double(std::max<uint64_t>(processor->blocksProcessed(), 1));
}

std::vector<float> toProcessingRate(const std::vector<int16_t>& stereo) {
  auto converter =
      PCMFormatConverter::create(AudioEngine::interleaved16BitStereoAudioDescription(),
                                 makeLinearPCMFormat(VoiceProcessor::kProcessingRate, 1, true));
  std::vector<float> mono, chunk(8192);
  const size_t frames = stereo.size() / 2;
  for (size_t f = 0; f < frames; f += 4096) {
    const auto n = UInt32(std::min<size_t>(4096, frames - f));
    AudioBufferList in{1, {{2, n * 4, const_cast<int16_t*>(stereo.data() + 2 * f)}}};
    converter->feedSamplesFromAudioBufferList(&in, nullptr);
    const UInt32 ready = converter->availableOutputSamples();
    AudioBufferList out{1, {{1, UInt32(chunk.size() * 4), chunk.data()}}};
    converter->fetchIntoAudioBufferList(&out, ready);
    mono.insert(mono.end(), chunk.begin(), chunk.begin() + ready);
  }
  return mono;
}

// Seconds per block of the library alone, configured as the processor does.
double barePerBlock(const std::vector<float>& near, const std::vector<float>& far) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  std::unique_ptr<webrtc::AudioProcessing> library(webrtc::AudioProcessing::Create(config));
  webrtc::ProcessingConfig streams;
  for (auto& stream : streams.streams)
    stream = webrtc::StreamConfig(VoiceProcessor::kProcessingRate, 1);
  library->Initialize(streams);
  library->echo_cancellation()->Enable(true);
  library->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
  library->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh);
  library->noise_suppression()->Enable(true);
  library->high_pass_filter()->Enable(true);
  const webrtc::StreamConfig stream(VoiceProcessor::kProcessingRate, 1);
  constexpr size_t kBlock = VoiceProcessor::kBlockFrames;
  std::vector<float> nearBlock(kBlock), farBlock(kBlock), out(kBlock);
  const size_t blocks = std::min(near.size(), far.size()) / kBlock;
  if (blocks == 0) return 0;
  const double start = threadSeconds();
  for (size_t b = 0; b < blocks; ++b) {
    std::copy_n(far.begin() + ptrdiff_t(b * kBlock), kBlock, farBlock.begin());
    float* f = farBlock.data();
    library->ProcessReverseStream(&f, stream, stream, &f);
    library->set_stream_delay_ms(0);
    std::copy_n(near.begin() + ptrdiff_t(b * kBlock), kBlock, nearBlock.begin());
    const float* n = nearBlock.data();
    float* o = out.data();
    library->ProcessStream(&n, stream, stream, &o);
  }
  return (threadSeconds() - start) / double(std::max<size_t>(blocks, 1));
}

// CPU seconds of the send chain for the bench's audio: the engine's input
// cycle with the dynamics filter and the Opus encoder receiving, all on this
// thread (manual clock), with or without voice processing.
double sendChainSeconds(const testing::EchoBenchFiles& files, bool voiceProcessing,
                        double* audioSeconds) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::Manual;
  options.input = VirtualDeviceOptions::Input::WavFile;
  options.inputFile = files.nearEnd;
  options.echo = true;
  options.noiseFile = files.noise;
  auto owned = std::make_unique<VirtualDevice>(options);
  VirtualDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  engine.setVoiceProcessingEnabled(voiceProcessing);
  auto compressor = DynamicRangeCompressor::create(&engine);
  if (compressor) engine.addInputFilter(compressor);
  auto encoder = OpusEncoder::create(engine.audioDescription());
  engine.addInputReceiver(encoder);
  engine.addChannels({std::make_shared<testing::SamplesChannel>(testing::readWav(files.farEnd))});
  if (!engine.start()) return 0;
  encoder->startEncoding();
  const uint64_t cycles = 800;  // 8 s
  const double start = threadSeconds();
  device->runCycles(cycles);
  const double seconds = threadSeconds() - start;
  encoder->stopEncoding();
  engine.stop();
  *audioSeconds = double(cycles * device->framesPerBuffer()) / 44100.0;
  return seconds;
}

}  // namespace
}  // namespace qur

int main() {
  using namespace qur;
  const testing::EchoBenchFiles files = testing::EchoBenchFiles::make();
  if (!files.ok) {
    std::fprintf(stderr, "voice processing bench: espeak-ng or sox is missing\n");
    return 1;
  }

  std::printf("Echo return loss enhancement after 2 s of far-end speech (target >= 25 dB):\n");
  for (const double delayMs : {20.0, 60.0, 120.0}) {
    testing::EchoBenchSetup setup;
    setup.echoDelayMs = delayMs;
    setup.seconds = 10;
    const double processed = testing::erleDb(testing::runEchoBench(files, setup), 2 * 44100);
    setup.voiceProcessing = false;
    const double bare = testing::erleDb(testing::runEchoBench(files, setup), 2 * 44100);
    std::printf(
        "  echo %3.0f ms later, -6 dB, 4 kHz low-pass: ERLE %.1f dB (without processing "
        "%.1f dB)\n",
        delayMs, processed, bare);
  }

  const BlockData data = blockData(files);
  const std::vector<float> near = toProcessingRate(data.microphone);
  const std::vector<float> far = toProcessingRate(data.reference);
  double whole = 1e9, bare = 1e9;
  for (int r = 0; r < kRepeats; ++r) {
    whole = std::min(whole, processorPerBlock(data));
    bare = std::min(bare, barePerBlock(near, far));
  }
  std::printf(
      "CPU per 10 ms block: processor %.1f us, bare library %.1f us on the same audio, ratio "
      "%.2f (target <= 1.2); %.2f %% of real time\n",
      whole * 1e6, bare * 1e6, whole / bare, whole / 0.01 * 100);

  double on = 1e9, off = 1e9, audio = 0;
  for (int r = 0; r < kRepeats; ++r) {
    on = std::min(on, sendChainSeconds(files, true, &audio));
    off = std::min(off, sendChainSeconds(files, false, &audio));
  }
  std::printf(
      "Send chain (voice processing, dynamics, Opus) per 10 ms: on %.1f us, off %.1f us, ratio "
      "%.2f; on = %.2f %% of real time\n",
      on / audio * 0.01 * 1e6, off / audio * 0.01 * 1e6, on / off, on / audio * 100);
  files.remove();
  return 0;
}
