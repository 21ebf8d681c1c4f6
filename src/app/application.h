// Start-up of the walkie-talkie, shared by the command-line program and the
// Qt application: loggers, analytics tracker, the shared run-loop thread,
// the audio engine (44.1 kHz 16-bit stereo, microphone on, voice processing
// on), the controller, the microphone dynamics processor as input filter,
// engine start, advertising. Everything built lives as long as the
// Application; nothing is torn down on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "signals/main_queue.h"

namespace qur {

class AnalyticsTracker;
class AudioDevice;
class AudioEngine;
class DeviceIdentity;
class DynamicRangeCompressor;
class WalkieTalkieController;

class Application {
 public:
  static constexpr float kMasterGain = 15.0f;

  struct Options {
    // Installed as the process's main queue before anything else runs; the
    // caller's loop (our MainLoop, or Qt's event loop) drives it. Null keeps
    // the queue already installed.
    std::shared_ptr<MainQueue> mainQueue;
    // What other devices show for this one; empty: the host name.
    std::string peerName;
    // The device key; null: one that lives in memory only.
    std::shared_ptr<const DeviceIdentity> identity;
    // The audio device; null: the one QUR_WTALKIE_AUDIO names, else the
    // sound server where one answers, else PortAudio.
    std::unique_ptr<AudioDevice> audioDevice;
    // Console and system-log loggers (a caller with its own may switch them off).
    bool installLoggers = true;
    // Advertise at launch.
    bool startAdvertising = true;
    // Echo cancellation and noise suppression on the microphone; unset: the
    // device's default (on with a sound card, off with the virtual device).
    std::optional<bool> voiceProcessing;
    // Length of the Opus packets the controller sends.
    int frameMilliseconds = 20;
  };

  explicit Application(Options options);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The launch sequence, on the main thread. Always true: a failing engine
  // or dynamics processor is logged and the rest goes on.
  bool launch();

  const std::shared_ptr<WalkieTalkieController>& walkieTalkie() const { return _walkieTalkie; }
  // Null when the dynamics processor could not be created.
  const std::shared_ptr<DynamicRangeCompressor>& dynamicRangeCompressor() const {
    return _compressor;
  }
  const std::shared_ptr<AudioEngine>& audioController() const { return _audioController; }
  // Whether the engine started at launch.
  bool audioStarted() const { return _audioStarted; }

  AnalyticsTracker& analyticsTracker();
  void setScreenName(const std::string& name);
  void trackScreenView();
  void trackEvent(const std::string& category, const std::string& action, const std::string& label,
                  std::optional<std::int64_t> value = std::nullopt);
  void trackTiming(const std::string& category, std::int64_t intervalMs, const std::string& name,
                   const std::string& label);

  // For programs that end on purpose (the command-line program): ends a
  // transmission, leaves the session and stops the engine so recordings are
  // complete. The Qt application never calls it.
  void shutdown();

 private:
  void initWalkieTalkie();

  Options _options;
  std::shared_ptr<AudioEngine> _audioController;
  std::shared_ptr<WalkieTalkieController> _walkieTalkie;
  std::shared_ptr<DynamicRangeCompressor> _compressor;
  bool _audioStarted = false;
  bool _launched = false;
};

}  // namespace qur
