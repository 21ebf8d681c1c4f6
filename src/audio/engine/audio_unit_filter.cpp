#include "audio/engine/audio_unit_filter.h"

#include "log/log.h"

namespace qur {

std::shared_ptr<AudioUnitFilter> AudioUnitFilter::create(
    const AudioComponentDescription& description, AudioEngine* audioController,
    std::string* error) {
  auto unit = createEffectUnit(description);
  if (!unit) {
    if (error) *error = "No effect unit matches the component description";
    return nullptr;
  }
  return createWithUnit(std::move(unit), description, audioController, error);
}

std::shared_ptr<AudioUnitFilter> AudioUnitFilter::createWithUnit(
    std::unique_ptr<EffectUnit> unit, const AudioComponentDescription& description,
    AudioEngine* audioController, std::string* error) {
  if (!unit || !audioController) {
    if (error) *error = "No effect unit or no engine";
    return nullptr;
  }
  const OSStatus status =
      unit->initialize(audioController->audioDescription(), AudioEngine::kMaxFramesPerSlice);
  if (status != noErr) {
    if (error) {
      *error = "Effect unit initialization failed with " + std::to_string(status) + " (" +
               fourCharCode(status) + ")";
    }
    return nullptr;
  }
  std::shared_ptr<AudioUnitFilter> filter(new AudioUnitFilter());
  filter->_audioController = audioController;
  filter->_componentDescription = description;
  filter->_audioUnit = std::move(unit);
  return filter;
}

OSStatus AudioUnitFilter::pullInput(void* context, AudioBufferList* audio, UInt32* frames) {
  auto* self = static_cast<AudioUnitFilter*>(context);
  if (!self->_currentProducer) {
    *frames = 0;
    return noErr;
  }
  return self->_currentProducer(self->_currentProducerToken, audio, frames);
}

OSStatus AudioUnitFilter::filterRender(AudioFilter* filter, AudioEngine* engine,
                                       AudioEngineAudioProducer producer, void* producerToken,
                                       const AudioTimeStamp* time, UInt32 frames,
                                       AudioBufferList* audio) {
  auto* self = static_cast<AudioUnitFilter*>(filter);
  self->_currentProducer = producer;
  self->_currentProducerToken = producerToken;
  const OSStatus status =
      self->_audioUnit->render(&AudioUnitFilter::pullInput, self, time, frames, audio);
  if (status != noErr) {
    const UInt32 code = UInt32(status);
    const char chars[5] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code), 0};
    QUR_RT_LOG_ERROR(self->_logger.loggerBlock(), engine, "%s:%d: %s result %d %08X %4.4s\n",
                     __FILE__, __LINE__, "AudioUnitRender", int(status), unsigned(status), chars);
  }
  return noErr;
}

}  // namespace qur
