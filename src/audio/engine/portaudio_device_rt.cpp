// The PortAudio device's stream threads: the output stream's callback runs
// the cycles, the input stream's feeds the capture bridge. No allocation, no
// lock, no system call beyond reading the clock.
#include <portaudio.h>

#include <algorithm>
#include <cstring>

#include "audio/audio_types.h"
#include "audio/engine/portaudio_device.h"
#include "log/thread_role.h"

namespace qur {
namespace {

// Counted before the check, so that abandon() either sees the callback
// inside or the callback sees its flag.
struct CallbackScope {
  explicit CallbackScope(std::atomic<int>& counter) : counter(counter) { counter.fetch_add(1); }
  ~CallbackScope() { counter.fetch_sub(1); }
  std::atomic<int>& counter;
};

}  // namespace

int PortAudioDevice::outputCallback(const void*, void* output, unsigned long frames,
                                    const void* timeInfo, unsigned long statusFlags,
                                    void* userData) {
  auto* context = static_cast<StreamContext*>(userData);
  // PortAudio's thread is ours for the stream's life; a thread-local store per cycle.
  setCurrentThreadRole(ThreadRole::Audio);
  {
    CallbackScope inside(context->inCallback);
    if (!context->abandoned.load()) {
      context->device->runCycle(static_cast<int16_t*>(output), uint32_t(frames), timeInfo,
                                statusFlags);
      return paContinue;
    }
  }
  std::memset(output, 0, frames * size_t(context->channels) * sizeof(int16_t));
  // Ends this stream's thread; the stream is closed once it has ended.
  return paAbort;
}

int PortAudioDevice::inputCallback(const void* input, void*, unsigned long frames,
                                   const void* timeInfo, unsigned long statusFlags,
                                   void* userData) {
  auto* context = static_cast<StreamContext*>(userData);
  CallbackScope inside(context->inCallback);
  if (context->abandoned.load()) return paAbort;
  context->device->receive(static_cast<const int16_t*>(input), uint32_t(frames), timeInfo,
                           statusFlags);
  return paContinue;
}

void PortAudioDevice::streamFinished(void* userData) {
  auto* context = static_cast<StreamContext*>(userData);
  if (!context->abandoned.load()) {
    PortAudioDevice* self = context->device;
    if (self->_started) self->_finishedUnexpectedly = true;
  }
  context->finished.store(true);  // last: the context may be deleted from here on
}

void PortAudioDevice::receive(const int16_t* input, uint32_t frames, const void* timeInfo,
                              unsigned long flags) {
  const uint64_t now = hostTimeNow();
  const auto* time = static_cast<const PaStreamCallbackTimeInfo*>(timeInfo);
  const bool timed = time && time->inputBufferAdcTime > 0;
  if (flags & paInputOverflow) {
    _overflows.fetch_add(1, std::memory_order_relaxed);
    // Audio was lost before this buffer: as much silence as the recording
    // times say is missing keeps what follows at its place in time.
    if (timed && _lastAdcTime > 0) {
      const double missing =
          (time->inputBufferAdcTime - _lastAdcTime) * _format.sampleRate - _lastInputFrames;
      if (missing > frames / 2.0 && missing < _format.sampleRate / 2) {
        _bridge.push(nullptr, uint32_t(missing + 0.5), now);
      }
    }
  }
  if (timed) {
    _lastAdcTime = time->inputBufferAdcTime;
    _lastInputFrames = frames;
    // How old the first frame is now that it arrives; the cycle adds what
    // the bridge holds.
    if (time->currentTime >= time->inputBufferAdcTime) {
      _captureDelay.store(time->currentTime - time->inputBufferAdcTime, std::memory_order_relaxed);
    }
  }
  _bridge.push(input, frames, now);
}

void PortAudioDevice::runCycle(int16_t* output, uint32_t frames, const void* timeInfo,
                               unsigned long flags) {
  if (flags & paOutputUnderflow) _underflows.fetch_add(1, std::memory_order_relaxed);
  const uint64_t now = hostTimeNow();
  const int16_t* in = nullptr;
  if (_input) {
    // Silence while the bridge fills: the cycle still runs for the speaker.
    _bridge.pull(_inputCycle.data(), frames, now);
    in = _inputCycle.data();
  }
  double outputSeconds = _outputLatency;
  if (const auto* time = static_cast<const PaStreamCallbackTimeInfo*>(timeInfo);
      time && time->outputBufferDacTime > time->currentTime) {
    outputSeconds = time->outputBufferDacTime - time->currentTime;
  }
  const double inputSeconds = _input ? _captureDelay.load(std::memory_order_relaxed) +
                                           (_bridge.heldFrames() + frames) / _format.sampleRate
                                     : 0.0;
  _client->audioDeviceLatencies(inputSeconds, outputSeconds);
  _client->audioDeviceCycle(in, output, frames, now);
  _cycles.fetch_add(1, std::memory_order_relaxed);
  if (_input) _bridge.playbackServed(now);
}

}  // namespace qur
