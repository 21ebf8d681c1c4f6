// The peer browser shown over the main screen: who we are, the devices
// nearby, each with its state (available, invited, connecting, connected,
// declined, timed out, unreachable) and an Invite action (the button, Enter
// or a double click), with Done and Cancel. Rows follow the devices as they
// come and go and the invitations as they end. Several peers may be
// connected at once; Invite waits only while a device's own invitation is
// out, and for everyone once the session is full. Main thread.
#pragma once

#include <QFrame>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/walkie_talkie_app.h"
#include "peers/peer_browser.h"
#include "peers/peer_session.h"
#include "signals/disposable.h"
#include "signals/signal.h"

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace qur {

// Nearby peers kept by someone else (the application), who also invites:
// the dialog then leaves the browser's list and browsing alone.
struct PeerListSource {
  // Current names first, then every change, on the main thread.
  Signal<std::vector<std::string>> nearby;
  // Connected peers' names, current first; main thread. Unset: none.
  std::optional<Signal<std::vector<std::string>>> connected;
  // The application's events (invitation outcomes); main thread. Unset: none.
  std::optional<Signal<AppEvent>> events;
  // False with a reason in words.
  std::function<bool(const std::string& name, std::string* error)> invite;
  // Done or Cancel: the list is finished.
  std::function<void()> finish;
  // A short key fingerprint to show under a peer's name; unset or empty: none.
  std::function<std::string(const std::string& name)> fingerprint;
  // "You are NAME · key ...", shown under the title; empty: nothing.
  std::string identity;
};

enum class PeerRowState {
  Available,
  Invited,
  Connecting,
  Connected,
  Declined,
  TimedOut,
  Unreachable
};
QString peerRowStateText(PeerRowState state);

class PeerListDialog : public QFrame {
  Q_OBJECT

 public:
  // Counting ourselves: as many as a session holds.
  static constexpr std::size_t kMaximumPeers = PeerSession::kMaximumPeers;

  PeerListDialog(std::shared_ptr<PeerBrowser> browser, QWidget* parent);
  explicit PeerListDialog(PeerListSource source, QWidget* parent);
  ~PeerListDialog() override;

  // Invites the selected (or named) peer; false when none is selected, the
  // limit is reached or the invitation cannot be sent (the status says why).
  bool inviteSelected();
  bool invite(const QString& name);

  QListWidget* list() const { return _list; }
  std::size_t peerCount() const { return _rows.size(); }
  std::optional<PeerRowState> stateOf(const QString& name) const;
  // The row's Invite button, or null when the device is not listed.
  QPushButton* inviteButton(const QString& name) const;
  QPushButton* doneButton() const { return _done; }
  QPushButton* cancelButton() const { return _cancel; }
  QLabel* statusLabel() const { return _status; }
  QLabel* identityLabel() const { return _identity; }
  // The row's name label (elided when long), or null.
  QLabel* nameLabel(const QString& name) const;
  // The fingerprint line of a row (kept while the device stays listed).
  void setFingerprint(const QString& name, const QString& fingerprint);
  QString fingerprintOf(const QString& name) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Row {
    PeerRowState state = PeerRowState::Available;
    QString fingerprint;
    QListWidgetItem* item = nullptr;
    QLabel* nameLabel = nullptr;
    QLabel* stateLabel = nullptr;
    QLabel* fingerprintLabel = nullptr;
    QPushButton* invite = nullptr;
  };

  void build();
  void subscribeToBrowser();
  void subscribeToSource();
  void nearbyChanged(std::vector<std::string> names);
  void connectedChanged(std::vector<std::string> names);
  void eventArrived(const AppEvent& event);
  void setState(const std::string& name, PeerRowState state);
  void rebuildRows();
  void refreshRow(const QString& name, Row& row);
  void refreshLimit();
  // Why Invite is disabled right now; empty: it is not.
  QString limitReason() const;
  void finish(bool cancelled);

  std::shared_ptr<PeerBrowser> _browser;
  std::optional<PeerListSource> _source;
  std::vector<DisposablePtr> _subscriptions;
  std::vector<std::string> _nearby;
  std::vector<std::string> _connected;
  bool _connectedKnown = false;
  // States other than Available, by name; they outlive a row only while
  // the device is listed.
  std::map<std::string, PeerRowState> _states;
  std::map<QString, Row> _rows;
  std::map<QString, QString> _fingerprints;
  QString _problem;
  static constexpr int kCloseAfterConnectMs = 1200;
  bool _closing = false;
  QListWidget* _list;
  QLabel* _status;
  QLabel* _identity = nullptr;
  QPushButton* _done;
  QPushButton* _cancel;
};

}  // namespace qur
