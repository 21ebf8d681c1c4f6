#include "audio/engine/virtual_device.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "log/thread_role.h"

namespace qur {
namespace {

uint64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads a whole file as interleaved int16 with `channels` channels: extra
// file channels are dropped, a mono file feeds every channel.
bool readWholeFile(const std::string& path, double rate, int channels, std::vector<int16_t>* out,
                   std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    if (error) *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  if (std::fabs(info.samplerate - rate) > 0.5) {
    if (error) *error = "'" + path + "' is not at the device rate";
    sf_close(file);
    return false;
  }
  std::vector<int16_t> raw(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_short(file, raw.data(), info.frames);
  sf_close(file);
  out->assign(static_cast<size_t>(got) * channels, 0);
  for (sf_count_t f = 0; f < got; ++f) {
    for (int c = 0; c < channels; ++c) {
      const int source = info.channels == 1 ? 0 : std::min(c, info.channels - 1);
      (*out)[f * channels + c] = raw[f * info.channels + source];
    }
  }
  return true;
}

}  // namespace

VirtualDevice::VirtualDevice(VirtualDeviceOptions options) : _options(std::move(options)) {
  if (_options.framesPerBuffer == 0) _options.framesPerBuffer = 441;
}

VirtualDevice::~VirtualDevice() {
  close();
}

bool VirtualDevice::open(const AudioDeviceFormat& format, AudioDeviceClient* client,
                         std::string* error) {
  close();
  if (_unplugged) {
    if (error) *error = "virtual device unplugged";
    return false;
  }
  _format = format;
  _client = client;
  const size_t samples = static_cast<size_t>(_options.framesPerBuffer) * format.channels;
  _input.assign(samples, 0);
  _output.assign(samples, 0);
  _fileInput.clear();
  _fileInputPosition = 0;
  if (_options.input == VirtualDeviceOptions::Input::WavFile &&
      !readWholeFile(_options.inputFile, format.sampleRate, format.channels, &_fileInput, error)) {
    return false;
  }
  _noise.clear();
  _noisePosition = 0;
  if (!_options.noiseFile.empty() &&
      !readWholeFile(_options.noiseFile, format.sampleRate, format.channels, &_noise, error)) {
    return false;
  }
  _noiseGain = std::pow(10.0, _options.noiseGainDb / 20.0);
  _echoHistory.clear();
  if (_options.echo) {
    const double wanted = std::max(0.0, _options.echoDelayMs) / 1000.0 * format.sampleRate;
    _echoDelayFrames = std::max(_options.framesPerBuffer, uint32_t(std::lround(wanted)));
    _echoHistory.assign(size_t(_echoDelayFrames + _options.framesPerBuffer) * format.channels, 0);
    _echoWriteFrame = 0;
    _echoGain = std::pow(10.0, _options.echoGainDb / 20.0);
    // Second-order Butterworth low-pass (bilinear transform).
    const double cutoff = std::clamp(_options.echoLowPassHz, 10.0, 0.45 * format.sampleRate);
    const double w = 2.0 * M_PI * cutoff / format.sampleRate;
    const double alpha = std::sin(w) / (2.0 * M_SQRT1_2);
    const double a0 = 1.0 + alpha;
    _lowPass[0] = (1.0 - std::cos(w)) / 2.0 / a0;
    _lowPass[1] = (1.0 - std::cos(w)) / a0;
    _lowPass[2] = _lowPass[0];
    _lowPass[3] = -2.0 * std::cos(w) / a0;
    _lowPass[4] = (1.0 - alpha) / a0;
    _lowPassState.assign(size_t(format.channels) * 4, 0.0);
  }
  if (_options.inputMemoryCapacityFrames && _inputMemory.empty()) {
    _inputMemory.assign(size_t(_options.inputMemoryCapacityFrames) * format.channels, 0);
  }
  if (_options.output == VirtualDeviceOptions::Output::WavFile) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.sampleRate);
    info.channels = format.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    _outputFile = sf_open(_options.outputFile.c_str(), SFM_WRITE, &info);
    if (!_outputFile) {
      if (error) *error = "cannot write '" + _options.outputFile + "': " + sf_strerror(nullptr);
      return false;
    }
  }
  if (_options.output == VirtualDeviceOptions::Output::Memory && _memory.empty()) {
    _memory.assign(static_cast<size_t>(_options.memoryCapacityFrames) * format.channels, 0);
  }
  _cycles = 0;
  _lost = false;
  _open = true;
  return true;
}

