// Desktop notifications through the session's notification server
// (org.freedesktop.Notifications over D-Bus), with action buttons where the
// server offers them. Every call is asynchronous: a server that is slow or
// missing never blocks the window. Without a bus or a server one log line
// says so and notifications are skipped. Main thread.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace qur {

class DesktopNotifier : public QObject {
  Q_OBJECT

 public:
  using Action = std::pair<QString, QString>;  // key, label
  // Called with the key of the action chosen ("default": the body clicked).
  using ActionHandler = std::function<void(const QString& key)>;

  // The session bus, or the given connection (a test's private bus).
  explicit DesktopNotifier(QObject* parent = nullptr);
  DesktopNotifier(const QDBusConnection& connection, QObject* parent);
  ~DesktopNotifier() override;

  // Shows a notification and returns a handle for close(); 0 when there is
  // no server to show it. Actions are offered only where the server has them.
  quint64 notify(const QString& summary, const QString& body, const std::vector<Action>& actions,
                 ActionHandler handler);
  // Takes a notification down (once it is shown, if it is not yet).
  void close(quint64 handle);

  // What is known of the server so far.
  bool serverMissing() const { return _missing; }
  bool supportsActions() const { return _supportsActions; }
  // Notifications shown by the server and not yet closed.
  std::size_t openCount() const;

 private Q_SLOTS:
  void actionInvoked(uint id, const QString& key);
  void notificationClosed(uint id, uint reason);

 private:
  struct Entry {
    QString summary;
    QString body;
    std::vector<Action> actions;
    ActionHandler handler;
    uint serverId = 0;
    bool closeRequested = false;
  };

  void askCapabilities();
  void send(quint64 handle);
  void giveUp(const QString& why);

  QDBusConnection _connection;
  std::map<quint64, Entry> _entries;
  quint64 _nextHandle = 1;
  bool _capabilitiesKnown = false;
  bool _askingCapabilities = false;
  bool _supportsActions = false;
  bool _missing = false;
};

}  // namespace qur
