// The pull-model layer between the audio device and the voice path. Once per
// device cycle, on the device's real-time thread, the engine
//   - runs the input path: microphone audio through the input filters, in the
//     order they were added, then to every input receiver;
//   - runs the output path: every channel renders into its own scratch bus,
//     which is mixed with the channel's volume and pan into the speaker output;
//   - runs the pending main-thread exchange (a table change) for the audio thread.
// Audio-thread code talks back to the main thread through
// audioEngineSendAsynchronousMessageToMainThread(); a poll thread wakes the
// main queue for those messages every 0.1 s.
//
// Exactly one thread runs a cycle at a time: a second caller (a stream that
// was replaced) is turned away with silence. A lost device (unplugged, sound
// server hung or restarted, stream error) is noticed by the device watchdog,
// which keeps the engine's state, reopens the device once a second and
// resumes when it is back; table changes never wait for it.
//
// Files: audio_engine.cpp (set-up, start/stop, tables), audio_engine_cycle_rt.cpp
// (the audio thread's cycle), engine_mixer_rt.* (output mix),
// engine_message_queue* (messages both ways), device_watchdog.* (device loss).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_types.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/device_watchdog.h"
#include "audio/engine/engine_message_queue.h"
#include "audio/engine/engine_mixer_rt.h"

namespace qur {

class AudioEngine;
class VoiceProcessor;
class AudioPlayable;
class AudioReceiver;
class AudioFilter;

// Audio thread; fills `audio` (zeroed beforehand) with `frames` frames.
// (AudioEngineRenderCallback, declared with the mixer.)
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
// (AudioEngineMainThreadMessageHandler, declared with the message queue.)

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
  static constexpr int kMessageBufferLength = EngineMessageQueue::kRingLength;

  // 44.1 kHz, signed 16-bit, packed, interleaved stereo.
  static AudioStreamBasicDescription interleaved16BitStereoAudioDescription();

  // Opens `device`, or the one QUR_WTALKIE_AUDIO names when null. A failure
  // leaves the engine without a device: lastError() says why and start() fails.
  AudioEngine(const AudioStreamBasicDescription& audioDescription, bool inputEnabled,
              bool useVoiceProcessing, std::unique_ptr<AudioDevice> device = nullptr);
  ~AudioEngine() override;
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // Main thread. start() and stop() wait for a device call in progress on
  // the watchdog thread (a reopen after a loss).
  bool start(std::string* error = nullptr);
  void stop();
  bool isRunning() const { return _running.load(); }
  std::string lastError() const;

  const AudioStreamBasicDescription& audioDescription() const { return _audioDescription; }
  bool inputEnabled() const { return _inputEnabled; }
  // Whether the opened device delivers microphone audio.
  bool inputAvailable() const { return _inputAvailable.load(); }
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
  double currentBufferDuration() const { return _currentBufferDuration.load(); }
  // Any thread: the device's input and output latency as last measured (the
  // opened stream's figures until the device measures them).
  double inputLatency() const { return _inputLatency.load(std::memory_order_relaxed); }
  double outputLatency() const { return _outputLatency.load(std::memory_order_relaxed); }
  // Whether the device is lost and being retried.
  bool isInterrupted() const { return _watchdog && _watchdog->isInterrupted(); }
  // The device object (stable for the engine's life; its stream is not).
  AudioDevice* device() const { return _device.get(); }
  // Any thread: cycles turned away because another thread was inside one, or
  // because the engine was stopped.
  uint64_t refusedCycles() const { return _queue.refusedCycles(); }
  // Any thread: table changes the audio thread took over (the others were
  // made on the calling thread while no cycle came).
  uint64_t exchangesOnAudioThread() const { return _queue.exchangesOnAudioThread(); }

