#include "audio/engine/dynamics_processor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qur {
namespace {

struct Range {
  float low, high, initial;
};
constexpr Range kRanges[kDynamicsProcessorParameterCount] = {
    {-40.0f, 20.0f, -20.0f},   // threshold
    {0.1f, 40.0f, 5.0f},       // head room
    {1.0f, 50.0f, 2.0f},       // expansion ratio
    {-120.0f, 0.0f, -100.0f},  // expansion threshold
    {0.0001f, 0.2f, 0.001f},   // attack
    {0.01f, 3.0f, 0.05f},      // release
    {-40.0f, 40.0f, 0.0f},     // master gain
};

// Below this the envelope counts as silence (-180 dB).
constexpr float kFloorLevel = 1e-9f;
// The limiter's ceiling, just under full scale so that rounding to 16 bits
// never lands on the clipping value.
constexpr float kCeiling = 0.989f;

float coefficient(float seconds, double sampleRate) {
  return float(std::exp(-1.0 / (double(seconds) * sampleRate)));
}

}  // namespace

DynamicsProcessor::DynamicsProcessor() {
  for (UInt32 i = 0; i < kDynamicsProcessorParameterCount; ++i) {
    _parameters[i].store(kRanges[i].initial);
  }
}

OSStatus DynamicsProcessor::initialize(const AudioStreamBasicDescription& format, UInt32) {
  const bool int16 =
      !(format.mFormatFlags & kAudioFormatFlagIsFloat) && format.mBitsPerChannel == 16;
  const bool float32 =
      (format.mFormatFlags & kAudioFormatFlagIsFloat) && format.mBitsPerChannel == 32;
  if (format.mFormatID != kAudioFormatLinearPCM || (!int16 && !float32) ||
      (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) || format.mChannelsPerFrame == 0 ||
      format.mSampleRate <= 0) {
    return kEffectUnitErrFormatNotSupported;
  }
  _format = format;
  _envelope = 0;
  _compressorDb = 0;
  _expanderDb = 0;
  _limiterGain = 1;
  _seenGeneration = 0;
  _initialized = true;
  refreshCoefficients();
  return noErr;
}

float DynamicsProcessor::staticCurve(float inputDb, float threshold, float headRoom,
                                     float expansionRatio, float expansionThreshold,
                                     float masterGain) {
  float out;
  if (inputDb >= threshold) {
    out = threshold + headRoom * (1.0f - std::exp(-(inputDb - threshold) / headRoom));
  } else if (inputDb >= expansionThreshold) {
    out = inputDb;
  } else {
    out = expansionThreshold + expansionRatio * (inputDb - expansionThreshold);
  }
  return out + masterGain;
}

void DynamicsProcessor::refreshCoefficients() {
  _seenGeneration = _generation.load(std::memory_order_acquire);
  _threshold = _parameters[kDynamicsProcessorParam_Threshold].load(std::memory_order_relaxed);
  _headRoom = _parameters[kDynamicsProcessorParam_HeadRoom].load(std::memory_order_relaxed);
  _ratio = _parameters[kDynamicsProcessorParam_ExpansionRatio].load(std::memory_order_relaxed);
  _expansionThreshold =
      _parameters[kDynamicsProcessorParam_ExpansionThreshold].load(std::memory_order_relaxed);
  _masterGain = _parameters[kDynamicsProcessorParam_MasterGain].load(std::memory_order_relaxed);
  // However loud the input, the curve stays below T + H + G.
  _ceiling =
      kCeiling * std::min(1.0f, std::pow(10.0f, (_threshold + _headRoom + _masterGain) / 20));
  const double rate = _format.mSampleRate > 0 ? _format.mSampleRate : 44100.0;
  _attackCoeff = coefficient(
      _parameters[kDynamicsProcessorParam_AttackTime].load(std::memory_order_relaxed), rate);
  _releaseCoeff = coefficient(
      _parameters[kDynamicsProcessorParam_ReleaseTime].load(std::memory_order_relaxed), rate);
}

OSStatus DynamicsProcessor::getParameter(UInt32 id, UInt32 scope, UInt32, float* value) const {
  if (scope != kAudioUnitScope_Global) return kEffectUnitErrInvalidScope;
  if (id >= kDynamicsProcessorParameterCount) return kEffectUnitErrInvalidParameter;
  if (value) *value = _parameters[id].load(std::memory_order_relaxed);
  return noErr;
}

OSStatus DynamicsProcessor::setParameter(UInt32 id, UInt32 scope, UInt32, float value, UInt32) {
  if (scope != kAudioUnitScope_Global) return kEffectUnitErrInvalidScope;
  if (id >= kDynamicsProcessorParameterCount) return kEffectUnitErrInvalidParameter;
  if (!std::isfinite(value) || value < kRanges[id].low || value > kRanges[id].high) {
    return kEffectUnitErrInvalidParameterValue;
  }
  _parameters[id].store(value, std::memory_order_relaxed);
  // The audio thread picks the new values up at its next render.
  _generation.fetch_add(1, std::memory_order_release);
  return noErr;
}

