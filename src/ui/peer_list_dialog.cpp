#include "ui/peer_list_dialog.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "peers/device_identity.h"
#include "signals/main_queue.h"
#include "signals/subject.h"
#include "ui/elided_label.h"
#include "ui/styles.h"

namespace qur {

namespace {

// The bare browser knows no pins: its rows show keys but no trust.
std::vector<NearbyDevice> devicesOf(const std::vector<NearbyPeer>& peers) {
  std::vector<NearbyDevice> devices;
  for (const auto& peer : peers) {
    devices.push_back({peer.peer.displayName(),
                       peer.peer.identifierString(),
                       peers::fingerprintForIdentifier(peer.peer.identifier()),
                       {},
                       peer.endpoint.address});
  }
  return devices;
}

// A connected peer that no longer advertises keeps a row under its name.
QString connectedKey(const std::string& name) {
  return QStringLiteral("~") + QString::fromStdString(name);
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

QString css(const QColor& colour) {
  return QStringLiteral("rgba(%1,%2,%3,%4)")
      .arg(colour.red())
      .arg(colour.green())
      .arg(colour.blue())
      .arg(colour.alpha());
}

QColor stateColour(PeerRowState state) {
  switch (state) {
    case PeerRowState::Invited:
    case PeerRowState::Connecting:
      return Styles::transmitButtonColor().lighter(130);
    case PeerRowState::Connected:
      return Styles::peerDotIconColor();
    case PeerRowState::Declined:
    case PeerRowState::TimedOut:
    case PeerRowState::Unreachable:
    case PeerRowState::Refused:
      return QColor(240, 150, 110);
    case PeerRowState::Available:
      break;
  }
  return QColor(255, 255, 255, 150);
}

// Outcome keys of the application's invitation events.
std::optional<PeerRowState> stateForOutcome(const std::string& outcome) {
  if (outcome == "accepted") return PeerRowState::Connecting;
  if (outcome == "declined") return PeerRowState::Declined;
  if (outcome == "timed_out") return PeerRowState::TimedOut;
  if (outcome == "unreachable") return PeerRowState::Unreachable;
  if (outcome == "refused") return PeerRowState::Refused;
  if (outcome == "withdrawn") return PeerRowState::Available;
  return std::nullopt;
}

}  // namespace

QString peerRowStateText(PeerRowState state) {
  switch (state) {
    case PeerRowState::Invited:
      return PeerListDialog::tr("invited, waiting for an answer");
    case PeerRowState::Connecting:
      return PeerListDialog::tr("connecting…");
    case PeerRowState::Connected:
      return PeerListDialog::tr("connected");
    case PeerRowState::Declined:
      return PeerListDialog::tr("declined");
    case PeerRowState::TimedOut:
      return PeerListDialog::tr("no answer: the invitation timed out");
    case PeerRowState::Unreachable:
      return PeerListDialog::tr("unreachable");
    case PeerRowState::Refused:
      return PeerListDialog::tr("refused: not the key you accepted for the name");
    case PeerRowState::Available:
      break;
  }
  return PeerListDialog::tr("available");
}

PeerListDialog::PeerListDialog(std::shared_ptr<PeerBrowser> browser, QWidget* parent)
    : QFrame(parent), _browser(std::move(browser)) {
  build();
  subscribeToBrowser();
}

PeerListDialog::PeerListDialog(PeerListSource source, QWidget* parent)
    : QFrame(parent), _source(std::move(source)) {
  build();
  subscribeToSource();
}

void PeerListDialog::build() {
  setObjectName(QStringLiteral("peerList"));
  setAutoFillBackground(true);
  setStyleSheet(
      QStringLiteral(
          "#peerList { background: rgba(20, 28, 36, 235); border-radius: 14px; }"
          "QLabel { color: white; background: transparent; }"
          "QLabel#peerName { font-size: 17px; }"
          "QLabel#peerState { font-size: 12px; }"
          "QLabel#fingerprint { color: rgba(255,255,255,130); font-size: 11px;"
          " font-family: 'DejaVu Sans Mono'; }"
          "QLabel#trust { color: rgba(255,255,255,130); font-size: 11px; }"
          "QLabel#trust[warning=\"true\"] { color: white; background: %2; border-radius: 3px;"
          " padding: 0 4px; font-weight: 600; }"
          "QLabel#status { color: rgba(255,255,255,170); font-size: 13px; }"
          "QLabel#identity { color: rgba(255,255,255,150); font-size: 12px; }"
          "QListWidget { background: transparent; border: none; outline: none; }"
          // The row widget draws the name; the item's own text stays for lookups.
          "QListWidget::item { color: transparent; border-bottom: 1px solid rgba(255,255,255,25); }"
          "QListWidget::item:selected { background: rgba(52, 152, 219, 70); }"
          "QScrollBar:vertical { background: transparent; width: 6px; }"
          "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 70); border-radius: 3px; }"
          "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
          "QPushButton { color: white; background: rgba(255,255,255,28);"
          " border: 1px solid rgba(255,255,255,60); border-radius: 6px; padding: 5px 12px;"
          " font-size: 14px; }"
          "QPushButton:pressed { background: rgba(255,255,255,60); }"
          "QPushButton:focus { border-color: white; }"
          "QPushButton:disabled { color: rgba(255,255,255,70); border-color: rgba(255,255,255,25);"
          " background: transparent; }"
          "QPushButton#done { background: %1; border: none; font-weight: 600; }")
          .arg(css(Styles::transmitButtonColor()), css(Styles::transmitButtonPressedColor())));
  auto* title = new QLabel(tr("Nearby devices"), this);
  title->setFont(Styles::screenButtonFont());
  _identity = new QLabel(this);
  _identity->setObjectName(QStringLiteral("identity"));
  _identity->setWordWrap(true);
  _identity->setTextInteractionFlags(Qt::TextSelectableByMouse);
  if (_source && !_source->identity.empty()) {
    _identity->setText(QString::fromStdString(_source->identity));
  } else {
    _identity->hide();
  }
  _list = new QListWidget(this);
  // Rows are as wide as the list: a long name is cut, never scrolled to.
  _list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  _list->setResizeMode(QListView::Adjust);
  _list->setSelectionMode(QAbstractItemView::SingleSelection);
  _list->setAccessibleName(tr("Nearby devices"));
  _status = new QLabel(this);
  _status->setObjectName(QStringLiteral("status"));
  _status->setWordWrap(true);
  _cancel = new QPushButton(tr("Cancel"), this);
  _done = new QPushButton(tr("Done"), this);
  _done->setObjectName(QStringLiteral("done"));
  // Tab reaches them; Space never lands on one by surprise.
  for (auto* button : {_cancel, _done}) button->setFocusPolicy(Qt::TabFocus);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(_cancel);
  buttons->addStretch();
  buttons->addWidget(_done);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 14);
  layout->addWidget(title);
  layout->addWidget(_identity);
  layout->addWidget(_list, 1);
  layout->addWidget(_status);
  layout->addLayout(buttons);
  setFocusProxy(_list);

