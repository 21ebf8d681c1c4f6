// The backends behind GlobalTalkKey, each in its own file because each
// brings its own system headers (Xlib's macros clash with Qt's names).
// Main thread.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "ui/global_talk_key.h"

namespace qur {

// Raw key events from the X server the window runs on; null (with *why)
// when the server cannot be reached or lacks XInput2.
std::unique_ptr<GlobalTalkKey> createX11TalkKey(QObject* parent, QString* why);
// The desktop portal's global shortcuts on the session bus; it reports
// later whether the portal offers them.
std::unique_ptr<GlobalTalkKey> createPortalTalkKey(QObject* parent);
// An X keysym's name ("F8"); empty for none.
QString x11KeysymName(unsigned long keysym);

}  // namespace qur
