// The engine's main side: set-up, start and stop, and the tables the audio
// thread works from.
#include "audio/engine/audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/engine/voice_processor.h"
#include "log/log.h"
#include "log/thread_role.h"

namespace qur {
namespace {

AudioBufferList* createList(void* data, UInt32 channels, UInt32 bytes) {
  auto* list = static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1)));
  list->mNumberBuffers = 1;
  list->mBuffers[0].mNumberChannels = channels;
  list->mBuffers[0].mDataByteSize = bytes;
  list->mBuffers[0].mData = data;
  return list;
}

bool isSupportedFormat(const AudioStreamBasicDescription& d) {
  return d.mFormatID == kAudioFormatLinearPCM && !(d.mFormatFlags & kAudioFormatFlagIsFloat) &&
         !(d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) && d.mBitsPerChannel == 16 &&
         (d.mChannelsPerFrame == 1 || d.mChannelsPerFrame == 2) &&
         d.mBytesPerFrame == 2 * d.mChannelsPerFrame && d.mSampleRate > 0;
}

bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
  return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID &&
         a.mFormatFlags == b.mFormatFlags && a.mBytesPerFrame == b.mBytesPerFrame &&
         a.mChannelsPerFrame == b.mChannelsPerFrame && a.mBitsPerChannel == b.mBitsPerChannel;
}

}  // namespace

AudioStreamBasicDescription AudioEngine::interleaved16BitStereoAudioDescription() {
  return engineAudioDescription();
}

AudioEngine::AudioEngine(const AudioStreamBasicDescription& audioDescription, bool inputEnabled,
                         bool useVoiceProcessing, std::unique_ptr<AudioDevice> device)
    : _audioDescription(audioDescription),
      _inputEnabled(inputEnabled),
      _voiceProcessingEnabled(useVoiceProcessing),
      _device(std::move(device)),
      _mixer(audioDescription.mChannelsPerFrame, kMaxFramesPerSlice),
      _queue(this) {
  const UInt32 channels = _audioDescription.mChannelsPerFrame;
  _filteredData.assign(size_t(kMaxFramesPerSlice) * std::max<UInt32>(channels, 1), 0);
  _processedInput.assign(_filteredData.size(), 0);
  _filteredList = createList(_filteredData.data(), channels, 0);
  _rawInputList = createList(nullptr, channels, 0);
  _channelRecords.reserve(kMaxChannels);
  for (int i = 0; i < kMaxInputCallbacks; ++i) _filterLinks[i] = FilterLink{this, i};

  if (!isSupportedFormat(_audioDescription)) {
    std::lock_guard<std::mutex> lock(_errorMutex);
    _lastError = "Couldn't create audio graph: the engine mixes interleaved 16-bit mono or stereo";
    QUR_LOG_ERROR("Engine: %s", _lastError.c_str());
    return;
  }
  if (!_device) _device = createAudioDevice(audioDeviceSpecFromEnvironment());
  _watchdog = std::make_unique<DeviceWatchdog>(
      _device.get(), &_deviceMutex, [this](std::string* error) { return reopenDevice(error); });

  const char* category = _inputEnabled ? "PlayAndRecord" : "MediaPlayback";
  QUR_LOG_INFO("Engine: Setting audio session category to %s", category);
  std::string error;
  if (!openDevice(&error)) {
    std::lock_guard<std::mutex> lock(_errorMutex);
    _lastError = "Couldn't initialize audio session: " + error;
    QUR_LOG_ERROR("Engine: %s", _lastError.c_str());
    return;
  }
  if (_inputEnabled && !_inputAvailable) {
    QUR_LOG_INFO("Engine: No input available. Using MediaPlayback category instead.");
  }
  std::string summary = _inputAvailable ? "input available, " : "";
  summary += "audio route '" + _device->name() + "'";
  QUR_LOG_INFO("Engine: Audio session initialized (%s)", summary.c_str());
  _hasDevice = true;
}

AudioEngine::~AudioEngine() {
  stop();
  if (_watchdog) _watchdog->stopThread();
  _queue.stopPolling();
  {
    std::lock_guard<std::mutex> device(_deviceMutex);
    if (_device) _device->close();
  }
  // Whatever still calls in (it should not) is turned away from here on.
  _queue.closeCycles();
  std::free(_filteredList);
  std::free(_rawInputList);
}

bool AudioEngine::openDevice(std::string* error) {
  AudioDeviceFormat format;
  format.sampleRate = _audioDescription.mSampleRate;
  format.channels = int(_audioDescription.mChannelsPerFrame);
  format.inputEnabled = _inputEnabled;
  if (!_device->open(format, this, error)) return false;
  _inputAvailable = _inputEnabled && _device->inputAvailable();
  _inputLatency = _device->inputLatency();
  _outputLatency = _device->outputLatency();
  if (_voiceProcessor) _voiceProcessor->setDeviceDelay(_inputLatency + _outputLatency);
  _currentBufferDuration = _device->framesPerBuffer() / _audioDescription.mSampleRate;
  return true;
}

