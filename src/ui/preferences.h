// What the window remembers between runs: the audio devices, the name other
// devices see, echo cancelling and the global talk key. The microphone gain
// is deliberately not among them.
// Main thread.
#pragma once

#include <QSettings>
#include <QString>
#include <optional>

namespace qur {

struct Preferences {
  // Device names (the sound server's sink and source names, or PortAudio's);
  // empty: the system default.
  QString inputDevice;
  QString outputDevice;
  // Empty: the host name.
  QString displayName;
  // Echo cancellation and noise suppression; unset: the device's default
  // (on for a sound card, off for the virtual device).
  std::optional<bool> voiceProcessing;
  // The global talk key by its X keysym name ("F8"); empty: none (the default,
  // so that nothing is listened to unasked).
  QString talkKey;

  static constexpr const char* kInputDeviceKey = "audio/inputDevice";
  static constexpr const char* kOutputDeviceKey = "audio/outputDevice";
  static constexpr const char* kDisplayNameKey = "peer/displayName";
  static constexpr const char* kVoiceProcessingKey = "audio/voiceProcessing";
  static constexpr const char* kTalkKeyKey = "shortcut/talkKey";

  static Preferences load(const QSettings& settings);
  void save(QSettings& settings) const;
  bool operator==(const Preferences&) const = default;
};

}  // namespace qur