bool VirtualDevice::start(std::string* error) {
  if (!_open) {
    if (error) *error = "device not open";
    return false;
  }
  if (_running) return true;
  _running = true;
  if (_options.clock != VirtualDeviceOptions::Clock::Manual) {
    _thread = std::thread([this] { clockThread(); });
  }
  return true;
}

void VirtualDevice::stop() {
  _running = false;
  if (_thread.joinable()) _thread.join();
  // A stopped device's recording is a complete file even if nobody closes it.
  if (_outputFile)
    sf_command(static_cast<SNDFILE*>(_outputFile), SFC_UPDATE_HEADER_NOW, nullptr, 0);
}

void VirtualDevice::close() {
  stop();
  if (_outputFile) {
    sf_close(static_cast<SNDFILE*>(_outputFile));
    _outputFile = nullptr;
  }
  _open = false;
}

bool VirtualDevice::isHealthy() const {
  return _open && !_lost && !_unplugged;
}

bool VirtualDevice::inputAvailable() const {
  return _options.hasInput && _format.inputEnabled;
}

void VirtualDevice::setUnplugged(bool unplugged) {
  _unplugged = unplugged;
  if (unplugged) _lost = true;
}

std::vector<int16_t> VirtualDevice::capturedOutput() const {
  const uint64_t frames = capturedFrames();
  return std::vector<int16_t>(_memory.begin(),
                              _memory.begin() + static_cast<ptrdiff_t>(frames * _format.channels));
}

std::vector<int16_t> VirtualDevice::capturedInput() const {
  const uint64_t frames = _capturedInputFrames.load(std::memory_order_acquire);
  return std::vector<int16_t>(
      _inputMemory.begin(),
      _inputMemory.begin() + static_cast<ptrdiff_t>(frames * _format.channels));
}

void VirtualDevice::clearCapturedOutput() {
  _capturedFrames.store(0, std::memory_order_release);
}

uint64_t VirtualDevice::runCycles(uint64_t count) {
  if (_options.clock != VirtualDeviceOptions::Clock::Manual || !_running) return 0;
  // The caller is the audio thread until the cycles are done.
  ThreadRoleScope audio(ThreadRole::Audio);
  uint64_t ran = 0;
  for (; ran < count && _running && !_unplugged; ++ran) runOneCycle();
  return ran;
}

void VirtualDevice::clockThread() {
  using namespace std::chrono;
  setCurrentThreadRole(ThreadRole::Audio);
  const auto period = duration_cast<steady_clock::duration>(
      duration<double>(_options.framesPerBuffer / _format.sampleRate));
  auto next = steady_clock::now();
  while (_running.load(std::memory_order_acquire)) {
    if (_unplugged) {
      // A pulled cable: the callback simply stops coming.
      std::this_thread::sleep_for(milliseconds(5));
      continue;
    }
    runOneCycle();
    if (_options.clock == VirtualDeviceOptions::Clock::RealTime) {
      next += period;
      const auto now = steady_clock::now();
      if (now - next > seconds(1)) next = now;  // fell far behind: do not race to catch up
      std::this_thread::sleep_until(next);
    }
  }
}

void VirtualDevice::fillInput() {
  const uint32_t frames = _options.framesPerBuffer;
  const int channels = _format.channels;
  switch (_options.input) {
    case VirtualDeviceOptions::Input::Silence:
      std::memset(_input.data(), 0, _input.size() * sizeof(int16_t));
      break;
    case VirtualDeviceOptions::Input::Tone: {
      const double step = 2.0 * M_PI * _options.toneFrequency / _format.sampleRate;
      const double amplitude = std::clamp(_options.toneAmplitude, 0.0, 1.0) * 32767.0;
      for (uint32_t f = 0; f < frames; ++f) {
        const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(_tonePhase)));
        for (int c = 0; c < channels; ++c) _input[f * channels + c] = v;
        _tonePhase += step;
        if (_tonePhase > 2.0 * M_PI) _tonePhase -= 2.0 * M_PI;
      }
      break;
    }
    case VirtualDeviceOptions::Input::WavFile:
      for (uint32_t f = 0; f < frames; ++f) {
        if (_fileInputPosition >= _fileInput.size() && _options.loopInputFile) {
          _fileInputPosition = 0;
        }
        for (int c = 0; c < channels; ++c) {
          _input[f * channels + c] =
              _fileInputPosition < _fileInput.size() ? _fileInput[_fileInputPosition + c] : 0;
        }
        if (_fileInputPosition < _fileInput.size()) _fileInputPosition += channels;
      }
      break;
    case VirtualDeviceOptions::Input::Feed:
      if (_options.feed) {
        _options.feed(_input.data(), frames, channels);
      } else {
        std::memset(_input.data(), 0, _input.size() * sizeof(int16_t));
      }
      break;
  }
}

