// The pull-model layer between the audio device and the voice path. Once per
// device cycle, on the device's real-time thread, the engine
//   - runs the input path: microphone audio through the input filters, in the
//     order they were added, then to every input receiver;
//   - runs the output path: every channel renders into its own scratch bus,
//     which is mixed with the channel's volume and pan into the speaker output;
//   - runs pending main-thread messages (table changes) for the audio thread.
// Audio-thread code talks back to the main thread through
// audioEngineSendAsynchronousMessageToMainThread(); a poll thread wakes the
// main queue for those messages every 0.1 s.
//
// A lost device (unplugged, sound server restarted, stream error) is noticed by
// the poll thread, which keeps the engine's state, reopens the device once a
// second and resumes when it is back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"
#include "audio/engine/audio_device.h"

namespace qur {

class AudioEngine;
class VoiceProcessor;
class AudioPlayable;
class AudioReceiver;
class AudioFilter;

// Audio thread; fills `audio` (zeroed beforehand) with `frames` frames.
using AudioEngineRenderCallback = OSStatus (*)(AudioPlayable* channel, AudioEngine* engine,
                                               const AudioTimeStamp* time, UInt32 frames,
                                               AudioBufferList* audio);
// Audio thread; `source` is kAudioEngineSourceInput for the microphone.
using AudioEngineReceiverCallback = void (*)(AudioReceiver* receiver, AudioEngine* engine,
                                             int source, const AudioTimeStamp* time, UInt32 frames,
                                             const AudioBufferList* audio);
// Audio thread, only inside a filter callback: pulls the filter's input.
// `frames` comes back as the frames delivered.
using AudioEngineAudioProducer = OSStatus (*)(void* producerToken, AudioBufferList* audio,
                                              UInt32* frames);
using AudioEngineFilterCallback = OSStatus (*)(AudioFilter* filter, AudioEngine* engine,
                                               AudioEngineAudioProducer producer,
                                               void* producerToken, const AudioTimeStamp* time,
                                               UInt32 frames, AudioBufferList* audio);
// Main thread: runs with a pointer to a copy of the user data.
using AudioEngineMainThreadMessageHandler = void (*)(AudioEngine* engine, void* userData,
                                                     int userDataLength);

inline constexpr int kAudioEngineSourceInput = 1;

// A channel of the output mix. The mix properties are atomics read by the
// audio thread every cycle, so setting them from the main thread takes effect
// on the next cycle without any other notification.
class AudioPlayable {
 public:
  virtual ~AudioPlayable() = default;
  virtual AudioEngineRenderCallback renderCallback() const = 0;
  // The channel's own format; nullptr (or a sample rate of 0) means the
  // engine's format.
  virtual const AudioStreamBasicDescription* channelAudioDescription() const { return nullptr; }

  float volume() const { return _volume.load(std::memory_order_relaxed); }
  void setVolume(float volume) { _volume.store(volume, std::memory_order_relaxed); }
  // -1 left to +1 right.
  float pan() const { return _pan.load(std::memory_order_relaxed); }
  void setPan(float pan) { _pan.store(pan, std::memory_order_relaxed); }
  bool channelIsPlaying() const { return _channelIsPlaying.load(std::memory_order_acquire); }
  void setChannelIsPlaying(bool playing) {
    _channelIsPlaying.store(playing, std::memory_order_release);
  }
  bool channelIsMuted() const { return _channelIsMuted.load(std::memory_order_relaxed); }
  void setChannelIsMuted(bool muted) { _channelIsMuted.store(muted, std::memory_order_relaxed); }

 protected:
  std::atomic<float> _volume{1.0f};
  std::atomic<float> _pan{0.0f};
  std::atomic<bool> _channelIsPlaying{true};
  std::atomic<bool> _channelIsMuted{false};
};

class AudioReceiver {
 public:
  virtual ~AudioReceiver() = default;
  virtual AudioEngineReceiverCallback receiverCallback() const = 0;
};

class AudioFilter {
 public:
  virtual ~AudioFilter() = default;
  virtual AudioEngineFilterCallback filterCallback() const = 0;
};

class AudioEngine : private AudioDeviceClient {
 public:
  static constexpr int kMaxChannels = 100;
  static constexpr int kMaxInputCallbacks = 15;
  static constexpr UInt32 kMaxFramesPerSlice = 4096;
  static constexpr int kMessageBufferLength = 8192;

