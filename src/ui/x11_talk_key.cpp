// The talk key from the X server's raw key events (XInput2). Raw events come
// for every key whatever window has focus and without a grab, so the key
// still reaches the application the user works in. The connection is our
// own, read on the main thread when its socket has data.
#include <QSocketNotifier>
#include <QTimer>

#include "log/log.h"
#include "ui/talk_key_backends.h"

// Xlib last: its macros (None, Bool, Status, KeyPress...) would rename Qt's.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace qur {
namespace {

class X11TalkKey final : public GlobalTalkKey {
 public:
  X11TalkKey(Display* display, int opcode, QObject* parent)
      : GlobalTalkKey(parent), _display(display), _opcode(opcode) {
    XIEventMask mask;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof(bits);
    mask.mask = bits;
    XISelectEvents(_display, DefaultRootWindow(_display), &mask, 1);
    XFlush(_display);
    _notifier = new QSocketNotifier(ConnectionNumber(_display), QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
  }

  ~X11TalkKey() override {
    delete _notifier;
    XCloseDisplay(_display);
  }

  Backend backend() const override { return Backend::X11; }
  QString availability() const override {
    return tr("Works while any application has focus; the key still reaches that application.");
  }

  bool setKey(const QString& keyName) override {
    _key.clear();
    _keycode = 0;
    keyUp();
    if (keyName.isEmpty()) return true;
    const KeySym keysym = XStringToKeysym(keyName.toLatin1().constData());
    const KeyCode keycode = keysym == NoSymbol ? 0 : XKeysymToKeycode(_display, keysym);
    // Round trips may have queued events that the socket will not announce.
    QTimer::singleShot(0, this, [this] { drain(); });
    if (keycode == 0) {
      QUR_LOG_WARN("Talk key '%s' is on no key of this keyboard", keyName.toUtf8().constData());
      return false;
    }
    _key = keyName;
    _keycode = keycode;
    return true;
  }
  QString key() const override { return _key; }

 private:
  void drain() {
    while (XPending(_display) > 0) {
      XEvent event;
      XNextEvent(_display, &event);
      if (event.type == MappingNotify) {
        // Another layout: the same key name may sit on another key now.
        XRefreshKeyboardMapping(&event.xmapping);
        if (!_key.isEmpty()) setKey(QString(_key));
        continue;
      }
      XGenericEventCookie* cookie = &event.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != _opcode) continue;
      if (!XGetEventData(_display, cookie)) continue;
      const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
      if (_keycode != 0 && raw->detail == _keycode) {
        if (cookie->evtype == XI_RawKeyPress) keyDown();
        if (cookie->evtype == XI_RawKeyRelease) keyUp();
      }
      XFreeEventData(_display, cookie);
    }
  }

  Display* _display;
  const int _opcode;
  QSocketNotifier* _notifier = nullptr;
  QString _key;
  int _keycode = 0;
};

}  // namespace

std::unique_ptr<GlobalTalkKey> createX11TalkKey(QObject* parent, QString* why) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    *why = GlobalTalkKey::tr(
        "The X server cannot be reached for a global key: the talk key "
        "works only while the window has focus.");
    return nullptr;
  }
  int opcode = 0, event = 0, error = 0;
  int major = 2, minor = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
      XIQueryVersion(display, &major, &minor) != Success) {
    XCloseDisplay(display);
    *why = GlobalTalkKey::tr(
        "This X server has no XInput2: the talk key works only while the "
        "window has focus.");
    return nullptr;
  }
  return std::make_unique<X11TalkKey>(display, opcode, parent);
}

QString x11KeysymName(unsigned long keysym) {
  const char* name = XKeysymToString(KeySym(keysym));
  return name ? QString::fromLatin1(name) : QString();
}

}  // namespace qur
