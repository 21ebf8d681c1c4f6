// The peer browser shown over the main screen: who we are, then the devices
// nearby, one row per device (two devices of one name are two rows, told
// apart by key and identifier), each with its key, its trust (known, new,
// key changed, looks like NAME), its state (available, invited, connecting,
// connected, declined, timed out, unreachable, refused) and an Invite action
// (the button, Enter or a double click), with Done and Cancel (which
// withdraws the invitations still out). A device whose key is not the one
// trusted for its name is invited only after a second press of "Invite
// anyway". Rows follow the devices as they come and go and the invitations
// as they end. Several peers may be connected at once; Invite waits only
// while a device's own invitation is out, and for everyone once the session
// is full. Main thread.
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
  // Current devices first, then every change, on the main thread.
  Signal<std::vector<NearbyDevice>> nearby;
  // Connected peers' names, current first; main thread. Unset: none.
  std::optional<Signal<std::vector<std::string>>> connected;
  // The application's events (invitation outcomes); main thread. Unset: none.
  std::optional<Signal<AppEvent>> events;
  // Invites the device (by identifier); false with a reason in words.
  std::function<bool(const std::string& identifier, std::string* error)> invite;
  // Invites the device held back for its key, as the user confirmed.
  std::function<bool(std::string* error)> confirm;
  // Withdraws our invitation to the device (by identifier); unset: nothing.
  std::function<void(const std::string& identifier)> withdraw;
  // Done or Cancel: the list is finished.
  std::function<void()> finish;
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
  Unreachable,
  Refused,  // it answered with a key the user did not confirm
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

  // Invites the selected peer, or the device with that identifier (or, by
  // name, the first row of that name); false when none is found, the limit
  // is reached or the invitation cannot be sent (the status says why).
  bool inviteSelected();
  bool invite(const QString& device);

  QListWidget* list() const { return _list; }
  std::size_t peerCount() const { return _rows.size(); }
  // By identifier, or by name (the first row of that name).
  std::optional<PeerRowState> stateOf(const QString& device) const;
  // The row's Invite button, or null when the device is not listed.
  QPushButton* inviteButton(const QString& device) const;
  QPushButton* doneButton() const { return _done; }
  QPushButton* cancelButton() const { return _cancel; }
  QLabel* statusLabel() const { return _status; }
  QLabel* identityLabel() const { return _identity; }
  // The row's name label (elided when long), or null.
  QLabel* nameLabel(const QString& name) const;
  // The fingerprint line of a row (kept while the device stays listed).
  void setFingerprint(const QString& device, const QString& fingerprint);
  QString fingerprintOf(const QString& device) const;
  // The trust shown beside the fingerprint ("known", "key changed", ...).
  QString trustOf(const QString& device) const;
  // The identifiers of the rows of that name, in list order.
  QStringList devicesNamed(const QString& name) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Row {
    NearbyDevice device;
    PeerRowState state = PeerRowState::Available;
    QListWidgetItem* item = nullptr;
    QLabel* nameLabel = nullptr;
    QLabel* stateLabel = nullptr;
    QLabel* fingerprintLabel = nullptr;
    QLabel* trustLabel = nullptr;
    QPushButton* invite = nullptr;
  };

  void build();
  void subscribeToBrowser();
  void subscribeToSource();
  void nearbyChanged(std::vector<NearbyDevice> devices);
  void connectedChanged(std::vector<std::string> names);
  void eventArrived(const AppEvent& event);
  void setState(const std::string& key, PeerRowState state);
  void rebuildRows();
  void refreshRow(const QString& key, Row& row);
  // The row key (identifier) for an identifier or a name; empty: none.
  QString keyOf(const QString& device) const;
  QString keyOf(const std::string& identifier, const std::string& name) const;
  void refreshLimit();
  // Why Invite is disabled right now; empty: it is not.
  QString limitReason() const;
  void finish(bool cancelled);

  std::shared_ptr<PeerBrowser> _browser;
  std::optional<PeerListSource> _source;
  std::vector<DisposablePtr> _subscriptions;
  std::vector<NearbyDevice> _nearby;
  std::vector<std::string> _connected;
  bool _connectedKnown = false;
  // States other than Available, by identifier; they outlive a row only
  // while the device is listed.
  std::map<std::string, PeerRowState> _states;
  // Rows by identifier.
  std::map<QString, Row> _rows;
  std::map<QString, QString> _fingerprints;
  // The device held back for its key: a second press invites it.
  QString _held;
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
