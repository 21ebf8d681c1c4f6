// The PortAudio device's main side: opening, starting, stopping and letting
// go of its streams, and PortAudio's device lists.
#include "audio/engine/portaudio_device.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"

namespace qur {
namespace {

std::mutex gPaMutex;
int gPaUsers = 0;

// Streams let go of after a loss, each with its context and one PortAudio
// reference; closed once their callback thread has ended. Never destroyed,
// since a callback may still run during exit.
struct AbandonedStream {
  void* stream;
  void* context;
  // When the stream was first seen inactive without its finished callback.
  std::chrono::steady_clock::time_point inactiveSince{};
};
// A stream inactive this long without having said it finished is taken as
// ended: its thread stopped without calling back.
constexpr auto kSilentEnd = std::chrono::seconds(2);
std::mutex gAbandonedMutex;
std::atomic<bool> gWarnedAbandonedLimit{false};
std::vector<AbandonedStream>* gAbandoned = new std::vector<AbandonedStream>();

// ALSA and JACK print probing noise on standard error while PortAudio
// enumerates devices; nobody can act on it, so it is hidden.
PaError quietly(PaError (*call)()) {
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && devnull >= 0) dup2(devnull, STDERR_FILENO);
  const PaError result = call();
  if (saved >= 0) {
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    ::close(saved);
  }
  if (devnull >= 0) ::close(devnull);
  return result;
}

// Reference-counted Pa_Initialize. A fresh initialisation re-enumerates the
// devices, which is what a device that came back after a loss needs.
bool acquirePortAudio(std::string* error) {
  std::lock_guard<std::mutex> lock(gPaMutex);
  if (gPaUsers == 0) {
    const PaError err = quietly(Pa_Initialize);
    if (err != paNoError) {
      if (error) *error = std::string("Pa_Initialize: ") + Pa_GetErrorText(err);
      return false;
    }
  }
  ++gPaUsers;
  return true;
}

void releasePortAudio() {
  std::lock_guard<std::mutex> lock(gPaMutex);
  if (gPaUsers > 0 && --gPaUsers == 0) Pa_Terminate();
}

PaDeviceIndex findDevice(const std::string& name, bool wantInput, bool wantOutput) {
  const PaDeviceIndex count = Pa_GetDeviceCount();
  // A full name picked from the list wins over a longer name that contains it.
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || !info->name || name != info->name) continue;
    if (wantInput && info->maxInputChannels <= 0) continue;
    if (wantOutput && info->maxOutputChannels <= 0) continue;
    return i;
  }
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || !info->name || !std::strstr(info->name, name.c_str())) continue;
    if (wantInput && info->maxInputChannels <= 0 && !wantOutput) continue;
    if (wantOutput && info->maxOutputChannels <= 0) continue;
    return i;
  }
  return paNoDevice;
}

}  // namespace

PortAudioDevice::PortAudioDevice(std::string deviceName, uint32_t framesPerBuffer,
                                 std::string inputDeviceName)
    : _deviceName(std::move(deviceName)),
      _inputDeviceName(std::move(inputDeviceName)),
      _framesPerBuffer(framesPerBuffer ? framesPerBuffer : 441) {}

PortAudioDevice::~PortAudioDevice() {
  close();
}

std::string PortAudioDevice::name() const {
  std::lock_guard<std::mutex> lock(_nameMutex);
  return "PortAudio '" + (_openedName.empty() ? std::string("default") : _openedName) + "'";
}

int PortAudioDevice::abandonedStreams() {
  std::lock_guard<std::mutex> lock(gAbandonedMutex);
  return int(gAbandoned->size());
}

void PortAudioDevice::closeFinishedStreams() {
  std::vector<AbandonedStream> finished;
  {
    std::lock_guard<std::mutex> lock(gAbandonedMutex);
    auto& all = *gAbandoned;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < all.size();) {
      auto& entry = all[i];
      auto* context = static_cast<StreamContext*>(entry.context);
      // The finished callback is the last thing its thread does. A stream
      // that merely reports itself inactive may still be in that callback,
      // about to touch its context: only a long silence counts as an end.
      bool ended = context->finished.load();
      if (!ended && Pa_IsStreamActive(static_cast<PaStream*>(entry.stream)) == 0) {
        if (entry.inactiveSince == std::chrono::steady_clock::time_point{}) {
          entry.inactiveSince = now;
        }
        ended = now - entry.inactiveSince >= kSilentEnd;
      }
      if (ended) {
        finished.push_back(entry);
        all.erase(all.begin() + ptrdiff_t(i));
      } else {
        ++i;
      }
    }
  }
  for (const AbandonedStream& entry : finished) {
    Pa_CloseStream(static_cast<PaStream*>(entry.stream));
    delete static_cast<StreamContext*>(entry.context);
    releasePortAudio();
  }
}

