#include "audio/engine/audio_engine.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/engine/voice_processor.h"
#include "log/log.h"
#include "signals/main_queue.h"

namespace qur {

struct AudioEngine::ChannelRecord {
  AudioEngineRenderCallback callback = nullptr;
  AudioPlayable* channel = nullptr;
  AudioStreamBasicDescription description{};
  AudioTimeStamp timestamp{};
  AudioEngine* engine = nullptr;
};

// Main -> audio thread: a block owned by the waiting sender and the semaphore
// it waits on.
struct AudioEngine::AudioThreadMessage {
  const std::function<void()>* block;
  std::binary_semaphore* done;
};

// Audio -> main thread: the handler, then `length` bytes of user data.
struct AudioEngine::MainThreadMessage {
  AudioEngineMainThreadMessageHandler handler;
  int32_t length;
  int32_t padding;
};

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
// A real-time device that delivers no cycle for this many polls is lost.
constexpr int kStalledPollsUntilLost = 15;
// Polls between attempts to reopen a lost device.
constexpr int kPollsBetweenRetries = 10;

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
      _alive(std::make_shared<std::atomic<AudioEngine*>>(this)) {
  circularBufferSetUp(&_audioThreadRing, kMessageBufferLength);
  circularBufferSetUp(&_mainThreadRing, kMessageBufferLength);

  const UInt32 channels = _audioDescription.mChannelsPerFrame;
  _mix.assign(size_t(kMaxFramesPerSlice) * std::max<UInt32>(channels, 1), 0.0f);
  _mixInt.assign(_mix.size(), 0);
  _busData.assign(size_t(kMaxFramesPerSlice) * std::max<UInt32>(channels, 1), 0);
  _filteredData.assign(_busData.size(), 0);
  _processedInput.assign(_busData.size(), 0);
  _busList = createList(_busData.data(), channels, 0);
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
  stopPollThread();
  if (_device) _device->close();
  _alive->store(nullptr);
  circularBufferTearDown(&_audioThreadRing);
  circularBufferTearDown(&_mainThreadRing);
  std::free(_busList);
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
  _currentBufferDuration = _device->framesPerBuffer() / _audioDescription.mSampleRate;
  return true;
}

std::string AudioEngine::lastError() const {
  std::lock_guard<std::mutex> lock(_errorMutex);
  return _lastError;
}

bool AudioEngine::start(std::string* error) {
  QUR_LOG_INFO("Engine: Starting Engine");
  if (!_hasDevice) {
    const std::string message = lastError();
    if (error) *error = message;
    return false;
  }
  startPollThread();
  if (_running) return true;
  std::lock_guard<std::mutex> lock(_stateMutex);
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
    if (_voiceProcessor) _voiceProcessor->stop();
    std::lock_guard<std::mutex> errorLock(_errorMutex);
    _lastError = "Couldn't start audio engine: " + reason;
    if (error) *error = _lastError;
    return false;
  }
  _cyclesActive = _device->hasOwnThread();
  _interrupted = false;
  _lastCycleCount = _device->cycleCount();
  _stalledPolls = 0;
  _running = true;
  return true;
}

