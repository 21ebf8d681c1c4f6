// "Start at login": the desktop's autostart entry for the window (XDG
// autostart: $XDG_CONFIG_HOME/autostart, else ~/.config/autostart), which
// starts it in the tray. Main thread.
#pragma once

#include <QString>

namespace qur {

class Autostart {
 public:
  // Where the entry lives.
  static QString entryPath();
  // Whether an entry of ours exists and is not switched off.
  static bool isEnabled();
  // Writes the entry starting `program` with --minimized, or removes it.
  // False with *error when the file cannot be written or removed.
  static bool setEnabled(bool enabled, const QString& program, QString* error);
};

}  // namespace qur
