// The measurements the multi-device tests and benchmarks rely on, against
// signals whose answer is known by construction.
#include "app/recording_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace qur {
namespace {

constexpr double kRate = AnalysisSignal::kSampleRate;

AnalysisSignal chirp(double seconds, double from, double to, double level) {
  AnalysisSignal s;
  double phase = 0;
  for (std::size_t i = 0; i < std::size_t(seconds * kRate); ++i) {
    const double f = from + (to - from) * double(i) / (seconds * kRate);
    phase += 2 * M_PI * f / kRate;
    s.samples.push_back(float(level * std::sin(phase)));
  }
  return s;
}

// Syllable-like bursts: a 300 Hz tone switched by a slow irregular pattern.
AnalysisSignal speechLike(double seconds, unsigned seed) {
  std::mt19937 random(seed);
  AnalysisSignal s;
  double level = 0;
  for (std::size_t i = 0; i < std::size_t(seconds * kRate); ++i) {
    if (i % std::size_t(0.08 * kRate) == 0)
      level = (random() % 3 == 0) ? 0.0 : 0.1 + 0.4 * (random() % 100) / 100.0;
    s.samples.push_back(float(level * std::sin(2 * M_PI * 300.0 * double(i) / kRate)));
  }
  return s;
}

void place(AnalysisSignal& into, const AnalysisSignal& what, double at, double gain = 1.0) {
  const std::size_t offset = std::size_t(at * kRate);
  if (into.samples.size() < offset + what.samples.size())
    into.samples.resize(offset + what.samples.size());
  for (std::size_t i = 0; i < what.samples.size(); ++i)
    into.samples[offset + i] += float(gain * what.samples[i]);
}

TEST(RecordingAnalysis, FindsEachOccurrenceOfASoundAtItsTimeAndNotItsReverse) {
  const AnalysisSignal beep = chirp(0.14, 700, 1400, 0.8);
  AnalysisSignal reversed = beep;
  std::reverse(reversed.samples.begin(), reversed.samples.end());
  AnalysisSignal recording;
  recording.samples.assign(std::size_t(4 * kRate), 0.0f);
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0, 0.01f);
  for (auto& x : recording.samples) x = noise(random);
  place(recording, beep, 0.5, 0.25);
  place(recording, reversed, 2.0, 0.25);
  place(recording, beep, 3.2, 0.25);

  const auto starts = findSound(recording, beep, 0.6);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_NEAR(starts[0].time, 0.5, 0.002);
  EXPECT_NEAR(starts[1].time, 3.2, 0.002);
  const auto ends = findSound(recording, reversed, 0.6);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_NEAR(ends[0].time, 2.0, 0.002);
}

TEST(RecordingAnalysis, TransmissionReportPutsVoiceBetweenTheSessionSounds) {
  const AnalysisSignal beep = chirp(0.14, 700, 1400, 0.8);
  AnalysisSignal reversed = beep;
  std::reverse(reversed.samples.begin(), reversed.samples.end());
  AnalysisSignal recording;
  recording.samples.assign(std::size_t(5 * kRate), 0.0f);
  place(recording, beep, 1.0, 0.25);
  place(recording, speechLike(2.0, 3), 1.2);
  place(recording, reversed, 3.3, 0.25);
  const HeardReport report = analyseTransmission(recording, beep);
  ASSERT_TRUE(report.startSound && report.endSound);
  EXPECT_TRUE(report.inOrder());
  EXPECT_NEAR(report.voiceLength(), 2.0, 0.2);

  // Without the end sound the report is not in order.
  AnalysisSignal cut = slice(recording, 0, 3.2);
  EXPECT_FALSE(analyseTransmission(cut, beep).inOrder());
}

TEST(RecordingAnalysis, VoiceComparisonAlignsWithTheLoopAndMeasuresAGap) {
  const AnalysisSignal reference = speechLike(3.0, 11);
  // The received voice starts 1.7 s into the looping microphone, runs past
  // the loop's end, and is quieter.
  AnalysisSignal received;
  for (std::size_t i = 0; i < std::size_t(2.5 * kRate); ++i) {
    received.samples.push_back(
        0.5f * reference.samples[(std::size_t(1.7 * kRate) + i) % reference.samples.size()]);
  }
  const auto clean = compareVoice(received, reference);
  EXPECT_GT(clean.envelopeCorrelation, 0.95);
  EXPECT_NEAR(clean.offset, 1.7, 0.011);
  EXPECT_LE(clean.longestDropout, 0.005);

  // 60 ms of silence inside a loud stretch is a dropout of about that length.
  std::size_t loud = 0;
  for (std::size_t i = std::size_t(0.5 * kRate); i < received.samples.size(); ++i) {
    bool all = true;
    for (std::size_t j = i; j < i + std::size_t(0.1 * kRate) && all;
         j += std::size_t(0.005 * kRate)) {
      double sum = 0;
      for (std::size_t k = j; k < j + std::size_t(0.005 * kRate); ++k)
        sum += received.samples[k] * received.samples[k];
      all = sum > 0;
    }
    if (all) {
      loud = i;
      break;
    }
  }
  ASSERT_GT(loud, 0u);
  AnalysisSignal gapped = received;
  for (std::size_t i = loud + std::size_t(0.02 * kRate); i < loud + std::size_t(0.08 * kRate); ++i)
    gapped.samples[i] = 0;
  const auto broken = compareVoice(gapped, reference);
  EXPECT_NEAR(broken.longestDropout, 0.06, 0.011);
}

}  // namespace
}  // namespace qur
