#include "ui/tray_icon.h"

#include <QPainter>
#include <QPixmap>

#include "app/walkie_talkie_app.h"
#include "signals/signal_operators.h"
#include "ui/styles.h"

namespace qur {
namespace {

// Blinking slowly enough that a tray repaint twice a second costs nothing.
constexpr int kBlinkMs = 500;

QColor stateColour(TrayState state) {
  switch (state) {
    case TrayState::Connected:
    case TrayState::Hearing:
      return Styles::transmitButtonColor();
    case TrayState::Talking:
      return Styles::transmitButtonPressedColor();
    case TrayState::Alone:
      break;
  }
  return Styles::transmitButtonDisabledColor();
}

QPixmap iconPixmap(int side, TrayState state, bool lit) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF bounds(0, 0, side, side);
  // A peer talking: a ring in the peer dot's colour around the button.
  if (state == TrayState::Hearing && lit) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(Styles::peerDotIconColor());
    painter.drawEllipse(bounds.adjusted(0.5, 0.5, -0.5, -0.5));
  }
  const double inset = side * 0.14;
  painter.setPen(QPen(QColor(255, 255, 255, 200), std::max(1.0, side / 32.0)));
  painter.setBrush(stateColour(state));
  painter.drawEllipse(bounds.adjusted(inset, inset, -inset, -inset));
  return pixmap;
}

}  // namespace

TrayIcon::TrayIcon(Actions actions, QObject* parent)
    : QObject(parent), _actions(std::move(actions)), _menu(new QMenu()) {
  _show = _menu->addAction(tr("Show qur-wtalkie"));
  connect(_show, &QAction::triggered, this, [this] {
    if (_actions.show) _actions.show();
  });
  if (_actions.visibleToOthers) _menu->addAction(_actions.visibleToOthers);
  _talk = _menu->addAction(tr("Start talking"));
  connect(_talk, &QAction::triggered, this, [this] {
    if (_actions.talk) _actions.talk(_state != TrayState::Talking);
  });
  _menu->addSeparator();
  _quit = _menu->addAction(tr("Quit"));
  connect(_quit, &QAction::triggered, this, [this] {
    if (_actions.quit) _actions.quit();
  });
  _blinker.setInterval(kBlinkMs);
  connect(&_blinker, &QTimer::timeout, this, [this] { blink(); });
  _icon = std::make_unique<QSystemTrayIcon>();
  _icon->setContextMenu(_menu);
  connect(_icon.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) Q_EMIT toggleWindow();
          });
  refresh();
}

TrayIcon::~TrayIcon() {
  for (auto& subscription : _subscriptions) subscription->dispose();
  _icon.reset();
  delete _menu;
}

bool TrayIcon::isAvailable() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::setVisible(bool visible) {
  _icon->setVisible(visible);
}

QIcon TrayIcon::iconFor(TrayState state, bool lit) {
  // Drawn once per state and frame: blinking only swaps them.
  static QIcon cache[4][2];
  QIcon& icon = cache[int(state)][lit ? 1 : 0];
  if (icon.isNull()) {
    for (const int side : {16, 22, 24, 32, 48, 64}) icon.addPixmap(iconPixmap(side, state, lit));
  }
  return icon;
}

void TrayIcon::follow(WalkieTalkieApp& app) {
  const QPointer<TrayIcon> self(this);
  // All three are main-thread properties: the state is worked out here.
  auto update = [self, weakApp = app.weak_from_this()] {
    auto app = weakApp.lock();
    if (!self || !app) return;
    TrayState state = TrayState::Alone;
    if (app->isTransmitting()) {
      state = TrayState::Talking;
    } else if (!app->talkingPeers().get().empty()) {
      state = TrayState::Hearing;
    } else if (!app->connectedPeers().get().empty()) {
      state = TrayState::Connected;
    }
    self->setState(state);
    QStringList names;
    for (const auto& name : app->connectedPeers().get()) names << QString::fromStdString(name);
    self->setPeers(names);
  };
  _subscriptions.push_back(
      app.transmitting().values().subscribeNext([update](const bool&) { update(); }));
  _subscriptions.push_back(app.talkingPeers().values().subscribeNext(
      [update](const std::vector<std::string>&) { update(); }));
  _subscriptions.push_back(app.connectedPeers().values().subscribeNext(
      [update](const std::vector<std::string>&) { update(); }));
}

void TrayIcon::setState(TrayState state) {
  if (_state == state) return;
  _state = state;
  _lit = true;
  refresh();
}

void TrayIcon::setPeers(const QStringList& names) {
  if (_peers == names) return;
  _peers = names;
  _icon->setToolTip(toolTip());
}

QString TrayIcon::toolTip() const {
  QString text = QStringLiteral("qur-wtalkie");
  switch (_state) {
    case TrayState::Alone:
      return text + QStringLiteral(" — ") + tr("not connected");
    case TrayState::Talking:
      text += QStringLiteral(" — ") + tr("talking");
      break;
    case TrayState::Hearing:
      text += QStringLiteral(" — ") + tr("a peer is talking");
      break;
    case TrayState::Connected:
      break;
  }
  return text + QStringLiteral("\n") + tr("Connected to %1").arg(_peers.join(QStringLiteral(", ")));
}

void TrayIcon::refresh() {
  const bool connected = _state != TrayState::Alone;
  _talk->setEnabled(connected);
  _talk->setText(_state == TrayState::Talking ? tr("Stop talking") : tr("Start talking"));
  const bool blinking = _state == TrayState::Hearing;
  if (blinking && !_blinker.isActive()) _blinker.start();
  if (!blinking) _blinker.stop();
  _current = iconFor(_state, _lit || !blinking);
  _icon->setIcon(_current);
  _icon->setToolTip(toolTip());
}

void TrayIcon::blink() {
  _lit = !_lit;
  _current = iconFor(_state, _lit);
  _icon->setIcon(_current);
}

}  // namespace qur