  // Table changes: any thread but the audio thread (changes are serialised).
  // They wait for the end of the current cycle at most, never for the
  // device: with no cycle coming they are made on the calling thread.
  // Channels already present are moved to the end, not doubled.
  void addChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels);
  // Returns once the audio thread no longer calls them.
  void removeChannels(const std::vector<std::shared_ptr<AudioPlayable>>& channels);
  std::vector<std::shared_ptr<AudioPlayable>> channels() const;

  void addInputReceiver(const std::shared_ptr<AudioReceiver>& receiver);
  void removeInputReceiver(const std::shared_ptr<AudioReceiver>& receiver);
  void addInputFilter(const std::shared_ptr<AudioFilter>& filter);
  void removeInputFilter(const std::shared_ptr<AudioFilter>& filter);

  // Main thread: runs the handlers of every message the audio thread sent.
  // The poll thread schedules this on the main queue; callers may run it too.
  void processMainThreadMessages();

  // Any thread but the audio thread. Runs `block` at the end of the next
  // cycle, or on the calling thread when no cycle comes (stopped, stalled or
  // lost device), and returns once it has run. Never waits for a device call.
  void performSynchronousMessageExchange(const std::function<void()>& block);

 private:
  friend void audioEngineSendAsynchronousMessageToMainThread(AudioEngine*,
                                                             AudioEngineMainThreadMessageHandler,
                                                             const void*, int);
  struct InputEntry {
    void* callback = nullptr;
    void* object = nullptr;
    int kind = 0;  // 1 filter, 2 receiver
  };
  struct FilterLink {
    AudioEngine* engine;
    int index;
  };

  // ---- Audio thread (audio_engine_cycle_rt.cpp) ----
  void audioDeviceCycle(const int16_t* input, int16_t* output, uint32_t frames,
                        uint64_t hostTimeNs) override;
  void audioDeviceLatencies(double inputSeconds, double outputSeconds) override;
  void inputCycle(const int16_t* input, UInt32 frames, uint64_t hostTimeNs);
  // The one place where microphone frames are worked on before the input
  // filters (voice processing goes here).
  void processMicrophone(AudioBufferList* input, UInt32 frames);
  static OSStatus filterProducer(void* token, AudioBufferList* audio, UInt32* frames);

  // ---- Main side ----
  bool openDevice(std::string* error);
  bool reopenDevice(std::string* error);
  void setUpVoiceProcessing();
  void commitTables();
  bool cyclesExpected() const;

  // Construction-time settings.
  AudioStreamBasicDescription _audioDescription;
  bool _inputEnabled;
  bool _voiceProcessingEnabled;
  bool _voiceProcessingChosen = false;
  std::atomic<bool> _voiceProcessingActive{false};
  std::unique_ptr<VoiceProcessor> _voiceProcessor;
  bool _hasDevice = false;
  // Written when the device is (re)opened, which may be on the watchdog thread.
  std::atomic<bool> _inputAvailable{false};
  std::atomic<double> _currentBufferDuration{0};
  std::atomic<double> _inputLatency{0};
  std::atomic<double> _outputLatency{0};
  std::unique_ptr<AudioDevice> _device;
  std::mutex _deviceMutex;  // every call on _device; never taken by table changes
  std::atomic<float> _masterOutputVolume{1.0f};
  std::atomic<bool> _muteOutput{false};
  std::atomic<bool> _running{false};
  mutable std::mutex _errorMutex;
  std::string _lastError;

  // Main-thread view of the tables. Peer sessions change channels from
  // their callback queue while the main thread plays sounds, so changes
  // are serialised.
  mutable std::recursive_mutex _tableMutex;
  std::vector<std::shared_ptr<AudioPlayable>> _channels;
  std::vector<std::unique_ptr<EngineChannelRecord>> _channelRecords;
  std::vector<std::shared_ptr<void>> _inputObjects;
  std::vector<InputEntry> _inputEntries;

  // Audio-thread view, replaced only inside the cycle gate.
  EngineChannelRecord* _rtChannels[kMaxChannels] = {};
  int _rtChannelCount = 0;
  InputEntry _rtInput[kMaxInputCallbacks] = {};
  int _rtInputCount = 0;
  int _rtFilterIndex[kMaxInputCallbacks] = {};
  int _rtFilterCount = 0;
  FilterLink _filterLinks[kMaxInputCallbacks] = {};

  // Allocated once, used on the audio thread.
  EngineMixer _mixer;
  std::vector<int16_t> _filteredData;
  std::vector<int16_t> _processedInput;
  AudioBufferList* _rawInputList = nullptr;
  AudioBufferList* _filteredList = nullptr;
  AudioTimeStamp _inputTime{};
  double _sampleTime = 0;

  EngineMessageQueue _queue;
  std::unique_ptr<DeviceWatchdog> _watchdog;
};

// Audio thread; allocation- and lock-free. Queues a call of `handler` on the
// main thread with a copy of `userDataLength` bytes at `userData`.
void audioEngineSendAsynchronousMessageToMainThread(AudioEngine* engine,
                                                    AudioEngineMainThreadMessageHandler handler,
                                                    const void* userData, int userDataLength);

}  // namespace qur