// Watchdog thread, holding the device mutex.
bool AudioEngine::reopenDevice(std::string* error) {
  return openDevice(error) && _device->start(error);
}

std::string AudioEngine::lastError() const {
  std::lock_guard<std::mutex> lock(_errorMutex);
  return _lastError;
}

bool AudioEngine::start(std::string* error) {
  QUR_ASSERT_THREAD(ThreadRole::Main);
  QUR_LOG_INFO("Engine: Starting Engine");
  if (!_hasDevice) {
    const std::string message = lastError();
    if (error) *error = message;
    return false;
  }
  _queue.startPolling();
  if (_running) return true;
  std::lock_guard<std::mutex> device(_deviceMutex);
  _queue.openCycles();
  setUpVoiceProcessing();
  std::string reason;
  bool started = _device->start(&reason);
  if (!started) {
    // One attempt to recover: reopen the device and start again.
    QUR_LOG_ERROR("Engine: Trying to recover from system error (%d retries remain)", 1);
    std::string reopenError;
    if (openDevice(&reopenError) && _device->start(&reason)) {
      started = true;
      QUR_LOG_ERROR("Engine: Successfully recovered from system error");
    } else {
      QUR_LOG_ERROR("Engine: Could not recover from system error.");
    }
  }
  if (!started) {
    _queue.closeCycles();
    if (_voiceProcessor) _voiceProcessor->stop();
    std::lock_guard<std::mutex> errorLock(_errorMutex);
    _lastError = "Couldn't start audio engine: " + reason;
    if (error) *error = _lastError;
    return false;
  }
  _watchdog->watch();
  _running = true;
  return true;
}

void AudioEngine::stop() {
  QUR_ASSERT_THREAD(ThreadRole::Main);
  if (!_running) return;
  QUR_LOG_INFO("Engine: Stopping Engine");
  {
    std::lock_guard<std::mutex> device(_deviceMutex);
    _watchdog->unwatch();
    _device->stop();
    if (_voiceProcessor) _voiceProcessor->stop();
    _running = false;
    // Cycles from any stream that has not stopped yet are turned away.
    _queue.closeCycles();
  }
  _queue.stopPolling();
  _queue.processMainThreadMessages();
}

bool AudioEngine::cyclesExpected() const {
  return _running.load() && !_watchdog->isInterrupted() && _device->hasOwnThread();
}

// Before the device starts: the audio thread reads _voiceProcessor unguarded.
void AudioEngine::setUpVoiceProcessing() {
  const bool wanted = _voiceProcessingEnabled && _inputAvailable &&
                      (_voiceProcessingChosen || _device->voiceProcessingByDefault());
  if (wanted && !_voiceProcessor) {
    VoiceProcessingSettings settings;
    settings.deviceDelaySeconds = _device->inputLatency() + _device->outputLatency();
    // Only hardware-paced cycles need the library kept off their thread.
    settings.dedicatedThread = _device->isRealTime() && _device->hasOwnThread();
    std::string error;
    _voiceProcessor = VoiceProcessor::create(_audioDescription, settings, &error);
    if (!_voiceProcessor) QUR_LOG_ERROR("Engine: No voice processing: %s", error.c_str());
  }
  _voiceProcessingActive = wanted && _voiceProcessor;
  if (_voiceProcessingActive) {
    _voiceProcessor->start();
    QUR_LOG_INFO("Engine: Voice processing on (%s)", _voiceProcessor->description().c_str());
  } else {
    QUR_LOG_INFO("Engine: Voice processing off");
  }
}

// ---- Tables ---------------------------------------------------------------

void AudioEngine::addChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  std::vector<std::shared_ptr<AudioPlayable>> present;
  for (const auto& channel : channels) {
    if (channel && std::find(_channels.begin(), _channels.end(), channel) != _channels.end()) {
      present.push_back(channel);
    }
  }
  if (!present.empty()) removeChannels(present);

  for (const auto& channel : channels) {
    if (!channel) continue;
    if (std::find(_channels.begin(), _channels.end(), channel) != _channels.end()) continue;
    if (int(_channels.size()) >= kMaxChannels) {
      QUR_LOG_ERROR("Warning: Channel limit reached");
      break;
    }
    const AudioStreamBasicDescription* own = channel->channelAudioDescription();
    if (own && own->mSampleRate != 0 && !sameFormat(*own, _audioDescription)) {
      // The mixer works in the engine format only; nothing in the system
      // asks for another one.
      QUR_LOG_ERROR("Engine: channel format differs from the engine format; channel not added");
      continue;
    }
    auto record = std::make_unique<EngineChannelRecord>();
    record->callback = channel->renderCallback();
    record->channel = channel.get();
    record->description = _audioDescription;
    record->timestamp.mFlags = kAudioTimeStampSampleHostTimeValid;
    record->engine = this;
    _channels.push_back(channel);
    _channelRecords.push_back(std::move(record));
  }
  commitTables();
}