void VirtualDevice::runOneCycle() {
  const uint32_t frames = _options.framesPerBuffer;
  const bool withInput = inputAvailable();
  if (withInput) {
    fillInput();
    addEchoAndNoise();
    const uint64_t have = _capturedInputFrames.load(std::memory_order_relaxed);
    const uint64_t capacity = _inputMemory.size() / _format.channels;
    const uint64_t take = std::min<uint64_t>(frames, capacity - std::min(capacity, have));
    if (take > 0) {
      std::memcpy(_inputMemory.data() + have * _format.channels, _input.data(),
                  take * _format.channels * sizeof(int16_t));
      _capturedInputFrames.store(have + take, std::memory_order_release);
    }
  }
  _client->audioDeviceCycle(withInput ? _input.data() : nullptr, _output.data(), frames, nowNs());
  rememberOutput();
  switch (_options.output) {
    case VirtualDeviceOptions::Output::Discard:
      break;
    case VirtualDeviceOptions::Output::WavFile:
      sf_writef_short(static_cast<SNDFILE*>(_outputFile), _output.data(), frames);
      break;
    case VirtualDeviceOptions::Output::Memory: {
      const uint64_t have = _capturedFrames.load(std::memory_order_relaxed);
      const uint64_t capacity = _memory.size() / _format.channels;
      const uint64_t take = std::min<uint64_t>(frames, capacity - std::min(capacity, have));
      std::memcpy(_memory.data() + have * _format.channels, _output.data(),
                  take * _format.channels * sizeof(int16_t));
      _capturedFrames.store(have + take, std::memory_order_release);
      break;
    }
  }
  _cycles.fetch_add(1, std::memory_order_release);
}

void VirtualDevice::addEchoAndNoise() {
  const uint32_t frames = _options.framesPerBuffer;
  const int channels = _format.channels;
  const bool echo = !_echoHistory.empty();
  if (!echo && _noise.empty()) return;
  const size_t historyFrames = _echoHistory.size() / size_t(channels);
  for (uint32_t f = 0; f < frames; ++f) {
    const size_t past =
        echo ? (_echoWriteFrame + historyFrames - _echoDelayFrames + f) % historyFrames : 0;
    for (int c = 0; c < channels; ++c) {
      double v = _input[f * channels + c];
      if (echo) {
        double* st = &_lowPassState[size_t(c) * 4];
        const double x = _echoHistory[past * channels + c];
        const double y = _lowPass[0] * x + _lowPass[1] * st[0] + _lowPass[2] * st[1] -
                         _lowPass[3] * st[2] - _lowPass[4] * st[3];
        st[1] = st[0];
        st[0] = x;
        st[3] = st[2];
        st[2] = y;
        v += _echoGain * y;
      }
      if (!_noise.empty()) v += _noiseGain * _noise[_noisePosition + c];
      _input[f * channels + c] = static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
    }
    if (!_noise.empty()) {
      _noisePosition += channels;
      if (_noisePosition >= _noise.size()) _noisePosition = 0;
    }
  }
}

// The echo of this cycle's output reaches the microphone in a later cycle.
void VirtualDevice::rememberOutput() {
  if (_echoHistory.empty()) return;
  const int channels = _format.channels;
  const size_t historyFrames = _echoHistory.size() / size_t(channels);
  for (uint32_t f = 0; f < _options.framesPerBuffer; ++f) {
    const size_t at = (_echoWriteFrame + f) % historyFrames;
    for (int c = 0; c < channels; ++c) _echoHistory[at * channels + c] = _output[f * channels + c];
  }
  _echoWriteFrame = (_echoWriteFrame + _options.framesPerBuffer) % historyFrames;
}

}  // namespace qur
