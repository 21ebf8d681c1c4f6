#include "audio/pcm_format_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "audio/audio_buffer_list.h"
#include "log/log.h"

namespace qur {

namespace {

// Output frames per resampler call: keeps its internal queues at the size
// reached while priming, whatever a caller fetches at once.
constexpr UInt32 kFetchChunkFrames = 4096;
// Silence handed out per request once running. The resampler asks for input
// in large blocks; giving it a whole block of silence would delay the next
// real input by that much.
constexpr UInt32 kSilenceChunkFrames = 256;
// Input frames the resampler may ask for at once; bounding it bounds the
// queues it keeps, so priming can grow them to their final size.
constexpr UInt32 kMaxInputRequestFrames = 1024;
// Fetches of random sizes over random input blocks run at creation: enough
// to meet every phase of the resampler's block processing, whose worst case
// sets the look-ahead.
constexpr int kProbeRounds = 300;
constexpr UInt32 kProbeMaxFetchFrames = 2048;
// Kept on top of the measured look-ahead against rounding in the estimates.
constexpr double kLookAheadMarginFrames = 1.0;
// The resampler's delay is a difference of large floating-point counts: a
// whole number of frames may come back a hair below itself.
constexpr double kCountSlack = 1e-6;
// Output frames pulled past the filter's reach when flushing.
constexpr UInt32 kFlushTailFrames = 64;

// Moves a timestamp by a (possibly negative) number of frames, on the
// fields its flags say are valid.
void shiftTimestamp(AudioTimeStamp& ts, double frames, double rate) {
  if (ts.mFlags & kAudioTimeStampSampleTimeValid) ts.mSampleTime += frames;
  if ((ts.mFlags & kAudioTimeStampHostTimeValid) && rate > 0) {
    const double ticks = frames / rate * kHostTicksPerSecond;
    if (ticks >= 0) {
      ts.mHostTime += UInt64(ticks);
    } else {
      const auto back = UInt64(-ticks);
      ts.mHostTime = ts.mHostTime > back ? ts.mHostTime - back : 0;
    }
  }
}

struct Shape {
  bool supported = false;
  bool isFloat = false;
  bool interleaved = true;
  UInt32 channels = 0;
  UInt32 sampleBytes = 0;
};

Shape describe(const AudioStreamBasicDescription& f) {
  Shape s;
  s.isFloat = (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  s.interleaved = !isNonInterleaved(f) || f.mChannelsPerFrame == 1;
  s.channels = f.mChannelsPerFrame;
  s.sampleBytes = s.isFloat ? 4 : 2;
  const bool sampleOK = s.isFloat ? f.mBitsPerChannel == 32
                                  : ((f.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0 &&
                                     f.mBitsPerChannel == 16);
  const UInt32 frameBytes = isNonInterleaved(f) ? s.sampleBytes : s.sampleBytes * s.channels;
  s.supported = f.mFormatID == kAudioFormatLinearPCM &&
                (f.mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 && sampleOK &&
                s.channels >= 1 && f.mSampleRate > 0 && std::isfinite(f.mSampleRate) &&
                f.mBytesPerFrame == frameBytes && f.mFramesPerPacket == 1;
  return s;
}

soxr_datatype_t resamplerType(bool isFloat, bool split) {
  if (isFloat) return split ? SOXR_FLOAT32_S : SOXR_FLOAT32_I;
  return split ? SOXR_INT16_S : SOXR_INT16_I;
}

inline float sampleToFloat(const std::uint8_t* p, bool isFloat) {
  if (isFloat) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
  }
  std::int16_t v;
  std::memcpy(&v, p, 2);
  return float(v) * (1.0f / 32768.0f);
}

inline void floatToSample(float v, std::uint8_t* p, bool isFloat) {
  if (isFloat) {
    std::memcpy(p, &v, 4);
    return;
  }
  const float scaled = std::nearbyint(v * 32768.0f);
  const auto s = std::int16_t(std::clamp(scaled, -32768.0f, 32767.0f));
  std::memcpy(p, &s, 2);
}

void logCreationFailure(OSStatus status) {
  const std::string code = fourCharCode(status);
  QUR_LOG_ERROR("%s: AudioConverterNew failed with %li (%4.4s)",
                "initWithInputFormat:outputFormat:", long(status), code.c_str());
}

}  // namespace

std::unique_ptr<PCMFormatConverter> PCMFormatConverter::create(
    const AudioStreamBasicDescription& inputFormat, const AudioStreamBasicDescription& outputFormat,
    OSStatus* status) {
  std::unique_ptr<PCMFormatConverter> converter(new PCMFormatConverter());
  converter->_inputFormat = inputFormat;
  converter->_outputFormat = outputFormat;
  const OSStatus result = converter->setUp();
  if (status) *status = result;
  if (result != noErr) {
    logCreationFailure(result);
    return nullptr;
  }
  return converter;
}

OSStatus PCMFormatConverter::setUp() {
  const Shape in = describe(_inputFormat);
  const Shape out = describe(_outputFormat);
  if (!in.supported || !out.supported) return kPCMFormatConverterErrFormatNotSupported;
  if (in.channels != out.channels && in.channels != 1 && out.channels != 1) {
    return kPCMFormatConverterErrFormatNotSupported;
  }
  _sampleRateRatio = float(_outputFormat.mSampleRate / _inputFormat.mSampleRate);
  // Output frames fall on input frames every (input rate / gcd) frames.
  const auto inRate = std::uint64_t(_inputFormat.mSampleRate);
  const auto outRate = std::uint64_t(_outputFormat.mSampleRate);
  if (double(inRate) == _inputFormat.mSampleRate && double(outRate) == _outputFormat.mSampleRate) {
    const std::uint64_t grid = inRate / std::gcd(inRate, outRate);
    if (grid <= kMaxInputRequestFrames) _alignFrames = UInt32(grid);
  }
  _downmix = in.channels > 1 && out.channels == 1;
  _upmix = in.channels == 1 && out.channels > 1;
  _resamplerChannels = std::min(in.channels, out.channels);

  soxr_io_spec_t io =
      soxr_io_spec(_downmix ? SOXR_FLOAT32_I : resamplerType(in.isFloat, !in.interleaved),
                   // Split output goes through an interleaved scratch: the resampler's pull
                   // loop advances its output pointer as one interleaved block.
                   _upmix ? SOXR_FLOAT32_I : resamplerType(out.isFloat, false));
  // Dither would turn digital silence into noise and make output
  // irreproducible; the signal is voice headed for a lossy codec anyway.
  io.flags |= SOXR_NO_DITHER;
  // Band-limited, short look-ahead: enough for voice, and cheap.
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  _converter = soxr_create(_inputFormat.mSampleRate, _outputFormat.mSampleRate, _resamplerChannels,
                           &error, &io, &quality, &runtime);
  if (!_converter || error) return kPCMFormatConverterErrResampler;
  error = soxr_set_input_fn(_converter, &inputProcedure, this, kMaxInputRequestFrames);
  if (error) return kPCMFormatConverterErrResampler;

  circularBufferSetUp(&_converterBuffer, std::int32_t(kConverterBufferBytes));
  _converterInputBuffer = audioBufferListCreateForFormat(_inputFormat, kScratchFrames);
  if (!_converterInputBuffer) return kPCMFormatConverterErrResampler;
  _converterInputBufferCapacity = kScratchFrames * _inputFormat.mBytesPerFrame;
  _silenceBuffer.assign(
      std::size_t(kScratchFrames) * std::max<UInt32>(_inputFormat.mBytesPerFrame, 4), 0);
  _inputPointers.assign(in.channels, nullptr);
  if (_downmix) _monoInput.assign(kScratchFrames, 0.0f);
  _splitOutput = !out.interleaved && out.channels > 1;
  if (_upmix || _splitOutput) {
    _outputScratch.assign(std::size_t(kFetchChunkFrames) * _resamplerChannels * 4, 0);
  }
  _outputBase.assign(out.channels, nullptr);

  // A sink for flushing, shaped like the output format.
  const std::size_t perChannel = std::size_t(kFetchChunkFrames) * _outputFormat.mBytesPerFrame;
  _primeOutput.assign(perChannel * out.channels, 0);
  _primeBase.assign(out.channels, nullptr);
  for (UInt32 c = 0; c < out.channels; ++c) {
    _primeBase[c] = _primeOutput.data() + (out.interleaved ? 0 : c * perChannel);
  }
  // Running silence through in the largest blocks it asks for, and then in
  // every fetch size the owners use, grows the resampler's internal queues to
  // their working size now, so fetches on the audio thread never allocate.
  _silenceChunkFrames = kScratchFrames;
  for (UInt32 size : {1u, 7u, 64u, 441u, 960u, 2880u, kFetchChunkFrames}) {
    for (int i = 0; i < 8; ++i) {
      UInt32 produced = 0;
      pull(_primeBase.data(), size, &produced);
    }
  }
  // The input procedure notes the resampler's delay whenever it runs dry;
  // random fetch and block sizes walk it through its processing phases.
  std::uint32_t seed = 0x2545F491u;
  auto random = [&seed](std::uint32_t range) {
    seed = seed * 1664525u + 1013904223u;
    return 1 + (seed >> 8) % range;
  };
  for (int i = 0; i < kProbeRounds; ++i) {
    _silenceChunkFrames = random(kMaxInputRequestFrames);
    UInt32 produced = 0;
    pull(_primeBase.data(), random(kProbeMaxFetchFrames), &produced);
  }
  _silenceChunkFrames = kSilenceChunkFrames;
  flushResampler();
  return soxr_error(_converter) ? kPCMFormatConverterErrResampler : noErr;
}

PCMFormatConverter::~PCMFormatConverter() {
  circularBufferTearDown(&_converterBuffer);
  audioBufferListFree(_converterInputBuffer);
  if (_converter) soxr_delete(_converter);
}

std::size_t PCMFormatConverter::inputProcedure(void* state, const void** data,
                                               std::size_t requested) {
  auto* self = static_cast<PCMFormatConverter*>(state);
  // Asked for input, the resampler has delivered all it can of what it
  // holds: its delay now is how far it must read ahead of its output.
  self->_lookAhead = std::max(self->_lookAhead, soxr_delay(self->_converter));
  const UInt32 wanted = UInt32(std::clamp<std::size_t>(requested, 1, kScratchFrames));
  AudioBufferList* scratch = self->_converterInputBuffer;
  const bool split = scratch->mNumberBuffers > 1;

  if (circularBufferReadPointer(&self->_converterBuffer, nullptr)) {
    for (UInt32 i = 0; i < scratch->mNumberBuffers; ++i) {
      scratch->mBuffers[i].mDataByteSize = self->_converterInputBufferCapacity;
    }
    UInt32 frames = wanted;
    AudioTimeStamp first{};
    circularBufferDequeueBufferListFrames(&self->_converterBuffer, &frames, scratch, &first,
                                          &self->_inputFormat);
    if (frames > 0) {
      shiftTimestamp(first, double(frames), self->_inputFormat.mSampleRate);
      self->_afterTaken = first;
      self->_trailingSilence = 0;
      self->_taken += frames;
      if (self->_downmix) {
        const Shape in = describe(self->_inputFormat);
        for (UInt32 f = 0; f < frames; ++f) {
          float sum = 0;
          for (UInt32 c = 0; c < in.channels; ++c) {
            const auto* base =
                static_cast<const std::uint8_t*>(scratch->mBuffers[split ? c : 0].mData);
            const std::size_t index = split ? f : std::size_t(f) * in.channels + c;
            sum += sampleToFloat(base + index * in.sampleBytes, in.isFloat);
          }
          self->_monoInput[f] = sum / float(in.channels);
        }
        *data = self->_monoInput.data();
      } else if (split) {
        for (UInt32 c = 0; c < scratch->mNumberBuffers; ++c) {
          self->_inputPointers[c] = scratch->mBuffers[c].mData;
        }
        *data = self->_inputPointers.data();
      } else {
        *data = scratch->mBuffers[0].mData;
      }
      return frames;
    }
  }
  // Nothing fed: silence, never an end of input (the resampler could not be
  // restarted after one without allocating).
  UInt32 silent = std::min(wanted, self->_silenceChunkFrames);
  if (self->_flushing && self->_alignFrames > 0) {
    // End on a multiple of the grid: whole output frames then stand for the
    // input taken, and fresh input starts exactly on an output frame.
    const UInt32 grid = self->_alignFrames;
    silent = UInt32((grid - self->_taken % grid) % grid);
    while (silent + grid <= std::max(self->_silenceChunkFrames, grid)) silent += grid;
    silent = std::min(silent, wanted);
  }
  self->_trailingSilence += silent;
  self->_taken += silent;
  if (split && !self->_downmix) {
    for (auto& pointer : self->_inputPointers) pointer = self->_silenceBuffer.data();
    *data = self->_inputPointers.data();
  } else {
    *data = self->_silenceBuffer.data();
  }
  return silent;
}

OSStatus PCMFormatConverter::pull(void* const* outputs, UInt32 frames, UInt32* produced) {
  const Shape out = describe(_outputFormat);
  const bool split = !out.interleaved && out.channels > 1;
  UInt32 done = 0;
  OSStatus status = noErr;
  while (done < frames) {
    const UInt32 n = std::min(kFetchChunkFrames, frames - done);
    std::size_t got = 0;
    if (_upmix) {
      got = soxr_output(_converter, _outputScratch.data(), n);
      const auto* mono = reinterpret_cast<const float*>(_outputScratch.data());
      for (UInt32 f = 0; f < got; ++f) {
        for (UInt32 c = 0; c < out.channels; ++c) {
          auto* base = static_cast<std::uint8_t*>(outputs[split ? c : 0]);
          const std::size_t index = split ? done + f : (std::size_t(done) + f) * out.channels + c;
          floatToSample(mono[f], base + index * out.sampleBytes, out.isFloat);
        }
      }
    } else if (split) {
      got = soxr_output(_converter, _outputScratch.data(), n);
      const std::uint8_t* from = _outputScratch.data();
      for (UInt32 f = 0; f < got; ++f) {
        for (UInt32 c = 0; c < out.channels; ++c) {
          std::memcpy(
              static_cast<std::uint8_t*>(outputs[c]) + (std::size_t(done) + f) * out.sampleBytes,
              from, out.sampleBytes);
          from += out.sampleBytes;
        }
      }
    } else {
      got = soxr_output(
          _converter,
          static_cast<std::uint8_t*>(outputs[0]) + std::size_t(done) * _outputFormat.mBytesPerFrame,
          n);
    }
    done += UInt32(got);
    if (got < n) {
      status = kPCMFormatConverterErrResampler;
      break;
    }
  }
  if (soxr_error(_converter)) status = kPCMFormatConverterErrResampler;
  *produced = done;
  return status;
}

void PCMFormatConverter::flushResampler() {
  // Everything owed, then the filter's reach again, so that no trace of
  // earlier input is left inside.
  const double owed = std::max(0.0, soxr_delay(_converter));
  UInt32 left = UInt32(std::ceil(owed + 2 * _lookAhead)) + kFlushTailFrames;
  _flushing = true;
  while (left > 0) {
    const UInt32 n = std::min(left, kFetchChunkFrames);
    UInt32 produced = 0;
    if (pull(_primeBase.data(), n, &produced) != noErr) break;
    left -= n;
  }
  _flushing = false;
  // The silence read ahead would come out before the next input; the next
  // fetch drops it. On the grid the owed count is whole (up to rounding in
  // the resampler's own arithmetic).
  _skipFrames = UInt32(std::max(0.0, std::floor(soxr_delay(_converter) + kCountSlack)));
}

void PCMFormatConverter::dropOwedSilence() {
  while (_skipFrames > 0) {
    const UInt32 n = std::min(_skipFrames, kFetchChunkFrames);
    UInt32 produced = 0;
    const OSStatus status = pull(_primeBase.data(), n, &produced);
    _skipFrames -= n;
    if (status != noErr) {
      _skipFrames = 0;
      break;
    }
  }
}

double PCMFormatConverter::owedOutputFrames() const {
  return soxr_delay(_converter) - double(_skipFrames);
}

// What the resampler owes for fed input, without the silence it was handed
// after the last of it.
double PCMFormatConverter::owedRealOutputFrames() const {
  return owedOutputFrames() - _trailingSilence * double(_sampleRateRatio);
}

void PCMFormatConverter::feedSamplesFromAudioBufferList(const AudioBufferList* list,
                                                        const AudioTimeStamp* timestamp) {
  if (!list || list->mNumberBuffers != _converterInputBuffer->mNumberBuffers) return;
  circularBufferCopyAudioBufferList(&_converterBuffer, list, timestamp, kCircularBufferCopyAll,
                                    nullptr);
}

UInt32 PCMFormatConverter::availableOutputSamples() {
  const UInt32 stored = circularBufferPeek(&_converterBuffer, nullptr, &_inputFormat);
  const double frames = double(float(stored) * _sampleRateRatio) + owedOutputFrames() - _lookAhead -
                        kLookAheadMarginFrames + kCountSlack;
  return frames >= 1 ? std::min(UInt32(frames), allAvailableOutputSamples()) : 0;
}

UInt32 PCMFormatConverter::allAvailableOutputSamples() {
  const UInt32 stored = circularBufferPeek(&_converterBuffer, nullptr, &_inputFormat);
  // Silence handed out after earlier input comes out before stored input.
  const double owed = stored > 0 ? owedOutputFrames() : owedRealOutputFrames();
  const double frames = double(float(stored) * _sampleRateRatio) + owed + kCountSlack;
  return frames >= 1 ? UInt32(frames) : 0;
}

OSStatus PCMFormatConverter::fetchIntoAudioBufferList(AudioBufferList* list, UInt32 frameCount) {
  if (!list) return kPCMFormatConverterErrBadBufferList;
  const Shape out = describe(_outputFormat);
  const UInt32 buffers = out.interleaved ? 1 : out.channels;
  if (list->mNumberBuffers < buffers) return kPCMFormatConverterErrBadBufferList;
  const UInt32 frameBytes = _outputFormat.mBytesPerFrame;
  UInt32 frames = frameCount;
  for (UInt32 i = 0; i < buffers; ++i) {
    if (!list->mBuffers[i].mData && frames > 0) return kPCMFormatConverterErrBadBufferList;
    frames = std::min(frames, list->mBuffers[i].mDataByteSize / frameBytes);
    _outputBase[i] = list->mBuffers[i].mData;
  }
  UInt32 produced = 0;
  if (frames > 0) dropOwedSilence();
  const OSStatus status = frames > 0 ? pull(_outputBase.data(), frames, &produced) : noErr;
  for (UInt32 i = 0; i < buffers; ++i) list->mBuffers[i].mDataByteSize = produced * frameBytes;
  return status;
}

OSStatus PCMFormatConverter::fetchAll(AudioBufferList* list, UInt32* frameCount) {
  const UInt32 frames = allAvailableOutputSamples();
  const OSStatus status = fetchIntoAudioBufferList(list, frames);
  if (frameCount) {
    *frameCount = list && list->mNumberBuffers > 0
                      ? list->mBuffers[0].mDataByteSize / _outputFormat.mBytesPerFrame
                      : 0;
  }
  return status;
}

void PCMFormatConverter::reset() {
  // The resampler's own reset frees and rebuilds its state, which must not
  // happen on the audio thread; pushing silence through it drops the
  // history and look-ahead just the same.
  circularBufferDiscardAll(&_converterBuffer);
  flushResampler();
  if (soxr_error_t error = soxr_error(_converter)) {
    (void)error;
    const std::string code = fourCharCode(kPCMFormatConverterErrResampler);
    QUR_LOG_ERROR("AudioConverterReset failed with %d ('%4.4s')",
                  int(kPCMFormatConverterErrResampler), code.c_str());
  }
  circularBufferDiscardAll(&_converterBuffer);
}

bool PCMFormatConverter::nextInputTimestamp(AudioTimeStamp* timestamp) {
  // The next output frame comes from input the resampler has already read
  // while it still owes a whole frame for that input.
  const double owed = owedRealOutputFrames();
  if (owed + kCountSlack >= 1) {
    if (timestamp) {
      *timestamp = _afterTaken;
      shiftTimestamp(*timestamp, -owed / double(_sampleRateRatio), _inputFormat.mSampleRate);
    }
    return true;
  }
  return circularBufferOldestBufferList(&_converterBuffer, timestamp) != nullptr;
}

void pcmFormatConverterFeed(PCMFormatConverter* converter, const AudioBufferList* list,
                            const AudioTimeStamp* timestamp) {
  converter->feedSamplesFromAudioBufferList(list, timestamp);
}

UInt32 pcmFormatConverterAvailableOutputSamples(PCMFormatConverter* converter) {
  return converter->availableOutputSamples();
}

UInt32 pcmFormatConverterAllAvailableOutputSamples(PCMFormatConverter* converter) {
  return converter->allAvailableOutputSamples();
}

OSStatus pcmFormatConverterFetch(PCMFormatConverter* converter, AudioBufferList* list,
                                 UInt32 frameCount) {
  return converter->fetchIntoAudioBufferList(list, frameCount);
}

OSStatus pcmFormatConverterFetchAll(PCMFormatConverter* converter, AudioBufferList* list,
                                    UInt32* frameCount) {
  return converter->fetchAll(list, frameCount);
}

void pcmFormatConverterReset(PCMFormatConverter* converter) {
  converter->reset();
}

bool pcmFormatConverterNextInputTimestamp(PCMFormatConverter* converter,
                                          AudioTimeStamp* timestamp) {
  return converter->nextInputTimestamp(timestamp);
}

}  // namespace qur
