// The engine's audio thread: one device cycle, input path then output path.
// No allocation, no lock, no system call, no logging.
#include <algorithm>
#include <cstring>

#include "audio/engine/audio_engine.h"
#include "audio/engine/voice_processor.h"
#include "log/thread_role.h"

namespace qur {

void AudioEngine::audioDeviceCycle(const int16_t* input, int16_t* output, uint32_t frames,
                                   uint64_t hostTimeNs) {
  QUR_ASSERT_THREAD(ThreadRole::Audio);
  const UInt32 channels = _audioDescription.mChannelsPerFrame;
  if (!_queue.enterCycle()) {
    // Another thread is inside a cycle (a replaced stream still calling), or
    // the engine is stopped: the tables and rings are not ours.
    std::memset(output, 0, size_t(frames) * channels * sizeof(int16_t));
    return;
  }
  const float master = _muteOutput.load(std::memory_order_relaxed)
                           ? 0.0f
                           : _masterOutputVolume.load(std::memory_order_relaxed);
  const bool withInput = input && _inputAvailable.load(std::memory_order_relaxed);
  uint32_t done = 0;
  while (done < frames) {
    const UInt32 slice = std::min<uint32_t>(frames - done, kMaxFramesPerSlice);
    const uint64_t sliceTime =
        hostTimeNs + uint64_t(double(done) / _audioDescription.mSampleRate * kHostTicksPerSecond);
    if (withInput) inputCycle(input + size_t(done) * channels, slice, sliceTime);
    _mixer.render(this, _rtChannels, _rtChannelCount, master, output + size_t(done) * channels,
                  slice, sliceTime);
    // A cycle without microphone audio gives the canceller no reference
    // either, so the two stay aligned.
    if (withInput && _voiceProcessingActive.load(std::memory_order_relaxed)) {
      _voiceProcessor->analyzeReference(output + size_t(done) * channels, slice);
    }
    _sampleTime += slice;
    done += slice;
  }
  _queue.leaveCycle();  // runs a pending table change
}

void AudioEngine::audioDeviceLatencies(double inputSeconds, double outputSeconds) {
  _inputLatency.store(inputSeconds, std::memory_order_relaxed);
  _outputLatency.store(outputSeconds, std::memory_order_relaxed);
  // Read unguarded, like the processor itself: it is set up before the
  // device starts and kept until the engine goes.
  if (_voiceProcessingActive.load(std::memory_order_relaxed)) {
    _voiceProcessor->setDeviceDelay(inputSeconds + outputSeconds);
  }
}

void AudioEngine::inputCycle(const int16_t* input, UInt32 frames, uint64_t hostTimeNs) {
  QUR_ASSERT_THREAD(ThreadRole::Audio);
  const UInt32 bytes = frames * _audioDescription.mBytesPerFrame;
  _inputTime = AudioTimeStamp{};
  _inputTime.mSampleTime = _sampleTime;
  _inputTime.mHostTime =
      hostTimeNs + secondsToHostTicks(_inputLatency.load(std::memory_order_relaxed));
  _inputTime.mFlags = kAudioTimeStampSampleHostTimeValid;
  _rawInputList->mBuffers[0].mData = const_cast<int16_t*>(input);
  _rawInputList->mBuffers[0].mDataByteSize = bytes;
  processMicrophone(_rawInputList, frames);

  if (_rtInputCount == 0) return;
  const AudioBufferList* delivered = _rawInputList;
  if (_rtFilterCount > 0) {
    const InputEntry& last = _rtInput[_rtFilterIndex[_rtFilterCount - 1]];
    std::memset(_filteredData.data(), 0, bytes);
    _filteredList->mBuffers[0].mDataByteSize = bytes;
    reinterpret_cast<AudioEngineFilterCallback>(last.callback)(
        static_cast<AudioFilter*>(last.object), this, &AudioEngine::filterProducer,
        &_filterLinks[_rtFilterCount - 1], &_inputTime, frames, _filteredList);
    _filteredList->mBuffers[0].mDataByteSize = bytes;
    delivered = _filteredList;
  }
  for (int i = 0; i < _rtInputCount; ++i) {
    const InputEntry& entry = _rtInput[i];
    if (entry.kind != 2) continue;
    reinterpret_cast<AudioEngineReceiverCallback>(entry.callback)(
        static_cast<AudioReceiver*>(entry.object), this, kAudioEngineSourceInput, &_inputTime,
        frames, delivered);
  }
}

// Microphone frames as the device delivered them, before any filter sees
// them; the echo canceller will work on them here when voice processing is on.
void AudioEngine::processMicrophone(AudioBufferList* input, UInt32 frames) {
  if (!_voiceProcessingActive.load(std::memory_order_relaxed)) return;
  AudioBuffer& buffer = input->mBuffers[0];
  std::memcpy(_processedInput.data(), buffer.mData, buffer.mDataByteSize);
  _voiceProcessor->processCapture(_processedInput.data(), frames);
  buffer.mData = _processedInput.data();
}

// The producer handed to filter k pulls from filter k-1, or from the raw
// input for the first filter.
OSStatus AudioEngine::filterProducer(void* token, AudioBufferList* audio, UInt32* frames) {
  const auto* link = static_cast<const FilterLink*>(token);
  AudioEngine* engine = link->engine;
  const UInt32 frameBytes = engine->_audioDescription.mBytesPerFrame;
  if (link->index == 0) {
    const AudioBuffer& raw = engine->_rawInputList->mBuffers[0];
    UInt32 bytes = std::min(*frames * frameBytes, raw.mDataByteSize);
    for (UInt32 b = 0; b < audio->mNumberBuffers; ++b) {
      const UInt32 n = std::min(bytes, audio->mBuffers[b].mDataByteSize);
      std::memcpy(audio->mBuffers[b].mData, raw.mData, n);
      audio->mBuffers[b].mDataByteSize = n;
      bytes = std::min(bytes, n);
    }
    *frames = bytes / frameBytes;
    return noErr;
  }
  const InputEntry& previous = engine->_rtInput[engine->_rtFilterIndex[link->index - 1]];
  return reinterpret_cast<AudioEngineFilterCallback>(previous.callback)(
      static_cast<AudioFilter*>(previous.object), engine, &AudioEngine::filterProducer,
      &engine->_filterLinks[link->index - 1], &engine->_inputTime, *frames, audio);
}

}  // namespace qur
