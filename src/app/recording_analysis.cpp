#include "app/recording_analysis.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "audio/audio_buffer_list.h"
#include "audio/media_reader.h"
#include "log/log.h"

namespace qur {

namespace {

constexpr double kReadRate = 44100.0;
constexpr int kDecimation = 4;  // 44100 / 11025

}  // namespace

std::vector<double> levelEnvelopeDb(const AnalysisSignal& signal, double windowSeconds,
                                    double floorDb) {
  const std::size_t window =
      std::max<std::size_t>(1, std::size_t(windowSeconds * AnalysisSignal::kSampleRate));
  std::vector<double> out;
  for (std::size_t i = 0; i + window <= signal.samples.size(); i += window) {
    double sum = 0;
    for (std::size_t j = i; j < i + window; ++j)
      sum += double(signal.samples[j]) * signal.samples[j];
    const double rms = std::sqrt(sum / double(window));
    // Full-scale sine at 0 dB.
    out.push_back(std::max(floorDb, 20.0 * std::log10(rms * std::sqrt(2.0) + 1e-12)));
  }
  return out;
}

double pearsonCorrelation(const double* a, const double* b, std::size_t n) {
  if (n < 2) return 0;
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= double(n);
  mb /= double(n);
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  if (saa <= 0 || sbb <= 0) return 0;
  return sab / std::sqrt(saa * sbb);
}

AnalysisSignal analysisSignalFromInt16(const short* samples, std::size_t frames, int channels,
                                       double rate) {
  AnalysisSignal out;
  const double step = rate / AnalysisSignal::kSampleRate;
  const std::size_t outFrames = std::size_t(double(frames) / step);
  out.samples.reserve(outFrames);
  for (std::size_t i = 0; i < outFrames; ++i) {
    // Box average over one output period: a crude low-pass that is plenty
    // for level and correlation measurements below 4 kHz.
    const std::size_t from = std::size_t(double(i) * step);
    const std::size_t to = std::min(frames, std::max(from + 1, std::size_t(double(i + 1) * step)));
    double sum = 0;
    for (std::size_t f = from; f < to; ++f) {
      for (int c = 0; c < channels; ++c) sum += samples[f * std::size_t(channels) + std::size_t(c)];
    }
    out.samples.push_back(float(sum / double((to - from) * std::size_t(channels)) / 32768.0));
  }
  return out;
}

std::optional<AnalysisSignal> loadAnalysisSignal(const std::string& path, bool reverse) {
  AudioStreamBasicDescription format{};
  format.mSampleRate = kReadRate;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  format.mBytesPerPacket = 2;
  format.mFramesPerPacket = 1;
  format.mBytesPerFrame = 2;
  format.mChannelsPerFrame = 1;
  format.mBitsPerChannel = 16;
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &format));
  if (!list) {
    QUR_LOG_ERROR("Cannot read %s for analysis", path.c_str());
    return std::nullopt;
  }
  const auto* samples = static_cast<const short*>(list->mBuffers[0].mData);
  const std::size_t frames = list->mBuffers[0].mDataByteSize / 2;
  AnalysisSignal signal = analysisSignalFromInt16(samples, frames, 1, kReadRate);
  static_assert(int(kReadRate / AnalysisSignal::kSampleRate) == kDecimation);
  if (reverse) std::reverse(signal.samples.begin(), signal.samples.end());
  return signal;
}

std::vector<SoundMatch> findSound(const AnalysisSignal& recording, const AnalysisSignal& sound,
                                  double threshold) {
  std::vector<SoundMatch> matches;
  const auto& x = recording.samples;
  const auto& t = sound.samples;
  const std::size_t m = t.size();
  if (m == 0 || x.size() < m) return matches;
  double tEnergy = 0;
  for (float v : t) tEnergy += double(v) * v;
  if (tEnergy <= 0) return matches;
  // Running energy of the recording window.
  double wEnergy = 0;
  for (std::size_t i = 0; i < m; ++i) wEnergy += double(x[i]) * x[i];
  std::vector<double> scores(x.size() - m + 1, 0.0);
  for (std::size_t lag = 0; lag + m <= x.size(); ++lag) {
    if (lag > 0) {
      wEnergy += double(x[lag + m - 1]) * x[lag + m - 1] - double(x[lag - 1]) * x[lag - 1];
    }
    // Windows far below the template's level cannot hold it.
    if (wEnergy < tEnergy * 1e-4) continue;
    double dot = 0;
    const float* w = x.data() + lag;
    for (std::size_t i = 0; i < m; ++i) dot += double(w[i]) * t[i];
    scores[lag] = dot / std::sqrt(tEnergy * std::max(wEnergy, 1e-20));
  }
  for (std::size_t lag = 0; lag < scores.size();) {
    if (scores[lag] < threshold) {
      ++lag;
      continue;
    }
    std::size_t best = lag;
    const std::size_t end = std::min(scores.size(), lag + m);
    for (std::size_t i = lag; i < end; ++i) {
      if (scores[i] > scores[best]) best = i;
    }
    matches.push_back({double(best) / AnalysisSignal::kSampleRate, scores[best]});
    lag = best + m;
  }
  return matches;
}

