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
// Streams let go of after a loss. They are never closed (closing may hang in
// the dead driver) and stay reachable here for the life of the process.
std::vector<std::pair<void*, void*>>* gAbandonedStreams =
    new std::vector<std::pair<void*, void*>>();

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
  return "PortAudio '" + (_openedName.empty() ? std::string("default") : _openedName) + "'";
}

bool PortAudioDevice::open(const AudioDeviceFormat& format, AudioDeviceClient* client,
                           std::string* error) {
  close();
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
  _openedName = outInfo->name ? outInfo->name : "?";

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

  PaStream* stream = nullptr;
  PaError err = paNoError;
  _context = new StreamContext{this};
  if (tryInput) {
    err =
        Pa_OpenStream(&stream, &in, &out, format.sampleRate, _framesPerBuffer, paClipOff,
                      reinterpret_cast<PaStreamCallback*>(&PortAudioDevice::streamCallback), this);
    _inputAvailable = err == paNoError;
  }
  if (!stream) {
    // An output-only stream still lets the engine play; input is reported unavailable.
    _inputAvailable = false;
    err =
        Pa_OpenStream(&stream, nullptr, &out, format.sampleRate, _framesPerBuffer, paClipOff,
                      reinterpret_cast<PaStreamCallback*>(&PortAudioDevice::streamCallback), this);
  }
  if (err != paNoError || !stream) {
    if (error) *error = std::string("Pa_OpenStream: ") + Pa_GetErrorText(err);
    close();
    return false;
  }
  _stream = stream;
  Pa_SetStreamFinishedCallback(stream, &PortAudioDevice::streamFinished);
  if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) {
    _inputLatency = _inputAvailable ? info->inputLatency : 0.0;
  }
  return true;
}

bool PortAudioDevice::start(std::string* error) {
  if (!_stream) {
    if (error) *error = "device not open";
    return false;
  }
  _finishedUnexpectedly = false;
  _started = true;
  const PaError err = Pa_StartStream(static_cast<PaStream*>(_stream));
  if (err != paNoError) {
    _started = false;
    if (error) *error = std::string("Pa_StartStream: ") + Pa_GetErrorText(err);
    return false;
  }
  return true;
}

void PortAudioDevice::stop() {
  if (!_stream || !_started) return;
  _started = false;
  // Abort rather than drain: a lost device may never play out its buffers.
  Pa_AbortStream(static_cast<PaStream*>(_stream));
}

void PortAudioDevice::close() {
  stop();
  if (_stream) {
    Pa_CloseStream(static_cast<PaStream*>(_stream));
    _stream = nullptr;
  }
  delete _context;
  _context = nullptr;
  if (_initialized) {
    releasePortAudio();
    _initialized = false;
  }
  _inputAvailable = false;
}

void PortAudioDevice::abandon() {
  if (!_stream) {
    close();
    return;
  }
  _started = false;
  _context->abandoned.store(true);
  // A callback already past its check finishes quickly: it never blocks.
  for (int i = 0; i < 1000 && _context->inCallback.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  {
    std::lock_guard<std::mutex> lock(gPaMutex);
    gAbandonedStreams->emplace_back(_stream, _context);
  }
  // The PortAudio reference stays with the abandoned stream.
  _stream = nullptr;
  _context = nullptr;
  _initialized = false;
  _inputAvailable = false;
}

bool PortAudioDevice::isHealthy() const {
  if (!_stream) return false;
  if (_finishedUnexpectedly) return false;
  if (_started && Pa_IsStreamActive(static_cast<PaStream*>(_stream)) != 1) return false;
  return true;
}

int PortAudioDevice::streamCallback(const void* input, void* output, unsigned long frames,
                                    const void*, unsigned long, void* userData) {
  auto* self = static_cast<PortAudioDevice*>(userData);
  self->_client->audioDeviceCycle(static_cast<const int16_t*>(input), static_cast<int16_t*>(output),
                                  static_cast<uint32_t>(frames), nowNs());
  self->_cycles.fetch_add(1, std::memory_order_relaxed);
  return paContinue;
}

void PortAudioDevice::streamFinished(void* userData) {
  auto* context = static_cast<StreamContext*>(userData);
  if (context->abandoned.load()) return;
  if (context->device->_started) context->device->_finishedUnexpectedly = true;
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
