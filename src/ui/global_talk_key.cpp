#include "ui/global_talk_key.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>

#include "ui/talk_key_backends.h"

namespace qur {
namespace {

// Says why there is no global key; the chosen key is still stored.
class UnavailableTalkKey final : public GlobalTalkKey {
 public:
  UnavailableTalkKey(QString why, QObject* parent) : GlobalTalkKey(parent), _why(std::move(why)) {}
  Backend backend() const override { return Backend::Unavailable; }
  QString availability() const override { return _why; }
  bool setKey(const QString& keyName) override {
    _key = keyName;
    return true;
  }
  QString key() const override { return _key; }

 private:
  QString _why;
  QString _key;
};

}  // namespace

std::unique_ptr<GlobalTalkKey> GlobalTalkKey::create(QObject* parent) {
  const QString platform = QGuiApplication::platformName();
  QString why;
  if (platform == QLatin1String("xcb")) {
    if (auto key = createX11TalkKey(parent, &why)) return key;
  } else if (platform.startsWith(QLatin1String("wayland"))) {
    return createPortalTalkKey(parent);
  } else {
    why =
        tr("This desktop offers no global keys: the talk key works only while the window has "
           "focus (Space always does).");
  }
  return std::make_unique<UnavailableTalkKey>(why, parent);
}

void GlobalTalkKey::keyDown() {
  // A held key repeats as presses; only the first one counts.
  if (_held) return;
  _held = true;
  Q_EMIT pressed();
}

void GlobalTalkKey::keyUp() {
  if (!_held) return;
  _held = false;
  Q_EMIT released();
}

QString GlobalTalkKey::keyName(const QKeyEvent& event) {
  if (event.key() == Qt::Key_Escape) return {};
  // On X11 the event carries the keysym: Right Ctrl stays Control_R.
  if (const quint32 keysym = event.nativeVirtualKey(); keysym != 0) {
    const QString name = x11KeysymName(keysym);
    if (!name.isEmpty()) return name;
  }
  switch (event.key()) {
    case Qt::Key_Control:
      return QStringLiteral("Control_L");
    case Qt::Key_Shift:
      return QStringLiteral("Shift_L");
    case Qt::Key_Alt:
      return QStringLiteral("Alt_L");
    case Qt::Key_Meta:
      return QStringLiteral("Super_L");
    case Qt::Key_ScrollLock:
      return QStringLiteral("Scroll_Lock");
    case Qt::Key_unknown:
      return {};
    default:
      break;
  }
  // Function keys, letters, digits and most named keys read the same as X
  // keysyms in Qt's portable text.
  return QKeySequence(event.key()).toString(QKeySequence::PortableText);
}

QString GlobalTalkKey::displayName(const QString& keyName) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"Control_L", "Left Ctrl"},  {"Control_R", "Right Ctrl"},   {"Shift_L", "Left Shift"},
      {"Shift_R", "Right Shift"},  {"Alt_L", "Left Alt"},         {"Alt_R", "Right Alt"},
      {"Super_L", "Left Super"},   {"Super_R", "Right Super"},    {"Scroll_Lock", "Scroll Lock"},
      {"Caps_Lock", "Caps Lock"},  {"ISO_Level3_Shift", "AltGr"}, {"Menu", "Menu"},
      {"space", "Space"},          {"Prior", "Page Up"},          {"Next", "Page Down"},
      {"KP_Insert", "Keypad Ins"}, {"KP_0", "Keypad 0"},
  };
  for (const auto& [key, shown] : kNames) {
    if (keyName == QLatin1String(key)) return tr(shown);
  }
  return keyName;
}

}  // namespace qur
