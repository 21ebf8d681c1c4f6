// Owns the local peer identity and the current session, makes the device
// discoverable on demand, keeps the browser model, and can throw the whole
// session away for a fresh one (reset). Observers of the session property
// (the message sink) follow every replacement.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "peers/advertiser.h"
#include "peers/peer_browser.h"
#include "peers/peer_session.h"
#include "peers/split_delegate.h"
#include "signals/disposable.h"
#include "signals/property.h"
#include "signals/signal.h"
#include "signals/spin_lock.h"
#include "signals/subject.h"

namespace qur {

class MultipeerSessionController {
 public:
  // The maximum the browser admits, counting ourselves: one remote peer.
  static constexpr std::size_t kBrowserMaximumNumberOfPeers = 2;

  // What every session of a controller is made with: it carries wire
  // messages only, so anything else is dropped before it reaches a queue.
  static PeerSession::Options sessionOptions();

  // identity: the device key; null makes one that lives in memory only.
  MultipeerSessionController(std::string peerName, std::string serviceType,
                             std::shared_ptr<Transport> transport = nullptr,
                             std::shared_ptr<const DeviceIdentity> identity = nullptr);
  ~MultipeerSessionController();
  MultipeerSessionController(const MultipeerSessionController&) = delete;
  MultipeerSessionController& operator=(const MultipeerSessionController&) = delete;

  // A new session (announced on sessionProperty) and a new browser on it.
  void initSession();

  void startAdvertising();
  void stopAdvertising();
  // Follows the latest value of the signal, acted on on the main thread;
  // a later call stops following the earlier signal.
  void toggleAdvertisingWithSignal(const Signal<bool>& signal);

  // Disconnects and replaces the session and browser, keeping the browser's
  // delegate and the advertising state. Callable from any thread, but not
  // from an observer of sessionProperty.
  void reset();
  // Disconnects the current session; nothing else changes.
  void disconnect();

  std::shared_ptr<PeerSession> session() const;
  // Sends the current session at subscription and once per replacement, on
  // the replacing thread (with the reset lock held).
  const Property<std::shared_ptr<PeerSession>>& sessionProperty() const { return _sessionProperty; }
  const std::shared_ptr<MultipeerSessionSplitDelegate>& sessionDelegates() const {
    return _sessionDelegates;
  }
  std::shared_ptr<PeerBrowser> browserViewController() const;
  std::shared_ptr<Advertiser> advertiser() const;
  const PeerID& peerID() const { return _peerId; }
  const std::string& serviceType() const { return _serviceType; }

  bool isAdvertising() const { return _advertising.get(); }
  // Only records the flag.
  void setAdvertising(bool advertising) { _advertising.set(advertising); }
  const Property<bool>& advertisingProperty() const { return _advertising; }

  // The handler for invitations while advertising (applies from the next
  // startAdvertising); unset means Advertiser's default.
  void setInvitationHandler(InvitationHandler handler);
  // Which keys the user pinned, for this session and every later one
  // (PeerSession::setKnownKeyCheck). Any thread.
  void setKnownKeyCheck(std::function<bool(const peers::Identifier&)> check);

  // The handler for introduced devices and the check of every device we
  // invite, in every session this controller makes (now and after resets).
  void setIntroductionHandler(IntroductionHandler handler);
  void setInviteeCheck(InviteeCheck check);

  // How every invitation ended, in either direction and in every session
  // this controller makes: accepted, declined, timed out (the invited side
  // hears this when its user did not answer in time), unreachable or
  // withdrawn. Sent on the peer network thread.
  Signal<InvitationResult> invitationResults() const {
    return Signal<InvitationResult>(_invitationResults);
  }
  // Why each connected peer went away, in every session this controller
  // makes; sent on the peer network thread before the peer's state change.
  Signal<PeerDisconnect> peerDisconnects() const {
    return Signal<PeerDisconnect>(_peerDisconnects);
  }
  // Where a waiting invitation comes from, for the question put to the
  // user. Thread-safe.
  std::optional<InvitationDetails> pendingInvitation(const PeerID& peer) const;

 private:
  const std::string _serviceType;
  const PeerID _peerId;
  const std::shared_ptr<Transport> _transport;
  std::shared_ptr<MultipeerSessionSplitDelegate> _sessionDelegates;
  mutable std::mutex _fieldsMutex;  // short reads and writes of the pointers below
  std::shared_ptr<PeerSession> _session;
  std::shared_ptr<Advertiser> _advertiser;
  std::shared_ptr<PeerBrowser> _browserViewController;
  std::optional<InvitationHandler> _invitationHandler;
  IntroductionHandler _introductionHandler;
  InviteeCheck _inviteeCheck;
  std::function<bool(const peers::Identifier&)> _knownKey;
  DisposablePtr _advertisingToggleSubscription;
  SpinLock _resetLock;  // advertiser and session replacement; not re-entrant
  Property<bool> _advertising{false};
  Property<std::shared_ptr<PeerSession>> _sessionProperty;
  std::shared_ptr<Subject<InvitationResult>> _invitationResults =
      Subject<InvitationResult>::create();
  std::shared_ptr<Subject<PeerDisconnect>> _peerDisconnects = Subject<PeerDisconnect>::create();
};

}  // namespace qur
