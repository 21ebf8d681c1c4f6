// The microphone slider's scale: position 0…1 spans −20…+40 dB of the
// compressor's master gain, +10 dB in the middle.
#pragma once

namespace qur {

inline constexpr double kMicrophoneGainMinimum = -20.0;
inline constexpr double kMicrophoneGainMaximum = 40.0;

// Any thread. The slider keeps single precision; the gain is worked out in double.
inline double microphoneGainForSliderValue(float x) {
  return (double(x) - 0.5) * 60.0 + 10.0;
}
// Unclamped: a gain beyond the range lands beyond 0…1 and the slider parks at its end.
inline float sliderValueForMicrophoneGain(float gain) {
  return (gain + 20.0f) / 60.0f;
}

}  // namespace qur
