#include "app/application.h"

#include "analytics/analytics_tracker.h"
#include "app/dynamic_range_compressor.h"
#include "app/walkie_talkie_controller.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_encoder.h"
#include "audio/run_loop_thread.h"
#include "log/log.h"
#include "peers/session_controller.h"

namespace qur {

Application::Application(Options options) : _options(std::move(options)) {
  if (_options.mainQueue) setMainQueue(_options.mainQueue);
}

Application::~Application() = default;

bool Application::launch() {
  if (_launched) return true;
  _launched = true;
  if (_options.installLoggers) {
    addLogger(std::make_shared<SystemLogger>());
    addLogger(std::make_shared<ConsoleLogger>());
  }
  analyticsTracker();
  RunLoopThread::sharedInstance()->start();
  initWalkieTalkie();
  return true;
}

void Application::initWalkieTalkie() {
  const AudioStreamBasicDescription format = AudioEngine::interleaved16BitStereoAudioDescription();
  _audioController =
      std::make_shared<AudioEngine>(format, true, true, std::move(_options.audioDevice));
  if (_options.voiceProcessing)
    _audioController->setVoiceProcessingEnabled(*_options.voiceProcessing);
  _walkieTalkie = WalkieTalkieController::create(_audioController, _options.peerName,
                                                 _options.identity, _options.frameMilliseconds);
  if (!_walkieTalkie) {
    QUR_LOG_ERROR("Failed to create the walkie-talkie controller");
    return;
  }

  _compressor = DynamicRangeCompressor::create(_audioController.get());
  if (_compressor) {
    _compressor->setMasterGain(kMasterGain);
    _audioController->addInputFilter(_compressor);
  } else {
    // The microphone then reaches the encoder unprocessed.
    QUR_LOG_ERROR("No dynamics processor: the microphone is sent without level control");
  }

  std::string error;
  _audioStarted = _audioController->start(&error);
  if (!_audioStarted) QUR_LOG_ERROR("Failed to start audio controller: %s", error.c_str());

  if (_options.startAdvertising) _walkieTalkie->multipeerController()->startAdvertising();
}

AnalyticsTracker& Application::analyticsTracker() {
  return AnalyticsTracker::sharedInstance();
}

void Application::setScreenName(const std::string& name) {
  analyticsTracker().setScreenName(name);
}

void Application::trackScreenView() {
  analyticsTracker().trackScreenView();
}

void Application::trackEvent(const std::string& category, const std::string& action,
                             const std::string& label, std::optional<std::int64_t> value) {
  analyticsTracker().trackEvent(category, action, label, value);
}

void Application::trackTiming(const std::string& category, std::int64_t intervalMs,
                              const std::string& name, const std::string& label) {
  analyticsTracker().trackTiming(category, intervalMs, name, label);
}

void Application::shutdown() {
  if (_walkieTalkie) {
    if (_walkieTalkie->isTransmitting()) _walkieTalkie->endTransmission();
    _walkieTalkie->multipeerController()->stopAdvertising();
    _walkieTalkie->multipeerController()->disconnect();
  }
  if (_audioController) _audioController->stop();
}

}  // namespace qur
