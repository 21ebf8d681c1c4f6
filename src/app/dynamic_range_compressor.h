// Evens out the microphone level before encoding: the engine's dynamics
// effect hosted in an audio-unit filter, installed as the engine's input
// filter, with the effect's seven main parameters as float properties.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "audio/engine/audio_unit_filter.h"
#include "audio/engine/dynamics_processor.h"

namespace qur {

class DynamicRangeCompressor : public AudioFilter {
 public:
  // Null (after one log line) when the effect cannot be created.
  static std::shared_ptr<DynamicRangeCompressor> create(AudioEngine* audioController);

  // The routine the engine calls: forwards to the hosted filter's own.
  AudioEngineFilterCallback filterCallback() const override { return &filter; }

  // Parameter value by id; NaN (after a log line) when the effect has no such id.
  float getAudioUnitParamterValue(UInt32 parameter) const;
  void setAudioUnitParameterToValue(UInt32 parameter, float value);

  float threshold() const { return getAudioUnitParamterValue(kDynamicsProcessorParam_Threshold); }
  void setThreshold(float v) { setAudioUnitParameterToValue(kDynamicsProcessorParam_Threshold, v); }
  float headRoom() const { return getAudioUnitParamterValue(kDynamicsProcessorParam_HeadRoom); }
  void setHeadRoom(float v) { setAudioUnitParameterToValue(kDynamicsProcessorParam_HeadRoom, v); }
  float expansionRatio() const {
    return getAudioUnitParamterValue(kDynamicsProcessorParam_ExpansionRatio);
  }
  void setExpansionRatio(float v) {
    setAudioUnitParameterToValue(kDynamicsProcessorParam_ExpansionRatio, v);
  }
  float expansionThreshold() const {
    return getAudioUnitParamterValue(kDynamicsProcessorParam_ExpansionThreshold);
  }
  void setExpansionThreshold(float v) {
    setAudioUnitParameterToValue(kDynamicsProcessorParam_ExpansionThreshold, v);
  }
  float attackTime() const { return getAudioUnitParamterValue(kDynamicsProcessorParam_AttackTime); }
  void setAttackTime(float v) {
    setAudioUnitParameterToValue(kDynamicsProcessorParam_AttackTime, v);
  }
  float releaseTime() const {
    return getAudioUnitParamterValue(kDynamicsProcessorParam_ReleaseTime);
  }
  void setReleaseTime(float v) {
    setAudioUnitParameterToValue(kDynamicsProcessorParam_ReleaseTime, v);
  }
  float masterGain() const { return getAudioUnitParamterValue(kDynamicsProcessorParam_MasterGain); }
  void setMasterGain(float v) {
    setAudioUnitParameterToValue(kDynamicsProcessorParam_MasterGain, v);
  }

  // The properties by name ("threshold", ..., "masterGain"), for bindings.
  // False / nullopt for a name that is not one of the seven.
  bool setValueForKey(const std::string& key, float value);
  std::optional<float> valueForKey(const std::string& key) const;
  static std::optional<UInt32> parameterForKey(const std::string& key);

  // Writes the presets, in the order of the parameter ids.
  void setupPresets();

  const std::shared_ptr<AudioUnitFilter>& compressorFilter() const { return _compressorFilter; }

 private:
  DynamicRangeCompressor() = default;
  static OSStatus filter(AudioFilter* filter, AudioEngine* engine,
                         AudioEngineAudioProducer producer, void* producerToken,
                         const AudioTimeStamp* time, UInt32 frames, AudioBufferList* audio);

  std::shared_ptr<AudioUnitFilter> _compressorFilter;
  AudioEngineFilterCallback _filterCallback = nullptr;
};

}  // namespace qur
