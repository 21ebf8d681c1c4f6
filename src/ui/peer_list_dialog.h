// The peer browser shown over the main screen: the devices nearby, each with
// its state (available, invited, connecting, connected, declined, timed out,
// unreachable) and an Invite action, with Done and Cancel. Rows follow the
// devices as they come and go and the invitations as they end. The window
// talks to one peer at a time: with a peer connected or an invitation out,
// Invite is disabled and the status line says why. Main thread.
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
  // Counting ourselves: the window talks to one peer at a time.
  static constexpr std::size_t kMaximumPeers = 2;

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
  // The fingerprint line of a row (kept while the device stays listed).
  void setFingerprint(const QString& name, const QString& fingerprint);
  QString fingerprintOf(const QString& name) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Row {
    PeerRowState state = PeerRowState::Available;
    QString fingerprint;
    QListWidgetItem* item = nullptr;
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
  QPushButton* _done;
  QPushButton* _cancel;
};

}  // namespace qur
