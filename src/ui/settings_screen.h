// The settings page: "Speakers" (volume, output device), "Microphone" (gain,
// level, input device, a playback test), "This device" (who we are, the
// name others see) and "Desktop" (the global talk key, start at login).
// The gain slider is bound to the compressor's master gain for as long as
// the slider lives; devices and name are remembered and take effect when
// audio restarts. Done keeps the changes, Escape (Cancel) drops them and
// puts the gain back. Main thread.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audio/engine/audio_device.h"
#include "signals/disposable.h"
#include "ui/global_talk_key.h"
#include "ui/level_meter.h"
#include "ui/microphone_test.h"
#include "ui/output_volume.h"
#include "ui/preferences.h"
#include "ui/volume_control.h"

namespace qur {

class AudioEngine;
class DynamicRangeCompressor;

class SettingsScreen : public QDialog {
  Q_OBJECT

 public:
  // Steps of the gain slider across its 0…1 scale.
  static constexpr int kGainSliderSteps = 600;

  struct Context {
    // Null: the microphone slider is shown disabled.
    std::shared_ptr<DynamicRangeCompressor> compressor;
    // Null: no meter, no test, the volume only remembers its value.
    std::shared_ptr<AudioEngine> engine;
    // Null: OutputVolume::createForSystem(engine).
    std::unique_ptr<OutputVolume> outputVolume;
    // Where the devices and name are kept; null: the application's QSettings.
    std::shared_ptr<QSettings> settings;
    // The devices to offer; null: the sound server's (by description) where
    // one answers, else PortAudio's.
    std::function<std::vector<AudioDeviceInfo>()> listDevices;
    // Restarts audio with the stored choice; null hides "Restart audio".
    std::function<void()> restartAudio;
    // Who we are: "You are NAME · key FINGERPRINT"; the name also fills the
    // Name field when none is stored.
    QString localName;
    QString localFingerprint;
    // Given on the command line, so a stored choice would not apply: the
    // field is shown but cannot be changed.
    bool nameFromCommandLine = false;
    bool devicesFromCommandLine = false;
    // The global talk key to set up; null: no talk key row.
    GlobalTalkKey* talkKey = nullptr;
    // The program an autostart entry starts; empty: no "Start at login".
    QString program;
  };

  explicit SettingsScreen(Context context, QWidget* parent = nullptr);
  ~SettingsScreen() override;

  QSlider* microphoneSlider() const { return _gainSlider; }
  QLabel* microphoneGainLabel() const { return _gainLabel; }
  VolumeControl* volumeControl() const { return _volumeControl; }
  QComboBox* inputDevices() const { return _inputDevices; }
  QComboBox* outputDevices() const { return _outputDevices; }
  LevelMeter* levelMeter() const { return _levelMeter; }
  QPushButton* testMicrophoneButton() const { return _testMicrophone; }
  QLineEdit* displayNameEdit() const { return _displayName; }
  QCheckBox* voiceProcessingSwitch() const { return _voiceProcessing; }
  QPushButton* restartAudioButton() const { return _restartAudio; }
  QPushButton* doneButton() const { return _done; }
  QPushButton* cancelButton() const { return _cancel; }
  QLabel* identityLabel() const { return _identity; }
  QPushButton* talkKeyButton() const { return _talkKeyButton; }
  QPushButton* talkKeyOffButton() const { return _talkKeyOff; }
  QLabel* talkKeyLabel() const { return _talkKeyLabel; }
  QLabel* talkKeyAvailability() const { return _talkKeyAvailability; }
  QCheckBox* startAtLoginSwitch() const { return _startAtLogin; }
  // Whether "Press the key…" waits for a key now.
  bool isCapturingKey() const { return _capturing; }
  const MicrophoneTest* microphoneTest() const { return _microphoneTest.get(); }

  // The preferences as the page shows them now.
  Preferences shownPreferences() const;
  // Which section header texts the page shows, in order.
  QStringList sectionTitles() const;

  // The slider's 0…1 value for a position and back.
  static float sliderValue(int position) { return float(position) / float(kGainSliderSteps); }
  static int sliderPosition(float value);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void done(int result) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QWidget* buildSpeakers();
  QWidget* buildMicrophone();
  QWidget* buildDevice();
  QWidget* buildDesktop();
  void setTalkKey(const QString& keyName);
  void captureKey(bool on);
  void bindMicrophoneGain();
  void fillDevices();
  void storePreferences();
  void updateRestartHint();

  Context _context;
  Preferences _started;  // what the running audio was started with
  QStringList _sectionTitles;
  QSlider* _gainSlider = nullptr;
  QLabel* _gainLabel = nullptr;
  VolumeControl* _volumeControl = nullptr;
  QComboBox* _inputDevices = nullptr;
  QComboBox* _outputDevices = nullptr;
  LevelMeter* _levelMeter = nullptr;
  std::shared_ptr<InputLevelTap> _levelTap;
  QPushButton* _testMicrophone = nullptr;
  std::unique_ptr<MicrophoneTest> _microphoneTest;
  QLineEdit* _displayName = nullptr;
  QCheckBox* _voiceProcessing = nullptr;
  // Unset until the user flips the switch: the stored choice stays as it was.
  std::optional<bool> _voiceProcessingChoice;
  QPushButton* _restartAudio = nullptr;
  QLabel* _restartHint = nullptr;
  QPushButton* _done = nullptr;
  QPushButton* _cancel = nullptr;
  QLabel* _identity = nullptr;
  float _gainAtOpening = 0.0f;
  QPushButton* _talkKeyButton = nullptr;
  QPushButton* _talkKeyOff = nullptr;
  QLabel* _talkKeyLabel = nullptr;
  QLabel* _talkKeyAvailability = nullptr;
  QString _talkKey;  // as chosen on the page
  bool _capturing = false;
  QCheckBox* _startAtLogin = nullptr;
  bool _startAtLoginAtOpening = false;
  QLabel* _desktopProblem = nullptr;
  // Last member: bindings into the page end before any widget goes.
  Lifetime _lifetime;
};

}  // namespace qur
