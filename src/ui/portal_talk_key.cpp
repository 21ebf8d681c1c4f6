// The talk key through the desktop portal's global shortcuts (Wayland):
// one session with one shortcut, "talk", whose activation and deactivation
// are the key's press and release. The desktop asks the user to confirm or
// choose the key; the stored key is only our preferred trigger. Every call
// is asynchronous: a portal that is slow or missing never blocks the window.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QRandomGenerator>

#include "log/log.h"
#include "ui/talk_key_backends.h"

namespace qur {
namespace {

constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kShortcutId = "talk";

struct Shortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

}  // namespace
}  // namespace qur

Q_DECLARE_METATYPE(qur::Shortcut)

namespace qur {
namespace {

class PortalTalkKey final : public GlobalTalkKey {
  Q_OBJECT

 public:
  PortalTalkKey(const QDBusConnection& bus, QObject* parent) : GlobalTalkKey(parent), _bus(bus) {
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    _state = tr("Asking the desktop for global keys…");
    if (!_bus.isConnected()) {
      giveUp(tr("No session bus: the talk key works only while the window has focus."));
      return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(kInterface) << QStringLiteral("version");
    watch(_bus.asyncCall(get), [this](const QDBusMessage& reply) {
      if (reply.type() == QDBusMessage::ErrorMessage) {
        giveUp(
            tr("This desktop offers no global keys: the talk key works only while the "
               "window has focus (Space always does)."));
        return;
      }
      _available = true;
      _state = tr("Works while any application has focus, once the desktop has confirmed it.");
      Q_EMIT availabilityChanged();
      createSession();
    });
    _bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                 SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    _bus.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
                 SLOT(deactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
  }

  Backend backend() const override { return _available ? Backend::Portal : Backend::Unavailable; }
  QString availability() const override { return _state; }

  bool setKey(const QString& keyName) override {
    _key = keyName;
    keyUp();
    bind();
    return true;
  }
  QString key() const override { return _key; }

 private Q_SLOTS:
  void activated(const QDBusObjectPath& session, const QString& id, qulonglong,
                 const QVariantMap&) {
    if (session.path() == _session && id == QLatin1String(kShortcutId) && !_key.isEmpty())
      keyDown();
  }
  void deactivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                   const QVariantMap&) {
    if (session.path() == _session && id == QLatin1String(kShortcutId)) keyUp();
  }
  void response(uint code, const QVariantMap& results) {
    if (_awaiting.isEmpty()) return;
    const QString step = _awaiting;
    _awaiting.clear();
    if (code != 0) {
      QUR_LOG_WARN("The desktop portal refused the talk key (%s, response %u)",
                   step.toUtf8().constData(), code);
      _state = tr("The desktop did not allow a global talk key.");
      Q_EMIT availabilityChanged();
      return;
    }
    if (step == QLatin1String("session")) {
      _session = results.value(QStringLiteral("session_handle")).toString();
      bind();
    }
  }

 private:
  // The portal answers a request with a Response signal on a path it names
  // in advance from our bus name and a token of ours.
  QString requestPath(const QString& token) const {
    QString sender = _bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
  }

  QString listenForResponse(const QString& step) {
    const QString token =
        QStringLiteral("qur%1").arg(QRandomGenerator::global()->generate(), 0, 16);
    if (!_responsePath.isEmpty()) {
      _bus.disconnect(kService, _responsePath, QStringLiteral("org.freedesktop.portal.Request"),
                      QStringLiteral("Response"), this, SLOT(response(uint, QVariantMap)));
    }
    _responsePath = requestPath(token);
    _bus.connect(kService, _responsePath, QStringLiteral("org.freedesktop.portal.Request"),
                 QStringLiteral("Response"), this, SLOT(response(uint, QVariantMap)));
    _awaiting = step;
    return token;
  }

  void createSession() {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CreateSession"));
    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), listenForResponse(QStringLiteral("session")));
    options.insert(QStringLiteral("session_handle_token"), QStringLiteral("qur_wtalkie"));
    call << options;
    watch(_bus.asyncCall(call), [this](const QDBusMessage& reply) {
      if (reply.type() == QDBusMessage::ErrorMessage) {
        giveUp(tr("The desktop's global keys did not start: %1").arg(reply.errorMessage()));
      }
    });
  }

  void bind() {
    if (_session.isEmpty() || _key.isEmpty()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("BindShortcuts"));
    Shortcut talk{QString::fromLatin1(kShortcutId),
                  {{QStringLiteral("description"), tr("Talk while held")},
                   // The portal reads key names as X keysyms, as we store them.
                   {QStringLiteral("preferred_trigger"), _key}}};
    QVariantMap options;
    options.insert(QStringLiteral("handle_token"), listenForResponse(QStringLiteral("bind")));
    call << QVariant::fromValue(QDBusObjectPath(_session))
         << QVariant::fromValue(QList<Shortcut>{talk}) << QString() << options;
    watch(_bus.asyncCall(call), [this](const QDBusMessage& reply) {
      if (reply.type() == QDBusMessage::ErrorMessage) {
        QUR_LOG_WARN("The desktop portal did not bind the talk key: %s",
                     reply.errorMessage().toUtf8().constData());
      }
    });
  }

  void watch(const QDBusPendingCall& call, std::function<void(const QDBusMessage&)> done) {
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* finished) {
              done(finished->reply());
              finished->deleteLater();
            });
  }

  void giveUp(const QString& why) {
    _available = false;
    _state = why;
    Q_EMIT availabilityChanged();
  }

  QDBusConnection _bus;
  bool _available = false;
  QString _state;
  QString _key;
  QString _session;
  QString _responsePath;
  QString _awaiting;
};

}  // namespace

std::unique_ptr<GlobalTalkKey> createPortalTalkKey(QObject* parent) {
  return std::make_unique<PortalTalkKey>(QDBusConnection::sessionBus(), parent);
}

}  // namespace qur

#include "portal_talk_key.moc"
