#include "ui/desktop_notifier.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>

#include "log/log.h"

namespace qur {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent)
    : DesktopNotifier(QDBusConnection::sessionBus(), parent) {}

DesktopNotifier::DesktopNotifier(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), _connection(connection) {
  if (!_connection.isConnected()) {
    giveUp(QStringLiteral("no session bus (%1)").arg(_connection.lastError().message()));
    return;
  }
  _connection.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                      SLOT(actionInvoked(uint, QString)));
  _connection.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                      SLOT(notificationClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() {
  // Questions of a window that is gone cannot be answered.
  for (const auto& [handle, entry] : _entries) {
    if (entry.serverId == 0 || _missing) continue;
    _connection.call(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                    QStringLiteral("CloseNotification"))
                         << entry.serverId,
                     QDBus::NoBlock);
  }
}

quint64 DesktopNotifier::notify(const QString& summary, const QString& body,
                                const std::vector<Action>& actions, ActionHandler handler) {
  if (_missing) return 0;
  const quint64 handle = _nextHandle++;
  _entries[handle] = Entry{summary, body, actions, std::move(handler)};
  if (_capabilitiesKnown) {
    send(handle);
  } else {
    askCapabilities();
  }
  return handle;
}

void DesktopNotifier::askCapabilities() {
  if (_askingCapabilities) return;
  _askingCapabilities = true;
  const auto message = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                      QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(_connection.asyncCall(message), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    _askingCapabilities = false;
    QDBusPendingReply<QStringList> reply = *call;
    if (reply.isError()) {
      giveUp(reply.error().message());
      return;
    }
    _capabilitiesKnown = true;
    _supportsActions = reply.value().contains(QStringLiteral("actions"));
    std::vector<quint64> waiting;
    for (const auto& [handle, entry] : _entries) {
      if (entry.serverId == 0) waiting.push_back(handle);
    }
    for (const quint64 handle : waiting) send(handle);
  });
}

void DesktopNotifier::send(quint64 handle) {
  auto it = _entries.find(handle);
  if (it == _entries.end()) return;
  Entry& entry = it->second;
  if (entry.closeRequested) {
    _entries.erase(it);
    return;
  }
  QStringList actions;
  if (_supportsActions) {
    for (const auto& [key, label] : entry.actions) actions << key << label;
  }
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QCoreApplication::applicationName());
  hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
  auto message =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  message << QCoreApplication::applicationName() << uint(0) << QStringLiteral("qur-wtalkie")
          << entry.summary << entry.body << actions << hints << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(_connection.asyncCall(message), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, handle](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            QDBusPendingReply<uint> reply = *call;
            const auto found = _entries.find(handle);
            if (reply.isError()) {
              if (found != _entries.end()) _entries.erase(found);
              giveUp(reply.error().message());
              return;
            }
            if (found == _entries.end()) return;
            found->second.serverId = reply.value();
            if (found->second.closeRequested) close(handle);
          });
}

void DesktopNotifier::close(quint64 handle) {
  auto it = _entries.find(handle);
  if (it == _entries.end()) return;
  if (it->second.serverId == 0) {
    // Not shown yet: goes when the server answers.
    it->second.closeRequested = true;
    return;
  }
  const uint id = it->second.serverId;
  _entries.erase(it);
  auto message = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                QStringLiteral("CloseNotification"));
  message << id;
  _connection.call(message, QDBus::NoBlock);
}

std::size_t DesktopNotifier::openCount() const {
  std::size_t count = 0;
  for (const auto& [handle, entry] : _entries) count += entry.serverId != 0 ? 1 : 0;
  return count;
}

void DesktopNotifier::actionInvoked(uint id, const QString& key) {
  for (auto& [handle, entry] : _entries) {
    if (entry.serverId != id || !entry.handler) continue;
    // The handler may close this very notification.
    const ActionHandler handler = entry.handler;
    handler(key);
    return;
  }
}

void DesktopNotifier::notificationClosed(uint id, uint) {
  for (auto it = _entries.begin(); it != _entries.end(); ++it) {
    if (it->second.serverId == id) {
      _entries.erase(it);
      return;
    }
  }
}

void DesktopNotifier::giveUp(const QString& why) {
  if (!_missing) {
    QUR_LOG_WARN("Desktop notifications are off: %s", why.toUtf8().constData());
  }
  _missing = true;
  _entries.clear();
}

}  // namespace qur
