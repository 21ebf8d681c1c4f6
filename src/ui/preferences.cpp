#include "ui/preferences.h"

namespace qur {

Preferences Preferences::load(const QSettings& settings) {
  Preferences preferences;
  preferences.inputDevice = settings.value(kInputDeviceKey).toString();
  preferences.outputDevice = settings.value(kOutputDeviceKey).toString();
  preferences.displayName = settings.value(kDisplayNameKey).toString().trimmed();
  // Anything but the two words written below is the default again.
  const QString processing = settings.value(kVoiceProcessingKey).toString();
  if (processing == QLatin1String("on")) preferences.voiceProcessing = true;
  if (processing == QLatin1String("off")) preferences.voiceProcessing = false;
  preferences.talkKey = settings.value(kTalkKeyKey).toString().trimmed();
  return preferences;
}

void Preferences::save(QSettings& settings) const {
  settings.setValue(kInputDeviceKey, inputDevice);
  settings.setValue(kOutputDeviceKey, outputDevice);
  settings.setValue(kDisplayNameKey, displayName.trimmed());
  if (voiceProcessing)
    settings.setValue(kVoiceProcessingKey, *voiceProcessing ? "on" : "off");
  else
    settings.remove(kVoiceProcessingKey);
  settings.setValue(kTalkKeyKey, talkKey);
  settings.sync();
}

}  // namespace qur
