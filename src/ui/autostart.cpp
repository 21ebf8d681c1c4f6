#include "ui/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace qur {
namespace {

constexpr const char* kEntryName = "qur-wtalkie.desktop";

// Exec's quoting: a path with blanks or quotes is quoted, and inside the
// quotes the four reserved characters are escaped.
QString quotedProgram(const QString& program) {
  static const QString kReserved = QStringLiteral("\"`$\\");
  bool plain = true;
  for (const QChar c : program) plain = plain && !c.isSpace() && !kReserved.contains(c);
  if (plain) return program;
  QString quoted;
  for (const QChar c : program) {
    if (kReserved.contains(c)) quoted += QLatin1Char('\\');
    quoted += c;
  }
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QString Autostart::entryPath() {
  // The generic config location already follows XDG_CONFIG_HOME.
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/autostart/") + QLatin1String(kEntryName);
}

bool Autostart::isEnabled() {
  const QString path = entryPath();
  if (!QFileInfo::exists(path)) return false;
  const QSettings entry(path, QSettings::IniFormat);
  // A desktop that switched the entry off says so in the entry itself.
  return entry.value(QStringLiteral("Desktop Entry/Hidden")).toString() != QLatin1String("true") &&
         entry.value(QStringLiteral("Desktop Entry/X-GNOME-Autostart-enabled")).toString() !=
             QLatin1String("false");
}

bool Autostart::setEnabled(bool enabled, const QString& program, QString* error) {
  const QString path = entryPath();
  if (!enabled) {
    if (!QFileInfo::exists(path) || QFile::remove(path)) return true;
    *error = QObject::tr("Cannot remove %1").arg(path);
    return false;
  }
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
    *error = QObject::tr("Cannot create %1").arg(QFileInfo(path).absolutePath());
    return false;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
    *error = QObject::tr("Cannot write %1: %2").arg(path, file.errorString());
    return false;
  }
  const QString text = QStringLiteral(
                           "[Desktop Entry]\n"
                           "Type=Application\n"
                           "Name=qur-wtalkie\n"
                           "Comment=Push-to-talk voice for nearby computers, in the tray\n"
                           "Exec=%1 --minimized\n"
                           "Icon=qur-wtalkie\n"
                           "Terminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n")
                           .arg(quotedProgram(program));
  file.write(text.toUtf8());
  if (!file.commit()) {
    *error = QObject::tr("Cannot write %1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}

}  // namespace qur
