// A filter of the engine's input chain that runs an effect unit: the unit
// pulls its input through the chain's producer, so it processes exactly the
// audio the chain hands it.
#pragma once

#include <memory>
#include <string>

#include "audio/engine/audio_engine.h"
#include "audio/engine/effect_unit.h"
#include "audio/realtime_logger.h"

namespace qur {

class AudioUnitFilter : public AudioFilter {
 public:
  // Null (and the reason) when no effect matches the description or it does
  // not take the engine's format.
  static std::shared_ptr<AudioUnitFilter> create(const AudioComponentDescription& description,
                                                 AudioEngine* audioController,
                                                 std::string* error = nullptr);
  // Hosts a given unit (used for effects that are not in the registry).
  static std::shared_ptr<AudioUnitFilter> createWithUnit(
      std::unique_ptr<EffectUnit> unit, const AudioComponentDescription& description,
      AudioEngine* audioController, std::string* error = nullptr);

  EffectUnit* audioUnit() const { return _audioUnit.get(); }
  const AudioComponentDescription& componentDescription() const { return _componentDescription; }
  AudioEngineFilterCallback filterCallback() const override {
    return &AudioUnitFilter::filterRender;
  }

  // Audio thread: the engine's filter shape.
  static OSStatus filterRender(AudioFilter* filter, AudioEngine* engine,
                               AudioEngineAudioProducer producer, void* producerToken,
                               const AudioTimeStamp* time, UInt32 frames, AudioBufferList* audio);

 private:
  AudioUnitFilter() = default;
  static OSStatus pullInput(void* context, AudioBufferList* audio, UInt32* frames);

  AudioEngine* _audioController = nullptr;
  AudioComponentDescription _componentDescription{};
  [[maybe_unused]] bool _useDefaultInputFormat = false;
  std::unique_ptr<EffectUnit> _audioUnit;
  AudioEngineAudioProducer _currentProducer = nullptr;
  void* _currentProducerToken = nullptr;
  RealtimeThreadLogger _logger;
};

}  // namespace qur
