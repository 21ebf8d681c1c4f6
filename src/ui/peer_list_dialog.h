// A minimal list of nearby devices with an invite action, shown over the
// main screen while the user picks a peer. It drives the core's peer
// browser: browsing runs while it is open; inviting or closing finishes.
// Main thread.
#pragma once

#include <QFrame>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/peer_browser.h"
#include "signals/disposable.h"
#include "signals/signal.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace qur {

// Nearby peers kept by someone else (the application), who also invites:
// the dialog then leaves the browser's list and browsing alone.
struct PeerListSource {
  // Current names first, then every change, on the main thread.
  Signal<std::vector<std::string>> nearby;
  // False with a reason in words.
  std::function<bool(const std::string& name, std::string* error)> invite;
  // Invited or closed: the list is done.
  std::function<void()> finish;
};

class PeerListDialog : public QFrame {
  Q_OBJECT

 public:
  PeerListDialog(std::shared_ptr<PeerBrowser> browser, QWidget* parent);
  explicit PeerListDialog(PeerListSource source, QWidget* parent);
  ~PeerListDialog() override;

  // Invites the selected (or named) peer; false when none is selected or
  // the browser refuses.
  bool inviteSelected();
  bool invite(const QString& name);
  QListWidget* list() const { return _list; }
  std::size_t peerCount() const { return _names.size(); }

 private:
  void build();
  void showPeers(std::vector<std::string> names);

  std::shared_ptr<PeerBrowser> _browser;
  std::optional<PeerListSource> _source;
  DisposablePtr _sourceSubscription;
  std::vector<std::string> _names;
  QListWidget* _list;
  QLabel* _status;
  QPushButton* _invite;
};

}  // namespace qur