PortAudioDevice::StreamContext* PortAudioDevice::openStream(bool input, int device,
                                                            std::string* error) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  PaStreamParameters parameters{};
  parameters.device = device;
  parameters.channelCount = _format.channels;
  parameters.sampleFormat = paInt16;
  parameters.suggestedLatency =
      input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
  auto* context = new StreamContext;
  context->device = this;
  context->channels = _format.channels;
  auto* callback = reinterpret_cast<PaStreamCallback*>(input ? &PortAudioDevice::inputCallback
                                                             : &PortAudioDevice::outputCallback);
  PaStream* stream = nullptr;
  const PaError err =
      Pa_OpenStream(&stream, input ? &parameters : nullptr, input ? nullptr : &parameters,
                    _format.sampleRate, _framesPerBuffer, paClipOff, callback, context);
  if (err != paNoError || !stream) {
    delete context;
    if (error) *error = std::string("Pa_OpenStream: ") + Pa_GetErrorText(err);
    return nullptr;
  }
  context->stream = stream;
  Pa_SetStreamFinishedCallback(stream, &PortAudioDevice::streamFinished);
  return context;
}

bool PortAudioDevice::open(const AudioDeviceFormat& format, AudioDeviceClient* client,
                           std::string* error) {
  close();
  if (abandonedStreams() >= kMaxAbandonedStreams) {
    // Each lost stream holds a thread and a server connection until its
    // thread ends, and forcing it (aborting, closing) can hang for good in
    // a driver whose server died. So no new stream until one has ended.
    if (error) *error = std::to_string(kMaxAbandonedStreams) + " lost streams have not ended yet";
    if (!gWarnedAbandonedLimit.exchange(true)) {
      QUR_LOG_ERROR("Engine: %d lost audio streams have not ended; not reopening until one does",
                    kMaxAbandonedStreams);
    }
    return false;
  }
  gWarnedAbandonedLimit = false;
  if (!acquirePortAudio(error)) return false;
  _initialized = true;
  _format = format;
  _client = client;
  _cycles = 0;
  _underflows = 0;
  _overflows = 0;
  _finishedUnexpectedly = false;

  PaDeviceIndex outDevice = Pa_GetDefaultOutputDevice();
  PaDeviceIndex inDevice = Pa_GetDefaultInputDevice();
  if (!_deviceName.empty()) outDevice = findDevice(_deviceName, false, true);
  const std::string& inputName = _inputDeviceName.empty() ? _deviceName : _inputDeviceName;
  if (!inputName.empty()) {
    inDevice = findDevice(inputName, true, false);
    if (inDevice != paNoDevice && Pa_GetDeviceInfo(inDevice)->maxInputChannels <= 0) {
      inDevice = paNoDevice;
    }
  }
  if (outDevice == paNoDevice) {
    if (error)
      *error = "no output device" + (_deviceName.empty() ? "" : " named '" + _deviceName + "'");
    close();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(_nameMutex);
    const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(outDevice);
    _openedName = outInfo->name ? outInfo->name : "?";
  }
  _output = openStream(false, outDevice, error);
  if (!_output) {
    close();
    return false;
  }
  // Without a microphone the engine still plays; input is reported unavailable.
  if (format.inputEnabled && inDevice != paNoDevice &&
      Pa_GetDeviceInfo(inDevice)->maxInputChannels > 0) {
    std::string inputError;
    _input = openStream(true, inDevice, &inputError);
    if (!_input) QUR_LOG_ERROR("Engine: no microphone from PortAudio: %s", inputError.c_str());
  }
  _inputAvailable = _input != nullptr;
  if (const PaStreamInfo* info = Pa_GetStreamInfo(static_cast<PaStream*>(_output->stream))) {
    _outputLatency = info->outputLatency;
  }
  _inputLatency = 0;
  if (_input) {
    if (const PaStreamInfo* info = Pa_GetStreamInfo(static_cast<PaStream*>(_input->stream))) {
      _inputLatency = info->inputLatency;
    }
    _inputCycle.assign(size_t(_framesPerBuffer) * size_t(format.channels), 0);
    if (!_bridge.setUp(format.channels, format.sampleRate, _framesPerBuffer, _framesPerBuffer)) {
      if (error) *error = "cannot set up the microphone buffer";
      close();
      return false;
    }
    _inputLatency += _bridge.targetFrames() / format.sampleRate;
  }
  return true;
}