  // 44.1 kHz, signed 16-bit, packed, interleaved stereo.
  static AudioStreamBasicDescription interleaved16BitStereoAudioDescription();

  // Opens `device`, or the one QUR_WTALKIE_AUDIO names when null. A failure
  // leaves the engine without a device: lastError() says why and start() fails.
  AudioEngine(const AudioStreamBasicDescription& audioDescription, bool inputEnabled,
              bool useVoiceProcessing, std::unique_ptr<AudioDevice> device = nullptr);
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // Main thread.
  bool start(std::string* error = nullptr);
  void stop();
  bool isRunning() const { return _running.load(); }
  std::string lastError() const;

  const AudioStreamBasicDescription& audioDescription() const { return _audioDescription; }
  bool inputEnabled() const { return _inputEnabled; }
  // Whether the opened device delivers microphone audio.
  bool inputAvailable() const { return _inputAvailable; }
  bool voiceProcessingEnabled() const { return _voiceProcessingEnabled; }
  // Main thread, before start(): switches voice processing on or off
  // whatever the device's default (see isVoiceProcessingActive()).
  void setVoiceProcessingEnabled(bool enabled) {
    _voiceProcessingEnabled = enabled;
    _voiceProcessingChosen = true;
  }
  // The mode the engine runs in, decided at start(): echo cancellation,
  // noise suppression and a high-pass filter on the microphone before the
  // input filters, when asked for at construction and the device wants it
  // by default (or when switched on by setVoiceProcessingEnabled()), and
  // the device has a microphone. Any thread.
  bool isVoiceProcessingActive() const { return _voiceProcessingActive.load(); }
  // Null while voice processing is off. Its counters may be read from any thread.
  const VoiceProcessor* voiceProcessor() const { return _voiceProcessor.get(); }
  float masterOutputVolume() const { return _masterOutputVolume.load(); }
  void setMasterOutputVolume(float volume) { _masterOutputVolume.store(volume); }
  bool muteOutput() const { return _muteOutput.load(); }
  void setMuteOutput(bool mute) { _muteOutput.store(mute); }
  // Hardware buffer duration in seconds.
  double currentBufferDuration() const { return _currentBufferDuration; }
  // Whether the device is lost and being retried.
  bool isInterrupted() const { return _interrupted.load(); }
  AudioDevice* device() const { return _device.get(); }

