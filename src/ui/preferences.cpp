#include "ui/preferences.h"

namespace qur {

Preferences Preferences::load(const QSettings& settings) {
  Preferences preferences;
  preferences.inputDevice = settings.value(kInputDeviceKey).toString();
  preferences.outputDevice = settings.value(kOutputDeviceKey).toString();
  preferences.displayName = settings.value(kDisplayNameKey).toString().trimmed();
  return preferences;
}

void Preferences::save(QSettings& settings) const {
  settings.setValue(kInputDeviceKey, inputDevice);
  settings.setValue(kOutputDeviceKey, outputDevice);
  settings.setValue(kDisplayNameKey, displayName.trimmed());
  settings.sync();
}

}  // namespace qur
