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
#include "log/thread_role.h"

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
};
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

// A gap between callbacks this long is a stall of the stream, not jitter.
constexpr uint64_t kStallNs = 250'000'000;

uint64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
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
    for (size_t i = 0; i < all.size();) {
      auto* context = static_cast<StreamContext*>(all[i].context);
      // The finished callback is the last thing its thread does; a stream
      // that stopped itself without it is no longer active either.
      if (context->finished.load() ||
          Pa_IsStreamActive(static_cast<PaStream*>(all[i].stream)) == 0) {
        finished.push_back(all[i]);
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
  const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(outDevice);
  {
    std::lock_guard<std::mutex> lock(_nameMutex);
    _openedName = outInfo->name ? outInfo->name : "?";
  }

  PaStreamParameters out{};
  out.device = outDevice;
  out.channelCount = format.channels;
  out.sampleFormat = paInt16;
  out.suggestedLatency = outInfo->defaultLowOutputLatency;

  PaStreamParameters in{};
  const bool tryInput = format.inputEnabled && inDevice != paNoDevice &&
                        Pa_GetDeviceInfo(inDevice)->maxInputChannels > 0;
  if (tryInput) {
    in.device = inDevice;
    in.channelCount = format.channels;
    in.sampleFormat = paInt16;
    in.suggestedLatency = Pa_GetDeviceInfo(inDevice)->defaultLowInputLatency;
  }

  auto* context = new StreamContext;
  context->device = this;
  context->channels = format.channels;
  auto* callback = reinterpret_cast<PaStreamCallback*>(&PortAudioDevice::streamCallback);
  PaStream* stream = nullptr;
  PaError err = paNoError;
  if (tryInput) {
    err = Pa_OpenStream(&stream, &in, &out, format.sampleRate, _framesPerBuffer, paClipOff,
                        callback, context);
    _inputAvailable = err == paNoError;
  }
  if (!stream) {
    // An output-only stream still lets the engine play; input is reported unavailable.
    _inputAvailable = false;
    err = Pa_OpenStream(&stream, nullptr, &out, format.sampleRate, _framesPerBuffer, paClipOff,
                        callback, context);
  }
  if (err != paNoError || !stream) {
    delete context;
    if (error) *error = std::string("Pa_OpenStream: ") + Pa_GetErrorText(err);
    close();
    return false;
  }
  context->stream = stream;
  _context = context;
  Pa_SetStreamFinishedCallback(stream, &PortAudioDevice::streamFinished);
  if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) {
    _inputLatency = _inputAvailable ? info->inputLatency : 0.0;
    _outputLatency = info->outputLatency;
  }
  return true;
}

bool PortAudioDevice::start(std::string* error) {
  if (!_context) {
    if (error) *error = "device not open";
    return false;
  }
  _finishedUnexpectedly = false;
  _resumedAfterStall = false;
  _started = true;
  const PaError err = Pa_StartStream(static_cast<PaStream*>(_context->stream));
  if (err != paNoError) {
    _started = false;
    if (error) *error = std::string("Pa_StartStream: ") + Pa_GetErrorText(err);
    return false;
  }
  return true;
}

void PortAudioDevice::stop() {
  if (!_context || !_started) return;
  _started = false;
  // Abort rather than drain: a lost device may never play out its buffers.
  Pa_AbortStream(static_cast<PaStream*>(_context->stream));
}

void PortAudioDevice::close() {
  stop();
  if (_context) {
    Pa_CloseStream(static_cast<PaStream*>(_context->stream));
    delete _context;
    _context = nullptr;
  }
  if (_initialized) {
    releasePortAudio();
    _initialized = false;
  }
  _inputAvailable = false;
  closeFinishedStreams();
}

void PortAudioDevice::abandon() {
  if (!_context) {
    close();
    return;
  }
  StreamContext* context = _context;
  _context = nullptr;
  _started = false;
  context->abandoned.store(true);
  // A callback past its check is inside the client, which never blocks; once
  // it is out, no callback of this stream reaches the client again.
  while (context->inCallback.load() != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  {
    std::lock_guard<std::mutex> lock(gAbandonedMutex);
    // The PortAudio reference stays with the abandoned stream.
    gAbandoned->push_back(AbandonedStream{context->stream, context});
  }
  _initialized = false;
  _inputAvailable = false;
  closeFinishedStreams();
}

void PortAudioDevice::tidy() {
  closeFinishedStreams();
  if (!_context || !_started || !_resumedAfterStall.exchange(false)) return;
  // After a stall the capture side holds a backlog the playback side never
  // lets it drain, and the stream's thread polls in a busy loop from then
  // on. Restarting the stream drops the backlog.
  QUR_LOG_INFO("Engine: Audio device %s stalled and came back; restarting its stream",
               name().c_str());
  auto* stream = static_cast<PaStream*>(_context->stream);
  _started = false;
  Pa_AbortStream(stream);
  _context->lastCallbackNs = 0;
  _started = true;
  if (Pa_StartStream(stream) != paNoError) _finishedUnexpectedly = true;
}

bool PortAudioDevice::isHealthy() const {
  if (!_context) return false;
  if (_finishedUnexpectedly) return false;
  if (_started && Pa_IsStreamActive(static_cast<PaStream*>(_context->stream)) != 1) return false;
  return true;
}

int PortAudioDevice::streamCallback(const void* input, void* output, unsigned long frames,
                                    const void*, unsigned long, void* userData) {
  auto* context = static_cast<StreamContext*>(userData);
  // PortAudio's thread is ours for the stream's life; a thread-local store per cycle.
  setCurrentThreadRole(ThreadRole::Audio);
  // Counted before the check, so that abandon() either sees us inside or we
  // see its flag.
  context->inCallback.fetch_add(1);
  if (context->abandoned.load()) {
    context->inCallback.fetch_sub(1);
    if (output) std::memset(output, 0, frames * size_t(context->channels) * sizeof(int16_t));
    // Ends this stream's thread; the stream is closed once it has ended.
    return paAbort;
  }
  PortAudioDevice* self = context->device;
  const uint64_t now = nowNs();
  if (context->lastCallbackNs != 0 && now - context->lastCallbackNs > kStallNs) {
    self->_resumedAfterStall.store(true, std::memory_order_relaxed);
  }
  context->lastCallbackNs = now;
  self->_client->audioDeviceCycle(static_cast<const int16_t*>(input), static_cast<int16_t*>(output),
                                  static_cast<uint32_t>(frames), now);
  self->_cycles.fetch_add(1, std::memory_order_relaxed);
  context->inCallback.fetch_sub(1);
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