void AudioEngine::stop() {
  if (!_running && !_interrupted) return;
  QUR_LOG_INFO("Engine: Stopping Engine");
  {
    std::lock_guard<std::mutex> lock(_stateMutex);
    if (_cyclesActive) _device->stop();
    _cyclesActive = false;
    if (_voiceProcessor) _voiceProcessor->stop();
    _running = false;
    _interrupted = false;
    processAudioThreadMessages();
  }
  stopPollThread();
  processMainThreadMessages();
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
    auto record = std::make_unique<ChannelRecord>();
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
  std::lock_guard<std::recursive_mutex> tables(_tableMutex);
  std::vector<std::shared_ptr<AudioPlayable>> removed;
  std::vector<std::unique_ptr<ChannelRecord>> removedRecords;
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
  ChannelRecord* channels[kMaxChannels];
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

// ---- Messages -------------------------------------------------------------

void AudioEngine::performSynchronousMessageExchange(const std::function<void()>& block) {
  std::binary_semaphore done(0);
  {
    std::lock_guard<std::mutex> lock(_stateMutex);
    if (!_cyclesActive) {
      // No device thread is calling the engine: the tables are ours.
      processAudioThreadMessages();
      block();
      return;
    }
    AudioThreadMessage message{&block, &done};
    if (!circularBufferProduceBytes(&_audioThreadRing, &message, sizeof message)) {
      QUR_LOG_ERROR("Engine: message ring to the audio thread is full");
      return;
    }
  }
  if (done.try_acquire_for(std::chrono::seconds(1))) return;

  QUR_LOG_ERROR("Engine: Timed out while performing message exchange");
  std::lock_guard<std::mutex> lock(_stateMutex);
  if (_cyclesActive) {
    // A device that stops calling back is as good as lost; stop it so the
    // pending messages can be run here without racing its thread.
    _device->abandon();
    _cyclesActive = false;
    if (_running) {
      _interrupted = true;
      _pollsUntilRetry = kPollsBetweenRetries;
    }
  }
  processAudioThreadMessages();
  done.try_acquire();
}

// Audio thread, or a thread holding _stateMutex while no cycles run.
void AudioEngine::processAudioThreadMessages() {
  int32_t available = 0;
  while (auto* bytes = circularBufferReadPointer(&_audioThreadRing, &available)) {
    if (available < int32_t(sizeof(AudioThreadMessage))) break;
    AudioThreadMessage message;
    std::memcpy(&message, bytes, sizeof message);
    circularBufferConsume(&_audioThreadRing, sizeof message);
    (*message.block)();
    message.done->release();
  }
}

void audioEngineSendAsynchronousMessageToMainThread(AudioEngine* engine,
                                                    AudioEngineMainThreadMessageHandler handler,
                                                    const void* userData, int userDataLength) {
  if (!engine) return;
  engine->sendToMainThread(handler, userData, userDataLength);
}

void AudioEngine::sendToMainThread(AudioEngineMainThreadMessageHandler handler, const void* data,
                                   int length) {
  if (length < 0 || (length > 0 && !data)) length = 0;
  const int32_t padded = (length + 15) & ~15;
  const int32_t total = int32_t(sizeof(MainThreadMessage)) + padded;
  // Several audio-side producers (a device thread that was replaced, a
  // decoder's and an encoder's logger) must not interleave their writes.
  while (_mainRingWriter.test_and_set(std::memory_order_acquire)) {
  }
  int32_t space = 0;
  auto* out = static_cast<uint8_t*>(circularBufferWritePointer(&_mainThreadRing, &space));
  if (!out || space < total) {
    _mainRingWriter.clear(std::memory_order_release);
    _droppedMessages.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  MainThreadMessage header{handler, length, 0};
  std::memcpy(out, &header, sizeof header);
  if (length > 0) std::memcpy(out + sizeof header, data, size_t(length));
  circularBufferProduce(&_mainThreadRing, total);
  _mainRingWriter.clear(std::memory_order_release);
}

void AudioEngine::processMainThreadMessages() {
  std::unique_lock<std::mutex> lock(_responseMutex);
  _responsesScheduled = false;
  alignas(16) uint8_t small[256];
  std::vector<uint8_t> large;
  int32_t available = 0;
  while (auto* bytes =
             static_cast<uint8_t*>(circularBufferReadPointer(&_mainThreadRing, &available))) {
    MainThreadMessage header;
    std::memcpy(&header, bytes, sizeof header);
    const int32_t padded = (header.length + 15) & ~15;
    uint8_t* copy = small;
    if (header.length > int32_t(sizeof small)) {
      large.resize(size_t(header.length));
      copy = large.data();
    }
    if (header.length > 0) std::memcpy(copy, bytes + sizeof header, size_t(header.length));
    circularBufferConsume(&_mainThreadRing, int32_t(sizeof header) + padded);
    if (header.handler) {
      lock.unlock();
      header.handler(this, header.length > 0 ? copy : nullptr, header.length);
      lock.lock();
    }
  }
  if (const int dropped = _droppedMessages.exchange(0)) {
    QUR_LOG_ERROR("Engine: %d messages from the audio thread were dropped: ring full", dropped);
  }
}

void AudioEngine::scheduleMainThreadMessages() {
  if (_responsesScheduled.exchange(true)) return;
  std::weak_ptr<std::atomic<AudioEngine*>> alive = _alive;
  mainQueue().post([alive] {
    // Posted blocks may outlive the engine; its token says whether it is still there.
    if (auto token = alive.lock()) {
      if (AudioEngine* engine = token->load()) engine->processMainThreadMessages();
    }
  });
}

// ---- Poll thread: wakes the main thread, watches the device ---------------

void AudioEngine::startPollThread() {
  if (_pollThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_pollMutex);
    _pollStop = false;
  }
  _pollThread = std::thread([this] { pollThread(); });
}

void AudioEngine::stopPollThread() {
  if (!_pollThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_pollMutex);
    _pollStop = true;
  }
  _pollCv.notify_all();
  _pollThread.join();
}