  // Any thread (changes are serialised). Channels already present are moved
  // to the end, not doubled.
  void addChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels);
  // Any thread. Returns once the audio thread no longer calls them.
  void removeChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels);
  std::vector<std::shared_ptr<AudioPlayable>> channels() const;

  void addInputReceiver(const std::shared_ptr<AudioReceiver>& receiver);
  void removeInputReceiver(const std::shared_ptr<AudioReceiver>& receiver);
  void addInputFilter(const std::shared_ptr<AudioFilter>& filter);
  void removeInputFilter(const std::shared_ptr<AudioFilter>& filter);

  // Main thread: runs the handlers of every message the audio thread sent.
  // The poll thread schedules this on the main queue; callers may run it too.
  void processMainThreadMessages();

  // Runs `block` on the audio thread (or on the calling thread while no
  // cycles run) and returns once it has run. Waits at most a second.
  void performSynchronousMessageExchange(const std::function<void()>& block);

 private:
  friend void audioEngineSendAsynchronousMessageToMainThread(AudioEngine*,
                                                             AudioEngineMainThreadMessageHandler,
                                                             const void*, int);
  struct ChannelRecord;
  struct InputEntry {
    void* callback = nullptr;
    void* object = nullptr;
    int kind = 0;  // 1 filter, 2 receiver
  };
  struct FilterLink {
    AudioEngine* engine;
    int index;
  };
  struct AudioThreadMessage;
  struct MainThreadMessage;

  void audioDeviceCycle(const int16_t* input, int16_t* output, uint32_t frames,
                        uint64_t hostTimeNs) override;
  void inputCycle(const int16_t* input, UInt32 frames, uint64_t hostTimeNs);
  void outputCycle(int16_t* output, UInt32 frames, uint64_t hostTimeNs);
  static OSStatus filterProducer(void* token, AudioBufferList* audio, UInt32* frames);
  void processAudioThreadMessages();
  void sendToMainThread(AudioEngineMainThreadMessageHandler handler, const void* data, int length);

  bool openDevice(std::string* error);
  void setUpVoiceProcessing();
  void commitTables();
  void startPollThread();
  void stopPollThread();
  void pollThread();
  void checkDevice();
  void scheduleMainThreadMessages();

  // Construction-time settings.
  AudioStreamBasicDescription _audioDescription;
  bool _inputEnabled;
  bool _voiceProcessingEnabled;
  bool _voiceProcessingChosen = false;
  std::atomic<bool> _voiceProcessingActive{false};
  std::unique_ptr<VoiceProcessor> _voiceProcessor;
  bool _inputAvailable = false;
  bool _hasDevice = false;
  double _currentBufferDuration = 0;
  double _inputLatency = 0;
  std::unique_ptr<AudioDevice> _device;
  std::atomic<float> _masterOutputVolume{1.0f};
  std::atomic<bool> _muteOutput{false};
  std::atomic<bool> _running{false};
  std::atomic<bool> _interrupted{false};
  std::atomic<bool> _cyclesActive{false};  // the device's thread may be calling us
  mutable std::mutex _errorMutex;
  std::string _lastError;

  // Main-thread view of the tables. Peer sessions change channels from
  // their callback queue while the main thread plays sounds, so changes
  // are serialised.
  mutable std::recursive_mutex _tableMutex;
  std::vector<std::shared_ptr<AudioPlayable>> _channels;
  std::vector<std::unique_ptr<ChannelRecord>> _channelRecords;
  std::vector<std::shared_ptr<void>> _inputObjects;
  std::vector<InputEntry> _inputEntries;

  // Audio-thread view, replaced only by an exchange with the audio thread.
  ChannelRecord* _rtChannels[kMaxChannels] = {};
  int _rtChannelCount = 0;
  InputEntry _rtInput[kMaxInputCallbacks] = {};
  int _rtInputCount = 0;
  int _rtFilterIndex[kMaxInputCallbacks] = {};
  int _rtFilterCount = 0;
  FilterLink _filterLinks[kMaxInputCallbacks] = {};

  // Buffers allocated once, used on the audio thread.
  std::vector<float> _mix;
  std::vector<int32_t> _mixInt;
  std::vector<int16_t> _busData;
  std::vector<int16_t> _filteredData;
  std::vector<int16_t> _processedInput;
  AudioBufferList* _busList = nullptr;
  AudioBufferList* _rawInputList = nullptr;
  AudioBufferList* _filteredList = nullptr;
  AudioTimeStamp _inputTime{};
  double _sampleTime = 0;

  // Main -> audio thread (producer: main thread) and audio -> main thread.
  CircularBuffer _audioThreadRing;
  CircularBuffer _mainThreadRing;
  std::atomic_flag _mainRingWriter = ATOMIC_FLAG_INIT;
  std::atomic<int> _droppedMessages{0};
  std::mutex _stateMutex;     // device state; held by whoever runs audio messages off-thread
  std::mutex _responseMutex;  // one consumer of the main-thread ring at a time
  std::shared_ptr<std::atomic<AudioEngine*>> _alive;
  std::atomic<bool> _responsesScheduled{false};

  std::thread _pollThread;
  std::mutex _pollMutex;
  std::condition_variable _pollCv;
  bool _pollStop = false;
  uint64_t _lastCycleCount = 0;
  int _stalledPolls = 0;
  int _pollsUntilRetry = 0;
};

// Audio thread; allocation- and lock-free. Queues a call of `handler` on the
// main thread with a copy of `userDataLength` bytes at `userData`.
void audioEngineSendAsynchronousMessageToMainThread(AudioEngine* engine,
                                                    AudioEngineMainThreadMessageHandler handler,
                                                    const void* userData, int userDataLength);

}  // namespace qur
