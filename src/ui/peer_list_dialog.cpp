#include "ui/peer_list_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "signals/main_queue.h"
#include "ui/styles.h"

namespace qur {

namespace {

std::vector<std::string> namesOf(const std::vector<NearbyPeer>& peers) {
  std::vector<std::string> names;
  for (const auto& peer : peers) names.push_back(peer.peer.displayName());
  return names;
}

}  // namespace

PeerListDialog::PeerListDialog(std::shared_ptr<PeerBrowser> browser, QWidget* parent)
    : QFrame(parent), _browser(std::move(browser)) {
  build();
}

PeerListDialog::PeerListDialog(PeerListSource source, QWidget* parent)
    : QFrame(parent), _source(std::move(source)) {
  build();
}

void PeerListDialog::build() {
  setObjectName(QStringLiteral("peerList"));
  setAutoFillBackground(true);
  setStyleSheet(QStringLiteral(
      "#peerList { background: rgba(20, 28, 36, 235); border-radius: 14px; }"
      "QLabel { color: white; }"
      "QListWidget { background: transparent; color: white; border: none; font-size: 17px; }"
      "QListWidget::item { padding: 8px; }"
      "QListWidget::item:selected { background: rgba(52, 152, 219, 120); }"
      "QScrollBar:vertical { background: transparent; width: 6px; }"
      "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 70); border-radius: 3px; }"
      "QScrollBar::add-line, QScrollBar::sub-line { height: 0; }"
      "QPushButton { color: white; background: transparent; border: 1px solid rgba(255,255,255,90);"
      " border-radius: 6px; padding: 6px 14px; font-size: 15px; }"
      "QPushButton:disabled { color: rgba(255,255,255,80); }"));
  auto* title = new QLabel(tr("Nearby devices"), this);
  title->setFont(Styles::screenButtonFont());
  _list = new QListWidget(this);
  _status = new QLabel(this);
  _status->setWordWrap(true);
  _invite = new QPushButton(tr("Invite"), this);
  auto* close = new QPushButton(tr("Close"), this);
  for (auto* button : {_invite, close}) button->setFocusPolicy(Qt::NoFocus);
  _list->setFocusPolicy(Qt::NoFocus);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(close);
  buttons->addStretch();
  buttons->addWidget(_invite);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 14);
  layout->addWidget(title);
  layout->addWidget(_list, 1);
  layout->addWidget(_status);
  layout->addLayout(buttons);

  connect(_invite, &QPushButton::clicked, this, [this] { inviteSelected(); });
  connect(_list, &QListWidget::itemDoubleClicked, this, [this] { inviteSelected(); });
  connect(close, &QPushButton::clicked, this, [this] {
    if (_source && _source->finish) _source->finish();
    if (_browser) _browser->cancel();
  });
  connect(_list, &QListWidget::itemSelectionChanged, this,
          [this] { _invite->setEnabled(!_list->selectedItems().isEmpty()); });
  _invite->setEnabled(false);

  const QPointer<PeerListDialog> self(this);
  if (_source) {
    _sourceSubscription =
        _source->nearby.subscribeNext([self](const std::vector<std::string>& names) {
          if (self) self->showPeers(names);
        });
    return;
  }
  if (!_browser) {
    _status->setText(tr("Peer discovery is not available."));
    return;
  }
  // The browser reports on its transport thread.
  _browser->setNearbyPeersChangedHandler([self](const std::vector<NearbyPeer>& peers) {
    mainQueue().post([self, names = namesOf(peers)] {
      if (self) self->showPeers(names);
    });
  });
  _browser->start();
  showPeers(namesOf(_browser->nearbyPeers()));
}

PeerListDialog::~PeerListDialog() {
  if (_sourceSubscription) _sourceSubscription->dispose();
  if (!_browser || _source) return;
  _browser->setNearbyPeersChangedHandler(nullptr);
  if (_browser->isBrowsing()) _browser->stop();
}

void PeerListDialog::showPeers(std::vector<std::string> names) {
  const QString selected = _list->currentItem() ? _list->currentItem()->text() : QString();
  // Devices come and go while the user reads: keep the place and the pick.
  const int scroll = _list->verticalScrollBar()->value();
  _names = std::move(names);
  _list->clear();
  for (const auto& name : _names) {
    auto* item = new QListWidgetItem(QString::fromStdString(name), _list);
    if (item->text() == selected) _list->setCurrentItem(item);
  }
  _list->verticalScrollBar()->setValue(scroll);
  _status->setText(_names.empty() ? tr("Looking for devices running qur-wtalkie…") : QString());
}

bool PeerListDialog::inviteSelected() {
  const int row = _list->currentRow();
  if (row < 0 || std::size_t(row) >= _names.size()) return false;
  return invite(_list->item(row)->text());
}

bool PeerListDialog::invite(const QString& name) {
  if (_source) {
    std::string error;
    if (!_source->invite(name.toStdString(), &error)) {
      _status->setText(tr("Could not invite %1: %2.").arg(name, QString::fromStdString(error)));
      return false;
    }
    if (_source->finish) _source->finish();
    return true;
  }
  if (!_browser) return false;
  // The newest announcement wins: a device that restarted under the same
  // name may still be listed under its old identity for a while.
  std::optional<PeerID> target;
  for (const auto& peer : _browser->nearbyPeers()) {
    if (QString::fromStdString(peer.peer.displayName()) == name) target = peer.peer;
  }
  if (!target || !_browser->invite(*target)) {
    _status->setText(tr("Could not invite %1.").arg(name));
    return false;
  }
  _browser->done();
  return true;
}

}  // namespace qur
