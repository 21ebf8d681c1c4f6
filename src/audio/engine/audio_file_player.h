// A channel that holds a whole sound file in memory, in the engine's format,
// and plays it once or in a loop. When it ends, a notice travels through the
// engine's message ring to the main thread, which stops it, removes it from
// the mix when removeUponFinish is set and runs the completion block.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "audio/engine/audio_engine.h"

namespace qur {

class AudioFilePlayer : public AudioPlayable, public std::enable_shared_from_this<AudioFilePlayer> {
 public:
  // Loads the whole file synchronously. Null when it cannot be read (the
  // media reader logs one line); `error` then says why.
  static std::shared_ptr<AudioFilePlayer> audioFilePlayerWithURL(const std::string& url,
                                                                 AudioEngine* audioController,
                                                                 std::string* error = nullptr);
  ~AudioFilePlayer() override;

  AudioEngineRenderCallback renderCallback() const override { return &render; }
  const AudioStreamBasicDescription* channelAudioDescription() const override {
    return &_audioDescription;
  }
  const AudioStreamBasicDescription& audioDescription() const { return _audioDescription; }
  const std::string& url() const { return _url; }
  UInt32 lengthInFrames() const { return _lengthInFrames; }

  // Seconds.
  double duration() const;
  double currentTime() const;
  // Moves the playhead; wins over a render that is under way.
  void setCurrentTime(double seconds);

  bool loop() const { return _loop.load(); }
  void setLoop(bool loop) { _loop.store(loop); }
  bool removeUponFinish() const { return _removeUponFinish; }
  void setRemoveUponFinish(bool remove) { _removeUponFinish = remove; }
  // Main thread, when playback ends / when a looping player wraps.
  void setCompletionBlock(std::function<void()> block) { _completionBlock = std::move(block); }
  void setStartLoopBlock(std::function<void()> block) { _startLoopBlock = std::move(block); }

  // Audio thread; allocation- and lock-free.
  static OSStatus render(AudioPlayable* channel, AudioEngine* engine, const AudioTimeStamp* time,
                         UInt32 frames, AudioBufferList* audio);

 private:
  AudioFilePlayer() = default;
  static void endNotice(AudioEngine* engine, void* userData, int length);
  static void loopNotice(AudioEngine* engine, void* userData, int length);
  static std::shared_ptr<AudioFilePlayer> fromMessage(void* userData, int length);

  AudioBufferList* _audio = nullptr;
  UInt32 _lengthInFrames = 0;
  AudioStreamBasicDescription _audioDescription{};
  std::atomic<int32_t> _playhead{0};
  std::atomic<bool> _loop{false};
  bool _removeUponFinish = false;
  std::string _url;
  std::function<void()> _completionBlock;
  std::function<void()> _startLoopBlock;
  AudioEngine* _audioController = nullptr;
};

}  // namespace qur
