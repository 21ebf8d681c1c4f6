// Cost of delivering one value through a subject to N subscribers, against
// the same blocks kept in a vector of std::function and called in a loop.
// Prints the ratio per N; the target is at most 3 at 10 and 100 subscribers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "signals/subject.h"

namespace {

struct Sink {
  long long sum = 0;
};

void BM_Subject(benchmark::State& state) {
  const int subscribers = static_cast<int>(state.range(0));
  auto subject = qur::Subject<int>::create();
  Sink sink;
  std::vector<qur::DisposablePtr> subscriptions;
  for (int i = 0; i < subscribers; ++i)
    subscriptions.push_back(
        subject->signal().subscribeNext([&sink](const int& v) { sink.sum += v; }));
  int value = 0;
  for (auto _ : state) {
    subject->sendNext(++value);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sink.sum);
  for (auto& d : subscriptions) d->dispose();
}

void BM_FunctionVector(benchmark::State& state) {
  const int subscribers = static_cast<int>(state.range(0));
  Sink sink;
  std::vector<std::function<void(const int&)>> blocks;
  for (int i = 0; i < subscribers; ++i) blocks.push_back([&sink](const int& v) { sink.sum += v; });
  int value = 0;
  for (auto _ : state) {
    ++value;
    for (const auto& block : blocks) block(value);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sink.sum);
}

BENCHMARK(BM_FunctionVector)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_Subject)->Arg(1)->Arg(10)->Arg(100);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\nsubject delivery vs vector<std::function> loop, CPU time per value (same run):\n");
  bool met = true;
  for (int n : {1, 10, 100}) {
    const auto subject = reporter.times.find("BM_Subject/" + std::to_string(n));
    const auto baseline = reporter.times.find("BM_FunctionVector/" + std::to_string(n));
    if (subject == reporter.times.end() || baseline == reporter.times.end()) continue;
    const double ratio = subject->second / baseline->second;
    std::printf("  %3d subscribers: subject %8.1f ns, baseline %8.1f ns, ratio %.2f%s\n", n,
                subject->second, baseline->second, ratio, n >= 10 ? " (target <= 3)" : "");
    if (n >= 10 && ratio > 3.0) met = false;
  }
  std::printf("target %s\n", met ? "met" : "NOT met");
  return 0;
}
