#include "app/dynamic_range_compressor.h"

#include <cmath>
#include <limits>

#include "log/log.h"
#include "log/thread_role.h"

namespace qur {
namespace {

struct Property {
  const char* key;
  UInt32 parameter;
  float preset;
};
constexpr Property kProperties[] = {
    {"threshold", kDynamicsProcessorParam_Threshold, -34.4f},
    {"headRoom", kDynamicsProcessorParam_HeadRoom, 9.8f},
    {"expansionRatio", kDynamicsProcessorParam_ExpansionRatio, 2.25f},
    {"expansionThreshold", kDynamicsProcessorParam_ExpansionThreshold, -55.9f},
    {"attackTime", kDynamicsProcessorParam_AttackTime, 0.025f},
    {"releaseTime", kDynamicsProcessorParam_ReleaseTime, 0.05f},
    {"masterGain", kDynamicsProcessorParam_MasterGain, 15.0f},
};

}  // namespace

std::shared_ptr<DynamicRangeCompressor> DynamicRangeCompressor::create(
    AudioEngine* audioController) {
  const AudioComponentDescription description{kAudioUnitType_Effect,
                                              kAudioUnitSubType_DynamicsProcessor,
                                              kAudioUnitManufacturer_Platform, 0, 0};
  std::string error;
  auto hosted = AudioUnitFilter::create(description, audioController, &error);
  if (!hosted) {
    QUR_LOG_ERROR("Failed to initialize AUDynamicsCompressor: %s", error.c_str());
    return nullptr;
  }
  std::shared_ptr<DynamicRangeCompressor> compressor(new DynamicRangeCompressor());
  compressor->_compressorFilter = std::move(hosted);
  compressor->_filterCallback = compressor->_compressorFilter->filterCallback();
  compressor->setupPresets();
  return compressor;
}

void DynamicRangeCompressor::setupPresets() {
  for (const Property& property : kProperties) {
    setAudioUnitParameterToValue(property.parameter, property.preset);
  }
}

OSStatus DynamicRangeCompressor::filter(AudioFilter* filter, AudioEngine* engine,
                                        AudioEngineAudioProducer producer, void* producerToken,
                                        const AudioTimeStamp* time, UInt32 frames,
                                        AudioBufferList* audio) {
  auto* self = static_cast<DynamicRangeCompressor*>(filter);
  return self->_filterCallback(self->_compressorFilter.get(), engine, producer, producerToken, time,
                               frames, audio);
}

float DynamicRangeCompressor::getAudioUnitParamterValue(UInt32 parameter) const {
  float value = 0;
  const OSStatus status =
      _compressorFilter->audioUnit()->getParameter(parameter, kAudioUnitScope_Global, 0, &value);
  if (status != noErr) {
    QUR_LOG_ERROR("Failed to get parameter value for %u, error %d occured", parameter, int(status));
    return std::numeric_limits<float>::quiet_NaN();
  }
  return value;
}

void DynamicRangeCompressor::setAudioUnitParameterToValue(UInt32 parameter, float value) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  const OSStatus status =
      _compressorFilter->audioUnit()->setParameter(parameter, kAudioUnitScope_Global, 0, value, 0);
  if (status != noErr) {
    QUR_LOG_ERROR("Failed to set parameter value for %u, error %d occured", parameter, int(status));
  }
}

std::optional<UInt32> DynamicRangeCompressor::parameterForKey(const std::string& key) {
  for (const Property& property : kProperties) {
    if (key == property.key) return property.parameter;
  }
  return std::nullopt;
}

bool DynamicRangeCompressor::setValueForKey(const std::string& key, float value) {
  const auto parameter = parameterForKey(key);
  if (!parameter) return false;
  setAudioUnitParameterToValue(*parameter, value);
  return true;
}

std::optional<float> DynamicRangeCompressor::valueForKey(const std::string& key) const {
  const auto parameter = parameterForKey(key);
  if (!parameter) return std::nullopt;
  return getAudioUnitParamterValue(*parameter);
}

}  // namespace qur
