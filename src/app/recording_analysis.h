// Measures what a device played: finds known sounds (the session beeps, the
// hang-up) in a speaker recording by normalised cross-correlation, and
// compares a received voice with the microphone file it came from (level
// envelopes, dropouts). Used by `qur-wtalkie-cli heard`, the multi-device
// tests and the benchmarks.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qur {

// Mono audio at a reduced analysis rate.
struct AnalysisSignal {
  static constexpr double kSampleRate = 11025.0;
  std::vector<float> samples;
  double duration() const { return double(samples.size()) / kSampleRate; }
};

// Any sound file, mixed to mono and brought to the analysis rate; nullopt
// (after a log line) when it cannot be read. reverse: last sample first.
std::optional<AnalysisSignal> loadAnalysisSignal(const std::string& path, bool reverse = false);
// Interleaved 16-bit frames at rate (stereo or mono) to the analysis rate.
AnalysisSignal analysisSignalFromInt16(const short* samples, std::size_t frames, int channels,
                                       double rate);

struct SoundMatch {
  double time = 0;   // seconds from the start of the recording
  double score = 0;  // normalised correlation, 0 to 1
};
// Every place where the template sounds with at least `threshold` normalised
// correlation, best of each stretch of one template length.
std::vector<SoundMatch> findSound(const AnalysisSignal& recording, const AnalysisSignal& sound,
                                  double threshold = 0.6);

// Stretches of sound louder than thresholdDb (dBFS, 10 ms windows), joined
// across gaps shorter than joinGap seconds.
struct Segment {
  double start = 0;
  double end = 0;
};
std::vector<Segment> activeSegments(const AnalysisSignal& signal, double thresholdDb = -45.0,
                                    double joinGap = 0.3);

// Pearson's correlation of two series of n values; 0 when either is flat.
double pearsonCorrelation(const double* a, const double* b, std::size_t n);

// The received voice against the (looped) reference it came from.
struct VoiceComparison {
  double envelopeCorrelation = 0;  // Pearson, 10 ms RMS envelopes, best alignment
  double offset = 0;               // where in the looped reference the voice began (s)
  double longestDropout = 0;       // s: reference loud, received silent
};
// received: the stretch of the recording that holds the voice.
VoiceComparison compareVoice(const AnalysisSignal& received, const AnalysisSignal& reference);

AnalysisSignal slice(const AnalysisSignal& signal, double start, double end);

// What one device heard of one transmission.
struct HeardReport {
  std::optional<double> startSound;  // s
  std::optional<double> endSound;    // s
  double voiceStart = 0;
  double voiceEnd = 0;
  double voiceLength() const { return voiceEnd > voiceStart ? voiceEnd - voiceStart : 0; }
  bool inOrder() const {
    return startSound && endSound && *startSound < voiceStart && voiceEnd <= *endSound + 0.05;
  }
};
// Looks for the first start sound and the first end sound after it; the
// voice is what sounds between them. beep: the receiving start sound.
HeardReport analyseTransmission(const AnalysisSignal& recording, const AnalysisSignal& beep,
                                double fromTime = 0);

}  // namespace qur
