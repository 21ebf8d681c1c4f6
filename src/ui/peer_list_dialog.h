// A minimal list of nearby devices with an invite action, shown over the
// main screen while the user picks a peer. It drives the core's peer
// browser: browsing runs while it is open; inviting or closing finishes.
// Main thread.
#pragma once

#include <QFrame>
#include <memory>
#include <vector>

#include "peers/peer_browser.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace qur {

class PeerListDialog : public QFrame {
  Q_OBJECT

 public:
  PeerListDialog(std::shared_ptr<PeerBrowser> browser, QWidget* parent);
  ~PeerListDialog() override;

  // Invites the selected (or named) peer; false when none is selected or
  // the browser refuses.
  bool inviteSelected();
  bool invite(const QString& name);
  QListWidget* list() const { return _list; }
  std::size_t peerCount() const { return _peers.size(); }

 private:
  void showPeers(std::vector<NearbyPeer> peers);

  std::shared_ptr<PeerBrowser> _browser;
  std::vector<NearbyPeer> _peers;
  QListWidget* _list;
  QLabel* _status;
  QPushButton* _invite;
};

}  // namespace qur