void AudioEngine::pollThread() {
  pthread_setname_np(pthread_self(), "QURAudioEnginePo");  // 15 characters at most
  std::unique_lock<std::mutex> lock(_pollMutex);
  while (!_pollStop) {
    _pollCv.wait_for(lock, kPollInterval, [this] { return _pollStop; });
    if (_pollStop) break;
    lock.unlock();
    const int32_t pending = circularBufferFillCount(&_mainThreadRing);
    if (pending > 0 || _droppedMessages.load() > 0) scheduleMainThreadMessages();
    checkDevice();
    lock.lock();
  }
}

void AudioEngine::checkDevice() {
  std::lock_guard<std::mutex> lock(_stateMutex);
  if (!_running) return;
  if (!_interrupted) {
    const uint64_t cycles = _device->cycleCount();
    _stalledPolls = cycles == _lastCycleCount ? _stalledPolls + 1 : 0;
    _lastCycleCount = cycles;
    const bool stalled =
        _device->isRealTime() && _device->hasOwnThread() && _stalledPolls >= kStalledPollsUntilLost;
    if (_device->isHealthy() && !stalled) return;
    QUR_LOG_ERROR("Engine: Audio device %s lost (%s); keeping state and retrying",
                  _device->name().c_str(), stalled ? "no audio cycles" : "stream error");
    _device->abandon();
    _cyclesActive = false;
    _interrupted = true;
    _pollsUntilRetry = kPollsBetweenRetries;
    processAudioThreadMessages();
    return;
  }
  if (--_pollsUntilRetry > 0) return;
  _pollsUntilRetry = kPollsBetweenRetries;
  std::string error;
  if (!openDevice(&error) || !_device->start(&error)) {
    _device->close();
    return;
  }
  _lastCycleCount = _device->cycleCount();
  _stalledPolls = 0;
  _cyclesActive = _device->hasOwnThread();
  _interrupted = false;
  QUR_LOG_ERROR("Engine: Audio device %s is back; resuming", _device->name().c_str());
}

// ---- Audio thread ---------------------------------------------------------

void AudioEngine::audioDeviceCycle(const int16_t* input, int16_t* output, uint32_t frames,
                                   uint64_t hostTimeNs) {
  const UInt32 channels = _audioDescription.mChannelsPerFrame;
  uint32_t done = 0;
  while (done < frames) {
    const UInt32 slice = std::min<uint32_t>(frames - done, kMaxFramesPerSlice);
    const uint64_t sliceTime =
        hostTimeNs + uint64_t(double(done) / _audioDescription.mSampleRate * kHostTicksPerSecond);
    const bool withInput = input && _inputAvailable;
    if (withInput) inputCycle(input + size_t(done) * channels, slice, sliceTime);
    outputCycle(output + size_t(done) * channels, slice, sliceTime);
    // A cycle without microphone audio gives the canceller no reference
    // either, so the two stay aligned.
    if (withInput && _voiceProcessingActive.load(std::memory_order_relaxed)) {
      _voiceProcessor->analyzeReference(output + size_t(done) * channels, slice);
    }
    _sampleTime += slice;
    done += slice;
  }
  processAudioThreadMessages();
}

