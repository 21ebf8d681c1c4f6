// The cycle thread's side of the voice processor and the processing steps,
// which run on the processing thread or, inline, on the cycle thread.
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/engine/voice_processor.h"
#include "audio/pcm_format_converter.h"

namespace qur {
namespace {

// About half a second of blocks to follow a new delay; the canceller's own
// blocks are 4 ms, so smaller changes are left to its delay estimate.
constexpr double kDelaySmoothing = 0.02;
constexpr double kDelayStepMs = 4.0;

}  // namespace

void VoiceProcessor::processCapture(int16_t* samples, UInt32 frames) {
  const std::int32_t bytes = std::int32_t(frames * _frameBytes);
  if (!circularBufferProduceBytes(&_captureRing, samples, bytes)) {
    _dropped.fetch_add(frames, std::memory_order_relaxed);
  }

  std::int32_t stored = 0;
  circularBufferReadPointer(&_processedRing, &stored);
  UInt32 ready = UInt32(stored) / _frameBytes;
  const UInt32 block = UInt32(_engineFormat.mSampleRate / 100);
  // After a stall the processed audio piles up: skip what keeps it well
  // behind, so latency returns to its least.
  const UInt32 keep = frames + 2 * block;
  if (ready > keep + frames) {
    const UInt32 skip = ready - keep;
    circularBufferConsume(&_processedRing, std::int32_t(skip * _frameBytes));
    _latencyFrames.fetch_sub(skip, std::memory_order_relaxed);
    ready -= skip;
  }
  // Processed audio arrives in whole blocks. When cycles do not divide into
  // them, a block's worth held back at the start covers the boundaries
  // drifting through the cycles; otherwise each new worst case would make
  // another cycle late.
  const UInt32 cushion = _primed || frames % block == 0 ? 0 : block;
  ready = ready > cushion ? ready - cushion : 0;
  // What is missing becomes silence, ahead of the audio while the pipeline
  // fills (so the stream starts whole) and after it on a late block; either
  // way the audio that follows is that much later.
  const UInt32 take = std::min(ready, frames);
  const UInt32 missing = frames - take;
  const UInt32 at = _primed ? 0 : missing;
  if (take > 0) {
    void* data = circularBufferReadPointer(&_processedRing, &stored);
    std::memcpy(samples + size_t(at) * _engineFormat.mChannelsPerFrame, data,
                size_t(take) * _frameBytes);
    circularBufferConsume(&_processedRing, std::int32_t(take * _frameBytes));
  }
  if (missing > 0) {
    std::memset(samples + size_t(_primed ? take : 0) * _engineFormat.mChannelsPerFrame, 0,
                size_t(missing) * _frameBytes);
    _latencyFrames.fetch_add(missing, std::memory_order_relaxed);
    if (_primed) _underruns.fetch_add(1, std::memory_order_relaxed);
  }
  if (take > 0) _primed = true;
}

void VoiceProcessor::analyzeReference(const int16_t* samples, UInt32 frames) {
  const std::int32_t bytes = std::int32_t(frames * _frameBytes);
  if (!circularBufferProduceBytes(&_referenceRing, samples, bytes)) {
    _dropped.fetch_add(frames, std::memory_order_relaxed);
  }
  if (!_settings.dedicatedThread) processPending();
}

void VoiceProcessor::processPending() {
  feedFromRing(&_captureRing, _captureIn.get());
  // Without the canceller the reference is only drained.
  feedFromRing(&_referenceRing, _settings.echoCancellation ? _referenceIn.get() : nullptr);
  // Capture and reference move in step: a block waits for both.
  while (pcmFormatConverterAvailableOutputSamples(_captureIn.get()) >= kBlockFrames &&
         (!_settings.echoCancellation ||
          pcmFormatConverterAvailableOutputSamples(_referenceIn.get()) >= kBlockFrames)) {
    processBlock();
  }
  UInt32 ready = pcmFormatConverterAvailableOutputSamples(_captureOut.get());
  while (ready > 0) {
    const UInt32 n = std::min(ready, kChunkFrames);
    _outputList->mBuffers[0].mDataByteSize = UInt32(_monoScratch.size() * sizeof(int16_t));
    pcmFormatConverterFetch(_captureOut.get(), _outputList, n);
    const UInt32 channels = _engineFormat.mChannelsPerFrame;
    for (UInt32 f = 0; f < n; ++f) {
      for (UInt32 c = 0; c < channels; ++c) _outputScratch[f * channels + c] = _monoScratch[f];
    }
    if (!circularBufferProduceBytes(&_processedRing, _outputScratch.data(),
                                    std::int32_t(n * _frameBytes))) {
      _dropped.fetch_add(n, std::memory_order_relaxed);
    }
    ready -= n;
  }
}

void VoiceProcessor::feedFromRing(CircularBuffer* ring, PCMFormatConverter* converter) {
  const UInt32 channels = _engineFormat.mChannelsPerFrame;
  _feedList->mBuffers[0].mData = _monoScratch.data();
  std::int32_t stored = 0;
  while (const auto* data = static_cast<const int16_t*>(circularBufferReadPointer(ring, &stored))) {
    const UInt32 frames = std::min(UInt32(stored) / _frameBytes, kChunkFrames);
    if (converter) {
      for (UInt32 f = 0; f < frames; ++f) {
        int sum = 0;
        for (UInt32 c = 0; c < channels; ++c) sum += data[f * channels + c];
        _monoScratch[f] = int16_t(sum / int(channels));
      }
      _feedList->mBuffers[0].mDataByteSize = frames * sizeof(int16_t);
      pcmFormatConverterFeed(converter, _feedList, nullptr);
    }
    circularBufferConsume(ring, std::int32_t(frames * _frameBytes));
  }
}

void VoiceProcessor::followDeviceDelay() {
  const double measured = std::max(0.0, _deviceDelay.load(std::memory_order_relaxed)) * 1000.0;
  _smoothedDelayMs = _smoothedDelayMs < 0
                         ? measured
                         : _smoothedDelayMs + kDelaySmoothing * (measured - _smoothedDelayMs);
  if (std::abs(_smoothedDelayMs - _streamDelayMs) >= kDelayStepMs) {
    _streamDelayMs = int(std::lround(_smoothedDelayMs));
    _shownDelayMs.store(_streamDelayMs, std::memory_order_relaxed);
  }
}

void VoiceProcessor::processBlock() {
  const webrtc::StreamConfig config(kProcessingRate, 1);
  _nearList->mBuffers[0].mDataByteSize = kBlockFrames * sizeof(float);
  pcmFormatConverterFetch(_captureIn.get(), _nearList, kBlockFrames);
  bool failed = false;
  if (_settings.echoCancellation) {
    _farList->mBuffers[0].mDataByteSize = kBlockFrames * sizeof(float);
    pcmFormatConverterFetch(_referenceIn.get(), _farList, kBlockFrames);
    float* far = _farBlock.data();
    failed = _library->ProcessReverseStream(&far, config, config, &far) != 0;
    followDeviceDelay();
    _library->set_stream_delay_ms(_streamDelayMs);
  }
  const float* near = _nearBlock.data();
  float* processed = _processedBlock.data();
  if (_library->ProcessStream(&near, config, config, &processed) != 0) {
    // A refused block goes out as it came rather than as a gap.
    std::copy(_nearBlock.begin(), _nearBlock.end(), _processedBlock.begin());
    failed = true;
  }
  if (failed) _failedBlocks.fetch_add(1, std::memory_order_relaxed);
  _processedList->mBuffers[0].mDataByteSize = kBlockFrames * sizeof(float);
  pcmFormatConverterFeed(_captureOut.get(), _processedList, nullptr);
  _blocks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace qur
