// Audio description, buffer list and time stamp records shared by every stage
// of the voice path, plus the two PCM formats the system works in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qur {

using Float64 = double;
using UInt32 = std::uint32_t;
using UInt64 = std::uint64_t;
using OSStatus = std::int32_t;

inline constexpr OSStatus noErr = 0;

// Format identifiers and flags.
inline constexpr UInt32 kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'

inline constexpr UInt32 kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr UInt32 kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr UInt32 kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr UInt32 kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr UInt32 kAudioFormatFlagIsAlignedHigh = 1u << 4;
inline constexpr UInt32 kAudioFormatFlagIsNonInterleaved = 1u << 5;
inline constexpr UInt32 kAudioFormatFlagIsNonMixable = 1u << 6;

inline constexpr UInt32 kLinearPCMFormatFlagIsFloat = kAudioFormatFlagIsFloat;
inline constexpr UInt32 kLinearPCMFormatFlagIsBigEndian = kAudioFormatFlagIsBigEndian;
inline constexpr UInt32 kLinearPCMFormatFlagIsSignedInteger = kAudioFormatFlagIsSignedInteger;
inline constexpr UInt32 kLinearPCMFormatFlagIsPacked = kAudioFormatFlagIsPacked;
inline constexpr UInt32 kLinearPCMFormatFlagIsNonInterleaved = kAudioFormatFlagIsNonInterleaved;

inline constexpr UInt32 kAudioFormatFlagsNativeFloatPacked =
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
};

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* mData;
};

// Variable length: mNumberBuffers entries follow the count in one block, so
// lists are allocated with audioBufferListHeaderSize(n) bytes, never by value
// for more than one buffer.
struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];
};

// Bytes a list header with n buffer entries occupies.
inline constexpr std::size_t audioBufferListHeaderSize(UInt32 numberBuffers) {
  return offsetof(AudioBufferList, mBuffers) + std::size_t(numberBuffers) * sizeof(AudioBuffer);
}

inline constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;
inline constexpr UInt32 kAudioTimeStampSampleHostTimeValid =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;

struct AudioTimeStamp {
  Float64 mSampleTime;  // frames
  UInt64 mHostTime;     // host ticks: steady_clock nanoseconds
  Float64 mRateScalar;
  UInt32 mFlags;
  UInt32 mReserved;
};

// Host time is the steady clock in nanoseconds.
inline constexpr Float64 kHostTicksPerSecond = 1e9;

inline UInt64 hostTimeNow() {
  return UInt64(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count());
}

inline constexpr Float64 hostTicksToSeconds(UInt64 ticks) {
  return Float64(ticks) / kHostTicksPerSecond;
}

inline constexpr UInt64 secondsToHostTicks(Float64 seconds) {
  return UInt64(seconds * kHostTicksPerSecond);
}

inline constexpr bool isNonInterleaved(const AudioStreamBasicDescription& format) {
  return (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

inline constexpr bool isFloatFormat(const AudioStreamBasicDescription& format) {
  return (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
}

// Linear PCM, packed, native endian: signed 16-bit integer or 32-bit float
// samples, interleaved in one buffer or one buffer per channel.
inline constexpr AudioStreamBasicDescription makeLinearPCMFormat(Float64 sampleRate,
                                                                 UInt32 channels,
                                                                 bool isFloat = false,
                                                                 bool interleaved = true) {
  const UInt32 sampleBytes = isFloat ? 4 : 2;
  const UInt32 frameBytes = interleaved ? sampleBytes * channels : sampleBytes;
  UInt32 flags = kAudioFormatFlagIsPacked |
                 (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger);
  if (!interleaved) flags |= kAudioFormatFlagIsNonInterleaved;
  return AudioStreamBasicDescription{
      sampleRate, kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes,
      channels,   sampleBytes * 8,       0};
}

// The format the Opus encoder and decoder work in: 48 kHz, signed 16-bit,
// packed, interleaved stereo (flags 12, 4 bytes per frame).
inline constexpr AudioStreamBasicDescription codecAudioDescription() {
  return makeLinearPCMFormat(48000.0, 2);
}

// The audio engine's own format: the same layout at 44.1 kHz.
inline constexpr AudioStreamBasicDescription engineAudioDescription() {
  return makeLinearPCMFormat(44100.0, 2);
}

inline constexpr Float64 kCodecSampleRate = 48000.0;
inline constexpr Float64 kEngineSampleRate = 44100.0;

}  // namespace qur