void AudioEngine::inputCycle(const int16_t* input, UInt32 frames, uint64_t hostTimeNs) {
  const UInt32 bytes = frames * _audioDescription.mBytesPerFrame;
  _inputTime = AudioTimeStamp{};
  _inputTime.mSampleTime = _sampleTime;
  _inputTime.mHostTime = hostTimeNs + secondsToHostTicks(_inputLatency);
  _inputTime.mFlags = kAudioTimeStampSampleHostTimeValid;
  _rawInputList->mBuffers[0].mData = const_cast<int16_t*>(input);
  _rawInputList->mBuffers[0].mDataByteSize = bytes;
  if (_voiceProcessingActive.load(std::memory_order_relaxed)) {
    std::memcpy(_processedInput.data(), input, bytes);
    _voiceProcessor->processCapture(_processedInput.data(), frames);
    _rawInputList->mBuffers[0].mData = _processedInput.data();
  }

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

void AudioEngine::outputCycle(int16_t* output, UInt32 frames, uint64_t hostTimeNs) {
  const UInt32 channels = _audioDescription.mChannelsPerFrame;
  const size_t samples = size_t(frames) * channels;
  const UInt32 bytes = UInt32(samples * sizeof(int16_t));
  // Channels at unity gain (the usual case: decoders, sounds at full volume)
  // are summed exactly in integers; the others in floating point.
  int32_t* sum = _mixInt.data();
  float* mix = _mix.data();
  std::fill(sum, sum + samples, 0);
  bool anyScaled = false;
  int16_t* bus = _busData.data();

  for (int i = 0; i < _rtChannelCount; ++i) {
    ChannelRecord* record = _rtChannels[i];
    AudioPlayable* channel = record->channel;
    // A bus only renders while its channel plays and is not muted.
    if (!record->callback || !channel->channelIsPlaying() || channel->channelIsMuted()) continue;
    record->timestamp.mHostTime = hostTimeNs;
    std::memset(bus, 0, bytes);
    _busList->mBuffers[0].mData = bus;
    _busList->mBuffers[0].mDataByteSize = bytes;
    record->callback(channel, this, &record->timestamp, frames, _busList);
    record->timestamp.mSampleTime += frames;

    const float volume = channel->volume();
    const float pan = channel->pan();
    if (volume == 1.0f && (pan == 0.0f || channels != 2)) {
      for (size_t s = 0; s < samples; ++s) sum[s] += bus[s];
      continue;
    }
    if (!anyScaled) {
      std::fill(mix, mix + samples, 0.0f);
      anyScaled = true;
    }
    if (channels == 2) {
      // Balance pan: the far side fades out, the near side stays at full level.
      const float p = std::clamp(pan, -0.999f, 0.999f);
      const float gains[2] = {volume * (p > 0 ? 1.0f - p : 1.0f),
                              volume * (p < 0 ? 1.0f + p : 1.0f)};
      for (size_t s = 0; s < samples; ++s) mix[s] += gains[s & 1] * float(bus[s]);
    } else {
      for (size_t s = 0; s < samples; ++s) mix[s] += volume * float(bus[s]);
    }
  }

  const float master = _muteOutput.load(std::memory_order_relaxed)
                           ? 0.0f
                           : _masterOutputVolume.load(std::memory_order_relaxed);
  if (!anyScaled && master == 1.0f) {
    for (size_t s = 0; s < samples; ++s) {
      output[s] = static_cast<int16_t>(std::clamp(sum[s], -32768, 32767));
    }
    return;
  }
  for (size_t s = 0; s < samples; ++s) {
    const float v = (float(sum[s]) + (anyScaled ? mix[s] : 0.0f)) * master;
    output[s] = static_cast<int16_t>(std::clamp(v, -32768.0f, 32767.0f));
  }
}

}  // namespace qur