  // Enter or a double click on a row invites it.
  connect(_list, &QListWidget::activated, this, [this](const QModelIndex& index) {
    if (auto* item = _list->item(index.row())) invite(item->data(Qt::UserRole).toString());
  });
  connect(_done, &QPushButton::clicked, this, [this] { finish(false); });
  connect(_cancel, &QPushButton::clicked, this, [this] { finish(true); });
  refreshLimit();
}

void PeerListDialog::subscribeToSource() {
  const QPointer<PeerListDialog> self(this);
  if (_source->connected) {
    _subscriptions.push_back(
        _source->connected->subscribeNext([self](const std::vector<std::string>& names) {
          if (self) self->connectedChanged(names);
        }));
  }
  if (_source->events) {
    _subscriptions.push_back(_source->events->subscribeNext([self](const AppEvent& event) {
      if (self) self->eventArrived(event);
    }));
  }
  _subscriptions.push_back(
      _source->nearby.subscribeNext([self](const std::vector<NearbyDevice>& devices) {
        if (self) self->nearbyChanged(devices);
      }));
}

void PeerListDialog::subscribeToBrowser() {
  if (!_browser) {
    _problem = tr("Peer discovery is not available.");
    refreshLimit();
    return;
  }
  const QPointer<PeerListDialog> self(this);
  // The browser reports on its transport thread.
  _browser->setNearbyPeersChangedHandler([self](const std::vector<NearbyPeer>& peers) {
    mainQueue().post([self, devices = devicesOf(peers)] {
      if (self) self->nearbyChanged(devices);
    });
  });
  _browser->start();
  nearbyChanged(devicesOf(_browser->nearbyPeers()));
}

PeerListDialog::~PeerListDialog() {
  for (auto& subscription : _subscriptions) {
    if (subscription) subscription->dispose();
  }
  if (!_browser || _source) return;
  _browser->setNearbyPeersChangedHandler(nullptr);
  if (_browser->isBrowsing()) _browser->stop();
}

void PeerListDialog::nearbyChanged(std::vector<NearbyDevice> devices) {
  _nearby = std::move(devices);
  rebuildRows();
}

void PeerListDialog::connectedChanged(std::vector<std::string> names) {
  bool joined = false;
  for (const auto& name : names) {
    // Peers connected before the list opened joined nothing now.
    joined = joined || (_connectedKnown && !contains(_connected, name));
  }
  _connected = std::move(names);
  _connectedKnown = true;
  // With a peer connected the limit is reached: the row says "connected"
  // for a moment, then the main screen takes over.
  if (joined && !_closing) {
    _closing = true;
    QTimer::singleShot(kCloseAfterConnectMs, this, [this] { finish(false); });
  }
  rebuildRows();
}

void PeerListDialog::eventArrived(const AppEvent& event) {
  switch (event.kind) {
    case AppEvent::Kind::InvitationResult: {
      // value: the peer's invitation to us ended, which its prompt shows.
      if (event.value) return;
      const auto state = stateForOutcome(event.reason);
      const QString key = keyOf(event.identifier, event.peer);
      if (!state || key.isEmpty()) return;
      // Accepted and already connected: the connected list said it first.
      if (*state == PeerRowState::Connecting && contains(_connected, event.peer)) return;
      if (*state == PeerRowState::Refused) _problem = QString::fromStdString(event.detail);
      setState(key.toStdString(), *state);
      return;
    }
    case AppEvent::Kind::InvitationAnswered: {
      const QString key = keyOf(event.invitation.identifier, event.peer);
      if (event.value && !key.isEmpty() && !contains(_connected, event.peer)) {
        setState(key.toStdString(), PeerRowState::Connecting);
      }
      return;
    }
    case AppEvent::Kind::InviteUnconfirmed: {
      // Another key answers to a trusted name: the user looks, then decides.
      _held = keyOf(event.invitation.identifier, event.invitation.peer);
      const QString name = QString::fromStdString(event.invitation.peer);
      _problem = event.invitation.trust == "key changed"
                     ? tr("%1 has another key than the one you accepted before; another device "
                          "may be using the name. Press Invite anyway only if you know why.")
                           .arg(name)
                     : tr("%1 %2 but has another key; another device may pose as it. Press "
                          "Invite anyway only if you know why.")
                           .arg(name, QString::fromStdString(event.invitation.trust));
      rebuildRows();
      return;
    }
    default:
      return;
  }
}

void PeerListDialog::setState(const std::string& key, PeerRowState state) {
  if (state == PeerRowState::Available) {
    _states.erase(key);
  } else {
    _states[key] = state;
  }
  rebuildRows();
}

QString PeerListDialog::keyOf(const std::string& identifier, const std::string& name) const {
  if (!identifier.empty()) {
    const QString key = QString::fromStdString(identifier);
    if (_rows.count(key)) return key;
  }
  return keyOf(QString::fromStdString(name));
}

QString PeerListDialog::keyOf(const QString& device) const {
  if (_rows.count(device)) return device;
  for (int i = 0; i < _list->count(); ++i) {
    auto* item = _list->item(i);
    if (item->text() == device) return item->data(Qt::UserRole).toString();
  }
  return {};
}

void PeerListDialog::rebuildRows() {
  // One row per device; a connected peer stops advertising and stays
  // listed under its name while connected.
  std::vector<std::pair<QString, NearbyDevice>> order;
  for (const auto& device : _nearby)
    order.emplace_back(QString::fromStdString(device.identifier), device);
  for (const auto& name : _connected) {
    const bool listed = std::any_of(_nearby.begin(), _nearby.end(),
                                    [&](const NearbyDevice& d) { return d.name == name; });
    if (!listed) order.emplace_back(connectedKey(name), NearbyDevice{name, {}, {}, {}, {}});
  }
  auto listedKey = [&](const QString& key) {
    return std::any_of(order.begin(), order.end(), [&](const auto& e) { return e.first == key; });
  };
  // A device that is gone takes its outcome with it; connected ones are
  // marked by name.
  for (auto it = _states.begin(); it != _states.end();) {
    const bool gone = !listedKey(QString::fromStdString(it->first));
    const bool left = it->second == PeerRowState::Connected;
    it = gone || left ? _states.erase(it) : std::next(it);
  }
  for (const auto& [key, device] : order)
    if (contains(_connected, device.name)) _states[key.toStdString()] = PeerRowState::Connected;
  if (!_held.isEmpty() && !listedKey(_held)) _held.clear();
  const int scroll = _list->verticalScrollBar()->value();
  for (auto it = _rows.begin(); it != _rows.end();) {
    if (listedKey(it->first)) {
      ++it;
      continue;
    }
    delete it->second.item;
    _fingerprints.erase(it->first);
    it = _rows.erase(it);
  }
  for (std::size_t index = 0; index < order.size(); ++index) {
    const auto& [key, device] = order[index];
    if (_rows.count(key)) {
      _rows[key].device = device;
      continue;
    }
    const QString name = QString::fromStdString(device.name);
    Row row;
    row.device = device;
    row.item = new QListWidgetItem(name);
    row.item->setData(Qt::UserRole, key);
    _list->insertItem(int(index), row.item);
    auto* widget = new QWidget();
    // A double click anywhere on the row invites, as Enter does.
    widget->setProperty("qurPeerKey", key);
    widget->installEventFilter(this);
    auto* nameLabel = new ElidedLabel(name, widget);
    nameLabel->setObjectName(QStringLiteral("peerName"));
    nameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row.nameLabel = nameLabel;
    row.stateLabel = new QLabel(widget);
    row.stateLabel->setObjectName(QStringLiteral("peerState"));
    row.fingerprintLabel = new QLabel(widget);
    row.fingerprintLabel->setObjectName(QStringLiteral("fingerprint"));
    row.fingerprintLabel->hide();
    row.trustLabel = new QLabel(widget);
    row.trustLabel->setObjectName(QStringLiteral("trust"));
    row.trustLabel->hide();
    row.invite = new QPushButton(tr("Invite"), widget);
    row.invite->setFocusPolicy(Qt::NoFocus);
    row.invite->setAccessibleName(tr("Invite %1").arg(name));
    connect(row.invite, &QPushButton::clicked, this, [this, key = key] { invite(key); });
    // The trust beside the state, the whole fingerprint on a line of its own.
    auto* stateLine = new QHBoxLayout();
    stateLine->setSpacing(8);
    stateLine->addWidget(row.stateLabel);
    stateLine->addWidget(row.trustLabel);
    stateLine->addStretch();
    auto* text = new QVBoxLayout();
    text->setSpacing(1);
    text->addWidget(nameLabel);
    text->addLayout(stateLine);
    text->addWidget(row.fingerprintLabel);
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(8, 6, 6, 6);
    layout->addLayout(text, 1);
    layout->addWidget(row.invite, 0, Qt::AlignVCenter);
    _list->setItemWidget(row.item, widget);
    _rows.emplace(key, row);
  }
  for (auto& [key, row] : _rows) refreshRow(key, row);
  if (!_list->currentItem() && _list->count() > 0) _list->setCurrentRow(0);
  _list->verticalScrollBar()->setValue(scroll);
  refreshLimit();
}

void PeerListDialog::refreshRow(const QString& key, Row& row) {
  const auto found = _states.find(key.toStdString());
  row.state = found == _states.end() ? PeerRowState::Available : found->second;
  row.stateLabel->setText(peerRowStateText(row.state));
  row.stateLabel->setStyleSheet(QStringLiteral("color: %1;").arg(css(stateColour(row.state))));
  QString fingerprint = _fingerprints.count(key) ? _fingerprints.at(key) : QString();
  if (fingerprint.isEmpty()) fingerprint = QString::fromStdString(row.device.fingerprint);
  row.fingerprintLabel->setText(fingerprint);
  row.fingerprintLabel->setVisible(!fingerprint.isEmpty());
  // Only the application knows the pins; the bare browser shows no trust.
  const Trust& trust = row.device.trust;
  QString trustText;
  if (_source && !row.device.identifier.empty()) trustText = QString::fromStdString(trust.words());
  row.trustLabel->setText(trustText);
  row.trustLabel->setVisible(!trustText.isEmpty());
  row.trustLabel->setProperty("warning", !trust.automatic());
  row.trustLabel->style()->unpolish(row.trustLabel);
  row.trustLabel->style()->polish(row.trustLabel);
  row.invite->setText(key == _held ? tr("Invite anyway") : tr("Invite"));
  // The height the row needs; its width is the list's.
  row.item->setSizeHint(QSize(1, _list->itemWidget(row.item)->sizeHint().height()));
}

QString PeerListDialog::limitReason() const {
  if (_connected.size() + 1 >= kMaximumPeers) {
    return tr("The session is full: %1 devices talk together at most.").arg(kMaximumPeers);
  }
  return {};
}

void PeerListDialog::refreshLimit() {
  const QString reason = limitReason();
  for (auto& [name, row] : _rows) {
    // A device's own invitation out, or a peer already: nothing to invite.
    const bool busy = row.state == PeerRowState::Connected || row.state == PeerRowState::Invited ||
                      row.state == PeerRowState::Connecting;
    const bool open = reason.isEmpty() && !busy;
    row.invite->setEnabled(open);
    row.invite->setToolTip(open || busy ? QString() : reason);
  }
  QString status = _problem;
  if (status.isEmpty()) status = reason;
  if (status.isEmpty() && _rows.empty()) status = tr("Looking for devices running qur-wtalkie…");
  _status->setText(status);
  _status->setVisible(!status.isEmpty());
}

std::optional<PeerRowState> PeerListDialog::stateOf(const QString& device) const {
  const auto it = _rows.find(keyOf(device));
  if (it == _rows.end()) return std::nullopt;
  return it->second.state;
}

QPushButton* PeerListDialog::inviteButton(const QString& device) const {
  const auto it = _rows.find(keyOf(device));
  return it == _rows.end() ? nullptr : it->second.invite;
}

void PeerListDialog::setFingerprint(const QString& device, const QString& fingerprint) {
  const QString key = keyOf(device);
  auto it = _rows.find(key);
  if (it == _rows.end()) return;
  _fingerprints[key] = fingerprint;
  refreshRow(key, it->second);
}

QString PeerListDialog::fingerprintOf(const QString& device) const {
  const auto it = _rows.find(keyOf(device));
  return it == _rows.end() ? QString() : it->second.fingerprintLabel->text();
}

QString PeerListDialog::trustOf(const QString& device) const {
  const auto it = _rows.find(keyOf(device));
  return it == _rows.end() ? QString() : it->second.trustLabel->text();
}

QStringList PeerListDialog::devicesNamed(const QString& name) const {
  QStringList keys;
  for (int i = 0; i < _list->count(); ++i) {
    auto* item = _list->item(i);
    if (item->text() == name) keys.push_back(item->data(Qt::UserRole).toString());
  }
  return keys;
}

bool PeerListDialog::inviteSelected() {
  auto* item = _list->currentItem();
  if (!item) return false;
  return invite(item->data(Qt::UserRole).toString());
}

bool PeerListDialog::invite(const QString& device) {
  const QString key = keyOf(device);
  const auto row = _rows.find(key);
  if (row == _rows.end()) return false;
  const QString reason = limitReason();
  if (!reason.isEmpty()) {
    _status->setText(reason);
    return false;
  }
  const PeerRowState state = row->second.state;
  if (state == PeerRowState::Invited || state == PeerRowState::Connecting ||
      state == PeerRowState::Connected)
    return false;
  const std::string identifier = row->second.device.identifier;
  const QString name = QString::fromStdString(row->second.device.name);
  std::string error;
  bool sent = false;
  if (_source && key == _held) {
    // The second press: the user saw the warning and invites it anyway.
    sent = _source->confirm && _source->confirm(&error);
  } else if (_source) {
    sent = !identifier.empty() && _source->invite(identifier, &error);
    // Held back for its key: the warning came as an event.
    if (!sent && key == _held) return false;
  } else if (_browser) {
    std::optional<PeerID> target;
    for (const auto& peer : _browser->nearbyPeers()) {
      if (peer.peer.identifierString() == identifier) target = peer.peer;
    }
    sent = target && _browser->invite(*target);
  }
  if (!sent) {
    _problem = error.empty()
                   ? tr("Could not invite %1.").arg(name)
                   : tr("Could not invite %1: %2.").arg(name, QString::fromStdString(error));
    refreshLimit();
    return false;
  }
  _problem.clear();
  _held.clear();
  setState(key.toStdString(), PeerRowState::Invited);
  // The bare browser reports no outcomes: its list is done once it invited.
  if (_browser && !_source) _browser->done();
  return true;
}

void PeerListDialog::finish(bool cancelled) {
  if (_source) {
    // Giving up withdraws what is still out: the invited device is told.
    if (cancelled && _source->withdraw) {
      for (const auto& [key, row] : _rows) {
        if (row.state == PeerRowState::Invited && !row.device.identifier.empty())
          _source->withdraw(row.device.identifier);
      }
    }
    if (_source->finish) _source->finish();
    return;
  }
  if (!_browser) return;
  if (cancelled) {
    _browser->cancel();
  } else {
    _browser->done();
  }
}

QLabel* PeerListDialog::nameLabel(const QString& device) const {
  const auto it = _rows.find(keyOf(device));
  return it == _rows.end() ? nullptr : it->second.nameLabel;
}

bool PeerListDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    const QString key = watched->property("qurPeerKey").toString();
    if (!key.isEmpty()) {
      invite(key);
      return true;
    }
  }
  return QFrame::eventFilter(watched, event);
}

void PeerListDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    finish(true);
    return;
  }
  QFrame::keyPressEvent(event);
}

}  // namespace qur
