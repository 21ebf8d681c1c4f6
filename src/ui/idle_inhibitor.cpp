#include "ui/idle_inhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace qur {
namespace {

const char* const kService = "org.freedesktop.ScreenSaver";
const char* const kPath = "/org/freedesktop/ScreenSaver";

bool serviceAvailable() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return false;
  return bus.interface()->isServiceRegistered(QString::fromLatin1(kService)).value();
}

}  // namespace

IdleInhibitor::IdleInhibitor(QString reason) : _reason(std::move(reason)) {}

IdleInhibitor::~IdleInhibitor() {
  setInhibited(false);
}

void IdleInhibitor::setInhibited(bool inhibited) {
  if (_inhibited == inhibited) return;
  _inhibited = inhibited;
  if (inhibited) {
    if (!serviceAvailable()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kService), QStringLiteral("Inhibit"));
    call << QStringLiteral("qur-wtalkie") << _reason;
    QDBusReply<std::uint32_t> reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 1000);
    if (reply.isValid()) _cookie = reply.value();
    return;
  }
  if (!_cookie) return;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                     QString::fromLatin1(kService), QStringLiteral("UnInhibit"));
  call << *_cookie;
  QDBusConnection::sessionBus().call(call, QDBus::NoBlock);
  _cookie.reset();
}

}  // namespace qur
