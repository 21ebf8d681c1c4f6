// Small signal helpers the playout uses to catch up without being heard:
// the level of a decoded frame, and cutting one period of voiced speech
// (or a few milliseconds of noise) out of a frame with a cross-fade.
//
// Audio thread; allocation- and lock-free. Frames are interleaved signed
// 16-bit stereo at 48 kHz.
#pragma once

#include <cstdint>

namespace qur {

// RMS of the frame's mid signal in dB below full scale (a full-scale sine is
// 0 dB); -120 for digital silence.
double frameLevelDb(const std::int16_t* stereo, std::uint32_t frames);

// Whether a frame counts as quiet: near silence outright, or far below the
// speech heard lately. The speech level decays slowly between calls.
class QuietDetector {
 public:
  bool isQuiet(double levelDb);

 private:
  double _speechDb = -60.0;
};

// Shortest and longest cut: a 2.5 ms period (400 Hz) to a 10 ms one (100 Hz).
inline constexpr std::uint32_t kMinSpeechPeriod = 120;
inline constexpr std::uint32_t kMaxSpeechPeriod = 480;

// Removes one pitch period of at most maxRemoved frames from the start of
// the frame: the two periods that best repeat each other are cross-faded
// into one. Returns the frames left (the frame unchanged when no cut fits).
std::uint32_t shortenSpeech(std::int16_t* stereo, std::uint32_t frames, std::uint32_t maxRemoved);

}  // namespace qur