std::vector<Segment> activeSegments(const AnalysisSignal& signal, double thresholdDb,
                                    double joinGap) {
  constexpr double kWindow = 0.01;
  const auto levels = levelEnvelopeDb(signal, kWindow, -120.0);
  std::vector<Segment> segments;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (levels[i] < thresholdDb) continue;
    const double start = double(i) * kWindow;
    const double end = start + kWindow;
    if (!segments.empty() && start - segments.back().end < joinGap) {
      segments.back().end = end;
    } else {
      segments.push_back({start, end});
    }
  }
  return segments;
}

AnalysisSignal slice(const AnalysisSignal& signal, double start, double end) {
  AnalysisSignal out;
  const auto from = std::size_t(std::max(0.0, start) * AnalysisSignal::kSampleRate);
  const auto to = std::min(signal.samples.size(),
                           std::size_t(std::max(0.0, end) * AnalysisSignal::kSampleRate));
  if (from < to)
    out.samples.assign(signal.samples.begin() + long(from), signal.samples.begin() + long(to));
  return out;
}

VoiceComparison compareVoice(const AnalysisSignal& received, const AnalysisSignal& reference) {
  VoiceComparison result;
  constexpr double kWindow = 0.01;
  constexpr double kFloor = -60.0;
  const auto r = levelEnvelopeDb(received, kWindow, kFloor);
  auto f = levelEnvelopeDb(reference, kWindow, kFloor);
  if (r.size() < 10 || f.empty()) return result;
  // The microphone file loops, so the voice may begin anywhere in it.
  const std::size_t period = f.size();
  while (f.size() < period + r.size()) f.insert(f.end(), f.begin(), f.begin() + long(period));
  std::size_t bestLag = 0;
  double best = -2;
  for (std::size_t lag = 0; lag < period; ++lag) {
    const double c = pearsonCorrelation(r.data(), f.data() + lag, r.size());
    if (c > best) {
      best = c;
      bestLag = lag;
    }
  }
  result.envelopeCorrelation = best;
  result.offset = double(bestLag) * kWindow;

  // Dropouts at a finer grain: where the reference is loud and the
  // received audio, level-matched, is far below it.
  constexpr double kFine = 0.005;
  const auto rf = levelEnvelopeDb(received, kFine, -120.0);
  auto ff = levelEnvelopeDb(reference, kFine, -120.0);
  const std::size_t finePeriod = ff.size();
  if (finePeriod == 0) return result;
  while (ff.size() < finePeriod * 2 + rf.size())
    ff.insert(ff.end(), ff.begin(), ff.begin() + long(finePeriod));
  const std::size_t fineLag = bestLag * 2;
  const double refPeak = *std::max_element(ff.begin(), ff.end());
  std::vector<double> differences;
  for (std::size_t i = 0; i < rf.size(); ++i) {
    if (ff[fineLag + i] > refPeak - 20) differences.push_back(rf[i] - ff[fineLag + i]);
  }
  double gain = 0;
  if (!differences.empty()) {
    std::nth_element(differences.begin(), differences.begin() + long(differences.size() / 2),
                     differences.end());
    gain = differences[differences.size() / 2];
  }
  std::size_t run = 0, longest = 0;
  for (std::size_t i = 0; i < rf.size(); ++i) {
    const double ref = ff[fineLag + i];
    const bool dropout = ref > refPeak - 30 && rf[i] < ref + gain - 30;
    run = dropout ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  result.longestDropout = double(longest) * kFine;
  return result;
}

HeardReport analyseTransmission(const AnalysisSignal& recording, const AnalysisSignal& beep,
                                double fromTime) {
  HeardReport report;
  AnalysisSignal reversed = beep;
  std::reverse(reversed.samples.begin(), reversed.samples.end());
  const AnalysisSignal tail = slice(recording, fromTime, recording.duration());
  const auto starts = findSound(tail, beep);
  if (starts.empty()) return report;
  report.startSound = fromTime + starts.front().time;
  const auto ends = findSound(tail, reversed);
  for (const auto& end : ends) {
    if (fromTime + end.time > *report.startSound) {
      report.endSound = fromTime + end.time;
      break;
    }
  }
  const double voiceFrom = *report.startSound + beep.duration();
  const double voiceTo = report.endSound ? *report.endSound : recording.duration();
  const auto segments = activeSegments(slice(recording, voiceFrom, voiceTo), -45.0, 10.0);
  if (!segments.empty()) {
    report.voiceStart = voiceFrom + segments.front().start;
    report.voiceEnd = voiceFrom + segments.back().end;
  }
  return report;
}

}  // namespace qur