void AudioEngine::removeChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  std::vector<std::shared_ptr<AudioPlayable>> removed;
  std::vector<std::unique_ptr<EngineChannelRecord>> removedRecords;
  for (const auto& channel : channels) {
    const auto it = std::find(_channels.begin(), _channels.end(), channel);
    if (it == _channels.end()) continue;
    const auto index = it - _channels.begin();
    removed.push_back(*it);
    removedRecords.push_back(std::move(_channelRecords[size_t(index)]));
    _channels.erase(it);
    _channelRecords.erase(_channelRecords.begin() + index);
  }
  if (removed.empty()) return;
  commitTables();
  // The audio thread has acknowledged the new table: the removed channels and
  // their records are released here, on the main thread.
}

std::vector<std::shared_ptr<AudioPlayable>> AudioEngine::channels() const {
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  return _channels;
}

void AudioEngine::addInputReceiver(const std::shared_ptr<AudioReceiver>& receiver) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  if (!receiver) return;
  if (int(_inputEntries.size()) >= kMaxInputCallbacks) {
    QUR_LOG_ERROR("Warning: Maximum number of callbacks reached");
    return;
  }
  _inputEntries.push_back(
      InputEntry{reinterpret_cast<void*>(receiver->receiverCallback()), receiver.get(), 2});
  _inputObjects.push_back(receiver);
  commitTables();
}

void AudioEngine::addInputFilter(const std::shared_ptr<AudioFilter>& filter) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  if (!filter) return;
  if (int(_inputEntries.size()) >= kMaxInputCallbacks) {
    QUR_LOG_ERROR("Warning: Maximum number of callbacks reached");
    return;
  }
  _inputEntries.push_back(
      InputEntry{reinterpret_cast<void*>(filter->filterCallback()), filter.get(), 1});
  _inputObjects.push_back(filter);
  commitTables();
}

void AudioEngine::removeInputReceiver(const std::shared_ptr<AudioReceiver>& receiver) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  for (size_t i = 0; i < _inputEntries.size(); ++i) {
    if (_inputEntries[i].object == receiver.get() && _inputEntries[i].kind == 2) {
      _inputEntries.erase(_inputEntries.begin() + ptrdiff_t(i));
      auto keep = _inputObjects[i];
      _inputObjects.erase(_inputObjects.begin() + ptrdiff_t(i));
      commitTables();
      return;
    }
  }
}

void AudioEngine::removeInputFilter(const std::shared_ptr<AudioFilter>& filter) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  for (size_t i = 0; i < _inputEntries.size(); ++i) {
    if (_inputEntries[i].object == filter.get() && _inputEntries[i].kind == 1) {
      _inputEntries.erase(_inputEntries.begin() + ptrdiff_t(i));
      auto keep = _inputObjects[i];
      _inputObjects.erase(_inputObjects.begin() + ptrdiff_t(i));
      commitTables();
      return;
    }
  }
}

// Hands the main thread's tables to the audio thread in one exchange.
void AudioEngine::commitTables() {
  EngineChannelRecord* channels[kMaxChannels];
  const int channelCount = int(_channelRecords.size());
  for (int i = 0; i < channelCount; ++i) channels[i] = _channelRecords[size_t(i)].get();
  InputEntry input[kMaxInputCallbacks];
  const int inputCount = int(_inputEntries.size());
  std::copy(_inputEntries.begin(), _inputEntries.end(), input);
  int filters[kMaxInputCallbacks];
  int filterCount = 0;
  for (int i = 0; i < inputCount; ++i) {
    if (input[i].kind == 1) filters[filterCount++] = i;
  }
  performSynchronousMessageExchange([&] {
    std::copy(channels, channels + channelCount, _rtChannels);
    _rtChannelCount = channelCount;
    std::copy(input, input + inputCount, _rtInput);
    _rtInputCount = inputCount;
    std::copy(filters, filters + filterCount, _rtFilterIndex);
    _rtFilterCount = filterCount;
  });
}

// ---- Messages ----------------------------------------------------------------

void AudioEngine::performSynchronousMessageExchange(const std::function<void()>& block) {
  // From inside a cycle it would wait for the end of that very cycle.
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  EngineMessageQueue::CycleSource source;
  if (_device && _watchdog) {
    source.cyclesExpected = [this] { return cyclesExpected(); };
    source.cycleCount = [this] { return _device->cycleCount(); };
    // A few cycles without progress and the device is not coming back soon.
    source.grace = std::chrono::milliseconds(
        40 + int(4000.0 * _device->framesPerBuffer() / _audioDescription.mSampleRate));
  }
  _queue.perform(block, source);
}

void AudioEngine::processMainThreadMessages() {
  QUR_ASSERT_THREAD(ThreadRole::Main);
  _queue.processMainThreadMessages();
}

void audioEngineSendAsynchronousMessageToMainThread(AudioEngine* engine,
                                                    AudioEngineMainThreadMessageHandler handler,
                                                    const void* userData, int userDataLength) {
  if (!engine) return;
  engine->_queue.send(handler, userData, userDataLength);
}

}  // namespace qur
