// Cost of the engine's output cycle against a plain loop that renders the
// same channels into scratch buffers and sums them, the dynamics effect's
// cost against the real-time budget, and a table change while a device
// thread cycles against the same change on a stopped engine. Prints the
// ratios after the run, and the audio thread's id so that its system calls
// can be counted (strace -f -e trace=futex).
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/dynamics_processor.h"
#include "audio/engine/virtual_device.h"
#include "support/engine_test_support.h"

namespace qur {
namespace {

constexpr UInt32 kFrames = 512;

// A recursive oscillator: cheap, like a decoder copying out its PCM.
class ToneChannel : public testing::StereoGeneratorChannel<ToneChannel> {
 public:
  explicit ToneChannel(double frequency) : _step(2 * M_PI * frequency / 44100.0) {}
  int16_t nextSample() {
    const auto v = static_cast<int16_t>(_y * 3000.0f);
    const float next = _k * _y - _yPrevious;
    _yPrevious = _y;
    _y = next;
    return v;
  }

 private:
  double _step;
  float _k = float(2 * std::cos(_step));
  float _y = float(std::sin(_step));
  float _yPrevious = 0;
};

std::vector<std::shared_ptr<AudioPlayable>> makeChannels(int count) {
  std::vector<std::shared_ptr<AudioPlayable>> channels;
  for (int i = 0; i < count; ++i) channels.push_back(std::make_shared<ToneChannel>(200.0 + 37 * i));
  return channels;
}

void BM_EngineOutputCycle(benchmark::State& state) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::Manual;
  options.framesPerBuffer = kFrames;
  auto device = std::make_unique<VirtualDevice>(options);
  VirtualDevice* raw = device.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), false, false,
                     std::move(device));
  engine.addChannels(makeChannels(int(state.range(0))));
  engine.start();
  for (auto _ : state) raw->runCycles(1);
  engine.stop();
}

// The same channels' render functions into scratch buffers, summed: the
// least any mixer has to do.
void BM_PlainLoop(benchmark::State& state) {
  auto channels = makeChannels(int(state.range(0)));
  std::vector<int16_t> scratch(kFrames * 2);
  std::vector<int32_t> sum(kFrames * 2);
  std::vector<int16_t> out(kFrames * 2);
  AudioBufferList* list =
      static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1)));
  list->mNumberBuffers = 1;
  AudioTimeStamp time{};
  for (auto _ : state) {
    std::fill(sum.begin(), sum.end(), 0);
    for (auto& channel : channels) {
      std::memset(scratch.data(), 0, scratch.size() * 2);
      list->mBuffers[0] = AudioBuffer{2, kFrames * 4, scratch.data()};
      channel->renderCallback()(channel.get(), nullptr, &time, kFrames, list);
      for (size_t i = 0; i < sum.size(); ++i) sum[i] += scratch[i];
    }
    for (size_t i = 0; i < sum.size(); ++i) {
      out[i] = int16_t(std::min(32767, std::max(-32768, sum[i])));
    }
    benchmark::DoNotOptimize(out.data());
  }
  std::free(list);
}

void BM_Dynamics10ms(benchmark::State& state) {
  DynamicsProcessor processor;
  processor.initialize(engineAudioDescription(), 4096);
  std::vector<int16_t> block(441 * 2);
  for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(8000 * std::sin(0.05 * double(i)));
  std::vector<int16_t> work(block.size());
  for (auto _ : state) {
    work = block;
    processor.processInt16(work.data(), 441);
    benchmark::DoNotOptimize(work.data());
  }
}

// Learns the audio thread's id in its first render (one system call, before
// the measured changes begin).
class ThreadIdChannel : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable*, AudioEngine*, const AudioTimeStamp*, UInt32,
                         AudioBufferList*) {
    if (audioThreadId.load(std::memory_order_relaxed) == 0) {
      audioThreadId.store(long(syscall(SYS_gettid)), std::memory_order_relaxed);
    }
    return noErr;
  }
  static inline std::atomic<long> audioThreadId{0};
};

// One add and one remove of a channel; range(0) says whether a free-running
// device thread cycles meanwhile (and takes the change over) or the engine
// is stopped (and the calling thread makes it).
void BM_TableChange(benchmark::State& state) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::FreeRunning;
  options.framesPerBuffer = 64;
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), false, false,
                     std::make_unique<VirtualDevice>(options));
  engine.addChannels({std::make_shared<ThreadIdChannel>()});
  engine.addChannels(makeChannels(8));
  const bool running = state.range(0) != 0;
  ThreadIdChannel::audioThreadId = 0;
  if (running) {
    engine.start();
    while (ThreadIdChannel::audioThreadId.load() == 0) std::this_thread::yield();
  }
  auto channel = makeChannels(1);
  for (auto _ : state) {
    engine.addChannels(channel);
    engine.removeChannels(channel);
  }
  engine.stop();
  if (running) {
    std::fprintf(stderr, "table changes: %lld add/remove pairs, audio thread %ld\n",
                 static_cast<long long>(state.iterations()), ThreadIdChannel::audioThreadId.load());
  }
}

BENCHMARK(BM_TableChange)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_EngineOutputCycle)->Arg(1)->Arg(8)->Arg(32)->Arg(100);
BENCHMARK(BM_PlainLoop)->Arg(1)->Arg(8)->Arg(32)->Arg(100);
BENCHMARK(BM_Dynamics10ms);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) {
        // CPU time: the machine is shared, and waiting for a core is not cost.
        times[run.benchmark_name()] =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
        wallTimes[run.benchmark_name()] =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;      // CPU nanoseconds per iteration
  std::map<std::string, double> wallTimes;  // wall-clock nanoseconds per iteration
};

}  // namespace
}  // namespace qur

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qur::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nOutput cycle of %u frames, engine / plain loop:\n", qur::kFrames);
  for (int n : {1, 8, 32, 100}) {
    const std::string arg = "/" + std::to_string(n);
    const double engine = reporter.times["BM_EngineOutputCycle" + arg];
    const double plain = reporter.times["BM_PlainLoop" + arg];
    if (engine <= 0 || plain <= 0) continue;
    std::printf(
        "  %3d channels: engine %8.0f ns, plain %8.0f ns CPU, ratio %.2f (target <= 1.5 at 32 "
        "and 100), engine per channel %.0f ns\n",
        n, engine, plain, engine / plain, engine / n);
  }
  const double dynamics = reporter.times["BM_Dynamics10ms"];
  if (dynamics > 0) {
    std::printf(
        "Dynamics effect, 10 ms of 44.1 kHz stereo: %.0f ns CPU = %.3f %% of the real-time "
        "budget (target < 1 %%)\n",
        dynamics, dynamics / 10e6 * 100.0);
  }
  const double stopped = reporter.wallTimes["BM_TableChange/0/real_time"];
  const double running = reporter.wallTimes["BM_TableChange/1/real_time"];
  if (stopped > 0 && running > 0) {
    std::printf(
        "Add and remove of a channel: %.0f ns with a device thread cycling, %.0f ns on a stopped "
        "engine, ratio %.1f\n",
        running, stopped, running / stopped);
  }
  benchmark::Shutdown();
  return 0;
}