template <typename Sample>
void DynamicsProcessor::process(Sample* samples, UInt32 frames, float scale) {
  if (_generation.load(std::memory_order_acquire) != _seenGeneration) refreshCoefficients();
  const UInt32 channels = _format.mChannelsPerFrame;
  const float inverse = 1.0f / scale;
  // Gain in the linear domain: 10^(dB/20) = exp(dB * ln(10)/20).
  constexpr float kDbToNeper = 0.11512925f;
  constexpr float kLinearToDb = 8.6858896f;  // 20 / ln(10)
  // The level detector follows peaks at once and falls with the release
  // time, so a steady tone reads at its true peak. The curve's gain is kept
  // in two parts that both react to a louder input with the attack time:
  // the compressor's comes down, the expander's opens. The expander opens as
  // fast as the detector, though: after silence its gain sits far below
  // anything audible, and any smoothing there swallows the first syllable.
  float envelope = _envelope;
  float compressorDb = _compressorDb;
  float expanderDb = _expanderDb;
  float limiter = _limiterGain;
  const float ceiling = _ceiling * scale;
  for (UInt32 f = 0; f < frames; ++f) {
    Sample* frame = samples + size_t(f) * channels;
    float peak = 0;
    for (UInt32 c = 0; c < channels; ++c) peak = std::max(peak, std::fabs(float(frame[c])));
    envelope = std::max(peak * inverse, envelope * _releaseCoeff);
    const float levelDb = kLinearToDb * std::log(std::max(envelope, kFloorLevel));
    const float curveDb =
        staticCurve(levelDb, _threshold, _headRoom, _ratio, _expansionThreshold, 0) - levelDb;
    // Which part of the curve applies is the curve's own choice; the other
    // part heads back to unity.
    const bool expanding = levelDb < _threshold && levelDb < _expansionThreshold;
    const float compressorTarget = expanding ? 0.0f : std::min(curveDb, 0.0f);
    const float expanderTarget = expanding ? curveDb : 0.0f;
    const float cc = compressorTarget < compressorDb ? _attackCoeff : _releaseCoeff;
    compressorDb = compressorTarget + cc * (compressorDb - compressorTarget);
    expanderDb = expanderTarget > expanderDb
                     ? expanderTarget
                     : expanderTarget + _releaseCoeff * (expanderDb - expanderTarget);
    const float gain = std::exp((compressorDb + expanderDb + _masterGain) * kDbToNeper);
    // A compressor still attacking would push a sudden loud input past the
    // curve's own ceiling, or past full scale: the limiter takes exactly the
    // excess at once and gives it back with the release time.
    limiter = 1.0f - _releaseCoeff * (1.0f - limiter);
    const float loudest = peak * gain * limiter;
    if (loudest > ceiling) limiter = ceiling / (peak * gain);
    const float total = gain * limiter;
    for (UInt32 c = 0; c < channels; ++c) {
      const float v = float(frame[c]) * total;
      if constexpr (std::is_same_v<Sample, int16_t>) {
        frame[c] = int16_t(std::clamp(v, -32768.0f, 32767.0f));
      } else {
        frame[c] = v;
      }
    }
  }
  _envelope = envelope;
  _compressorDb = compressorDb;
  _expanderDb = expanderDb;
  _limiterGain = limiter;
}

void DynamicsProcessor::processInt16(int16_t* samples, UInt32 frames) {
  process(samples, frames, 32768.0f);
}

void DynamicsProcessor::processFloat(float* samples, UInt32 frames) {
  process(samples, frames, 1.0f);
}

OSStatus DynamicsProcessor::render(EffectUnitPullInput pull, void* context, const AudioTimeStamp*,
                                   UInt32 frames, AudioBufferList* output) {
  if (!_initialized) return kEffectUnitErrUninitialized;
  if (!output || output->mNumberBuffers < 1) return kEffectUnitErrFormatNotSupported;
  AudioBuffer& buffer = output->mBuffers[0];
  const UInt32 capacity = buffer.mDataByteSize / _format.mBytesPerFrame;
  if (frames > capacity) return kEffectUnitErrTooManyFrames;
  UInt32 got = frames;
  const OSStatus status = pull ? pull(context, output, &got) : noErr;
  if (!pull) got = 0;
  if (status != noErr) return status;
  got = std::min(got, frames);
  // Whatever the producer did not deliver is silence.
  auto* bytes = static_cast<uint8_t*>(buffer.mData);
  std::memset(bytes + got * _format.mBytesPerFrame, 0, (frames - got) * _format.mBytesPerFrame);
  buffer.mDataByteSize = frames * _format.mBytesPerFrame;
  if (_format.mFormatFlags & kAudioFormatFlagIsFloat) {
    processFloat(static_cast<float*>(buffer.mData), frames);
  } else {
    processInt16(static_cast<int16_t*>(buffer.mData), frames);
  }
  return noErr;
}

std::unique_ptr<EffectUnit> createEffectUnit(const AudioComponentDescription& description) {
  if (description.componentType == kAudioUnitType_Effect &&
      description.componentSubType == kAudioUnitSubType_DynamicsProcessor &&
      description.componentManufacturer == kAudioUnitManufacturer_Platform) {
    return std::make_unique<DynamicsProcessor>();
  }
  return nullptr;
}

}  // namespace qur
