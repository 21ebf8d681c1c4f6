// Effects hosted by the audio-unit filter. An effect renders by pulling its
// input through a producer, so it processes exactly what the filter chain
// hands it, and exposes its settings as float parameters by id.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/audio_types.h"

namespace qur {

// Identifies an effect: type, subtype and manufacturer codes; flags and mask 0.
struct AudioComponentDescription {
  UInt32 componentType;
  UInt32 componentSubType;
  UInt32 componentManufacturer;
  UInt32 componentFlags;
  UInt32 componentFlagsMask;
};

constexpr UInt32 fourCC(const char (&code)[5]) {
  return (UInt32(uint8_t(code[0])) << 24) | (UInt32(uint8_t(code[1])) << 16) |
         (UInt32(uint8_t(code[2])) << 8) | UInt32(uint8_t(code[3]));
}

inline constexpr UInt32 kAudioUnitType_Effect = fourCC("aufx");
inline constexpr UInt32 kAudioUnitSubType_DynamicsProcessor = fourCC("dcmp");
inline constexpr UInt32 kAudioUnitManufacturer_Platform = fourCC("qurw");
inline constexpr UInt32 kAudioUnitScope_Global = 0;

// Status results of effect operations.
inline constexpr OSStatus kEffectUnitErrInvalidParameter = -10878;
inline constexpr OSStatus kEffectUnitErrInvalidParameterValue = -10867;
inline constexpr OSStatus kEffectUnitErrFormatNotSupported = -10868;
inline constexpr OSStatus kEffectUnitErrUninitialized = -10867 - 1;
inline constexpr OSStatus kEffectUnitErrInvalidScope = -10866;
inline constexpr OSStatus kEffectUnitErrTooManyFrames = -10874;

// Pulls up to *frames frames of input into `audio`; *frames comes back as the
// frames delivered.
using EffectUnitPullInput = OSStatus (*)(void* context, AudioBufferList* audio, UInt32* frames);

class EffectUnit {
 public:
  virtual ~EffectUnit() = default;
  // Not real-time: prepares for the format and the largest frame count.
  virtual OSStatus initialize(const AudioStreamBasicDescription& format, UInt32 maxFrames) = 0;
  // Audio thread; allocation- and lock-free. Fills `output` with `frames`
  // frames made from the input that `pull` delivers.
  virtual OSStatus render(EffectUnitPullInput pull, void* context, const AudioTimeStamp* time,
                          UInt32 frames, AudioBufferList* output) = 0;
  // Any thread; safe while the audio thread renders.
  virtual OSStatus getParameter(UInt32 id, UInt32 scope, UInt32 element, float* value) const = 0;
  virtual OSStatus setParameter(UInt32 id, UInt32 scope, UInt32 element, float value,
                                UInt32 bufferOffsetFrames) = 0;
};

// The effect a description names, or null when there is none.
std::unique_ptr<EffectUnit> createEffectUnit(const AudioComponentDescription& description);

}  // namespace qur
