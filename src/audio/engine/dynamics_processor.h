// Our dynamics effect: a compressor above the threshold and a downward
// expander below the expansion threshold, with an attack/release envelope and
// a master gain.
//
// Static curve, input level L and output level O in dB (full-scale sine = 0 dB),
// T threshold, H head room, E expansion threshold, R expansion ratio, G master gain:
//
//   L >= T:      O = T + H * (1 - exp(-(L - T) / H)) + G
//                 the curve leaves the threshold with slope 1 and bends over,
//                 so however loud the input, the output stays below T + H + G;
//   E <= L < T:  O = L + G          (untouched apart from the master gain)
//   L <  E:      O = E + R * (L - E) + G
//                 every dB below E becomes R dB below it.
//
// When E lies above T the compressor wins for levels between them. The level
// is a peak envelope over all channels, so the channels keep their balance;
// attack and release set how fast the gain follows the curve, except that the
// expander opens at once. A peak limiter at the end holds every sample under
// the curve's ceiling T + H + G and under full scale, whatever the input, so
// a compressor still attacking cannot overshoot.
#pragma once

#include <atomic>

#include "audio/engine/effect_unit.h"

namespace qur {

enum DynamicsProcessorParameter : UInt32 {
  kDynamicsProcessorParam_Threshold = 0,           // dB, -40 ... 20
  kDynamicsProcessorParam_HeadRoom = 1,            // dB, 0.1 ... 40
  kDynamicsProcessorParam_ExpansionRatio = 2,      // 1 ... 50
  kDynamicsProcessorParam_ExpansionThreshold = 3,  // dB, -120 ... 0
  kDynamicsProcessorParam_AttackTime = 4,          // s, 0.0001 ... 0.2
  kDynamicsProcessorParam_ReleaseTime = 5,         // s, 0.01 ... 3
  kDynamicsProcessorParam_MasterGain = 6,          // dB, -40 ... 40
  kDynamicsProcessorParameterCount = 7,
};

class DynamicsProcessor : public EffectUnit {
 public:
  DynamicsProcessor();

  OSStatus initialize(const AudioStreamBasicDescription& format, UInt32 maxFrames) override;
  OSStatus render(EffectUnitPullInput pull, void* context, const AudioTimeStamp* time,
                  UInt32 frames, AudioBufferList* output) override;
  OSStatus getParameter(UInt32 id, UInt32 scope, UInt32 element, float* value) const override;
  OSStatus setParameter(UInt32 id, UInt32 scope, UInt32 element, float value,
                        UInt32 bufferOffsetFrames) override;

  // Output level in dB for a steady input level in dB (the curve above).
  static float staticCurve(float inputDb, float threshold, float headRoom, float expansionRatio,
                           float expansionThreshold, float masterGain);

  // Audio thread: processes interleaved samples in place.
  void processInt16(int16_t* samples, UInt32 frames);
  void processFloat(float* samples, UInt32 frames);

 private:
  template <typename Sample>
  void process(Sample* samples, UInt32 frames, float scale);
  void refreshCoefficients();

  std::atomic<float> _parameters[kDynamicsProcessorParameterCount];
  std::atomic<unsigned> _generation{1};
  unsigned _seenGeneration = 0;
  AudioStreamBasicDescription _format{};
  bool _initialized = false;
  float _envelope = 0;      // linear peak level
  float _compressorDb = 0;  // smoothed compressor gain, <= 0
  float _expanderDb = 0;    // smoothed expander gain, <= 0
  float _limiterGain = 1;   // linear, <= 1
  float _attackCoeff = 0;
  float _releaseCoeff = 0;
  float _ceiling = 1;  // the limiter's, linear
  float _threshold = 0, _headRoom = 0, _ratio = 1, _expansionThreshold = 0, _masterGain = 0;
};

}  // namespace qur