bool PortAudioDevice::start(std::string* error) {
  if (!_output) {
    if (error) *error = "device not open";
    return false;
  }
  _finishedUnexpectedly = false;
  // The same two clocks go on: what the bridge learnt of them still holds.
  if (_input) _bridge.reset(true);
  _lastAdcTime = 0;
  _started = true;
  for (StreamContext* context : {_input, _output}) {
    if (!context) continue;
    const PaError err = Pa_StartStream(static_cast<PaStream*>(context->stream));
    if (err == paNoError) continue;
    _started = false;
    if (error) {
      // A thread PortAudio could not create shows only in the host's error.
      const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
      *error = std::string("Pa_StartStream: ") + Pa_GetErrorText(err);
      if (err == paUnanticipatedHostError && host && host->errorText) {
        *error += std::string(" (") + host->errorText + ")";
      }
    }
    for (StreamContext* started : {_input, _output}) {
      if (started) Pa_AbortStream(static_cast<PaStream*>(started->stream));
    }
    return false;
  }
  return true;
}

void PortAudioDevice::stop() {
  if (!_output || !_started) return;
  _started = false;
  // Abort rather than drain: a lost device may never play out its buffers.
  for (StreamContext* context : {_output, _input}) {
    if (context) Pa_AbortStream(static_cast<PaStream*>(context->stream));
  }
}

void PortAudioDevice::closeStream(StreamContext*& context) {
  if (!context) return;
  Pa_CloseStream(static_cast<PaStream*>(context->stream));
  delete context;
  context = nullptr;
}

void PortAudioDevice::close() {
  stop();
  closeStream(_output);
  closeStream(_input);
  if (_initialized) {
    releasePortAudio();
    _initialized = false;
  }
  _inputAvailable = false;
  closeFinishedStreams();
}

void PortAudioDevice::abandonStream(StreamContext*& context) {
  if (!context) return;
  context->abandoned.store(true);
  // A callback past its check is inside the client or the bridge, which
  // never block; once it is out, no callback of this stream reaches them.
  while (context->inCallback.load() != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  {
    std::lock_guard<std::mutex> lock(gAbandonedMutex);
    gAbandoned->push_back(AbandonedStream{context->stream, context, {}});
  }
  // Each abandoned stream keeps a PortAudio reference until it is closed.
  acquirePortAudio(nullptr);
  context = nullptr;
}

void PortAudioDevice::abandon() {
  if (!_output) {
    close();
    return;
  }
  _started = false;
  abandonStream(_output);
  abandonStream(_input);
  if (_initialized) {
    releasePortAudio();
    _initialized = false;
  }
  _inputAvailable = false;
  closeFinishedStreams();
}

void PortAudioDevice::tidy() {
  closeFinishedStreams();
}

bool PortAudioDevice::isHealthy() const {
  if (!_output) return false;
  if (_finishedUnexpectedly) return false;
  if (_started) {
    for (const StreamContext* context : {_output, _input}) {
      if (context && Pa_IsStreamActive(static_cast<PaStream*>(context->stream)) != 1) return false;
    }
  }
  return true;
}

AudioDeviceStatistics PortAudioDevice::statistics() const {
  // The bridge's counters are atomics of a member that outlives every
  // stream; the stream pointers may be replaced meanwhile.
  AudioDeviceStatistics s = _bridge.statistics();
  s.playbackUnderflows = _underflows.load();
  s.captureOverflows = _overflows.load();
  return s;
}

std::vector<PortAudioDeviceInfo> portAudioDevices() {
  std::vector<PortAudioDeviceInfo> devices;
  if (!acquirePortAudio(nullptr)) return devices;
  const PaDeviceIndex count = Pa_GetDeviceCount();
  const PaDeviceIndex defIn = Pa_GetDefaultInputDevice();
  const PaDeviceIndex defOut = Pa_GetDefaultOutputDevice();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info || !info->name) continue;
    devices.push_back(
        {info->name, info->maxInputChannels, info->maxOutputChannels, i == defIn, i == defOut});
  }
  releasePortAudio();
  return devices;
}

std::vector<std::string> listPortAudioDevices() {
  std::vector<std::string> lines;
  std::string error;
  if (!acquirePortAudio(&error)) {
    lines.push_back(error);
    return lines;
  }
  const PaDeviceIndex count = Pa_GetDeviceCount();
  const PaDeviceIndex defIn = Pa_GetDefaultInputDevice();
  const PaDeviceIndex defOut = Pa_GetDefaultOutputDevice();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info) continue;
    std::string line = std::string(info->name ? info->name : "?") + " (" +
                       std::to_string(info->maxInputChannels) + " in, " +
                       std::to_string(info->maxOutputChannels) + " out)";
    if (i == defIn) line += " [default input]";
    if (i == defOut) line += " [default output]";
    lines.push_back(line);
  }
  releasePortAudio();
  return lines;
}

}  // namespace qur
