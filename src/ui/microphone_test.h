// "Test microphone": the local playthrough loopback on the running engine,
// so the user hears themselves through the whole voice chain (compressor,
// Opus and back) with the start and end beeps. Main thread.
#pragma once

#include <memory>

namespace qur {

class AudioEngine;
class OpusPlaythroughStream;

class MicrophoneTest {
 public:
  explicit MicrophoneTest(std::shared_ptr<AudioEngine> engine);
  ~MicrophoneTest();
  MicrophoneTest(const MicrophoneTest&) = delete;
  MicrophoneTest& operator=(const MicrophoneTest&) = delete;

  // False (after a log line) when the chain cannot be built or there is no engine.
  bool start();
  void stop();
  bool isRunning() const { return bool(_stream); }
  const OpusPlaythroughStream* stream() const { return _stream.get(); }

 private:
  std::shared_ptr<AudioEngine> _engine;
  std::unique_ptr<OpusPlaythroughStream> _stream;
};

}  // namespace qur
