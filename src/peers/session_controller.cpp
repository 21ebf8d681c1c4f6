#include "peers/session_controller.h"

#include "audio/opus_packet.h"
#include "log/log.h"
#include "peers/device_identity.h"
#include "signals/scheduler.h"
#include "signals/signal_operators.h"
#include "wire/wire_message.h"

namespace qur {

MultipeerSessionController::MultipeerSessionController(
    std::string peerName, std::string serviceType, std::shared_ptr<Transport> transport,
    std::shared_ptr<const DeviceIdentity> identity)
    : _serviceType(std::move(serviceType)),
      // A name another device already advertises would confuse both.
      _peerId(Advertiser::availableDisplayName(_serviceType, peerName),
              identity ? std::move(identity) : DeviceIdentity::generate()),
      _transport(transport ? std::move(transport) : Transport::shared()),
      _sessionDelegates(std::make_shared<MultipeerSessionSplitDelegate>()) {
  // Start the responder now: claiming the host name takes about a second,
  // which would otherwise delay the first advertisement.
  Discovery::shared();
  initSession();
}

MultipeerSessionController::~MultipeerSessionController() {
  if (_advertisingToggleSubscription) _advertisingToggleSubscription->dispose();
  std::shared_ptr<Advertiser> advertiser;
  {
    std::lock_guard lock(_fieldsMutex);
    advertiser = std::move(_advertiser);
  }
  if (advertiser) advertiser->stop();
}

PeerSession::Options MultipeerSessionController::sessionOptions() {
  PeerSession::Options options;
  options.messageValidator =
      [packet = std::shared_ptr<OpusPacket>(makeOpusPacket(kWireMessageReceiveCapacity))](
          std::span<const std::uint8_t> bytes) {
        QURWireMessage message;
        return wireMessageDecode(bytes, &message, packet.get(), kWireMessageReceiveCapacity);
      };
  return options;
}

void MultipeerSessionController::initSession() {
  // The new session listens where the old one did, for the life of the process.
  auto session =
      PeerSession::createTakingOverListener(_peerId, sessionOptions(), this->session(), _transport);
  if (!session) {
    QUR_LOG_ERROR("Cannot create a peer session for %s", _peerId.description().c_str());
  } else {
    session->setDelegate(_sessionDelegates);
    {
      std::lock_guard lock(_fieldsMutex);
      session->setKnownKeyCheck(_knownKey);
    }
    session->setInvitationResultHandler(
        [results = _invitationResults](const InvitationResult& r) { results->sendNext(r); });
    session->setDisconnectHandler(
        [gone = _peerDisconnects](const PeerDisconnect& d) { gone->sendNext(d); });
    std::lock_guard lock(_fieldsMutex);
    session->setIntroductionHandler(_introductionHandler);
    session->setInviteeCheck(_inviteeCheck);
  }
  // One browser for the controller's life: it follows the session instead
  // of browsing again, which would make every nearby peer flap.
  auto browser = browserViewController();
  if (browser && session) {
    browser->setSession(session);
  } else if (session) {
    browser = PeerBrowser::create(_serviceType, session);
    browser->setMaximumNumberOfPeers(kBrowserMaximumNumberOfPeers);
    _sessionDelegates->addPeerStateDelegate(browser);
  }
  {
    std::lock_guard lock(_fieldsMutex);
    _session = session;
    _browserViewController = browser;
  }
  // Observers hear of the new session only once its browser is in place: one
  // that fetches the browser on the notification must never get the old one,
  // whose invitations would land in the abandoned session.
  _sessionProperty.set(session);
}

void MultipeerSessionController::startAdvertising() {
  std::lock_guard resetLock(_resetLock);
  std::shared_ptr<Advertiser> old;
  std::shared_ptr<Advertiser> advertiser;
  {
    std::lock_guard lock(_fieldsMutex);
    old = std::move(_advertiser);
    if (old && old->isStarted() && _session) {
      // Moved to the current session without withdrawing the advertisement.
      advertiser = std::move(old);
      if (_invitationHandler) advertiser->setInvitationHandler(*_invitationHandler);
      advertiser->setSession(_session);
    } else if (_session) {
      advertiser = std::make_shared<Advertiser>(_serviceType, std::map<std::string, std::string>{},
                                                _session);
      if (_invitationHandler) advertiser->setInvitationHandler(*_invitationHandler);
    }
  }
  if (old) old->stop();
  if (advertiser) advertiser->start();
  {
    std::lock_guard lock(_fieldsMutex);
    _advertiser = advertiser;
  }
  _advertising.set(true);
}

void MultipeerSessionController::stopAdvertising() {
  std::lock_guard resetLock(_resetLock);
  std::shared_ptr<Advertiser> old;
  {
    std::lock_guard lock(_fieldsMutex);
    old = std::move(_advertiser);
  }
  if (old) old->stop();
  _advertising.set(false);
}

void MultipeerSessionController::toggleAdvertisingWithSignal(const Signal<bool>& signal) {
  if (_advertisingToggleSubscription) _advertisingToggleSubscription->dispose();
  _advertisingToggleSubscription =
      signal.deliverOn(Scheduler::mainThreadScheduler()).subscribeNext([this](const bool& on) {
        if (on) {
          startAdvertising();
        } else {
          stopAdvertising();
        }
      });
}

void MultipeerSessionController::reset() {
  bool wasAdvertising;
  {
    std::lock_guard resetLock(_resetLock);
    std::shared_ptr<PeerBrowserDelegate> browserDelegate;
    std::shared_ptr<PeerSession> old;
    {
      std::lock_guard lock(_fieldsMutex);
      if (_browserViewController) browserDelegate = _browserViewController->delegate();
      old = _session;
    }
    wasAdvertising = _advertising.get();
    if (old) old->disconnect();
    initSession();
    if (auto browser = browserViewController()) browser->setDelegate(browserDelegate);
  }
  if (wasAdvertising) {
    startAdvertising();
  } else {
    stopAdvertising();
  }
}

void MultipeerSessionController::disconnect() {
  if (auto s = session()) s->disconnect();
}

std::shared_ptr<PeerSession> MultipeerSessionController::session() const {
  std::lock_guard lock(_fieldsMutex);
  return _session;
}

std::shared_ptr<PeerBrowser> MultipeerSessionController::browserViewController() const {
  std::lock_guard lock(_fieldsMutex);
  return _browserViewController;
}

std::shared_ptr<Advertiser> MultipeerSessionController::advertiser() const {
  std::lock_guard lock(_fieldsMutex);
  return _advertiser;
}

std::optional<InvitationDetails> MultipeerSessionController::pendingInvitation(
    const PeerID& peer) const {
  auto s = session();
  return s ? s->pendingInvitation(peer) : std::nullopt;
}

void MultipeerSessionController::setIntroductionHandler(IntroductionHandler handler) {
  std::shared_ptr<PeerSession> current;
  {
    std::lock_guard lock(_fieldsMutex);
    _introductionHandler = handler;
    current = _session;
  }
  if (current) current->setIntroductionHandler(std::move(handler));
}

void MultipeerSessionController::setInviteeCheck(InviteeCheck check) {
  std::shared_ptr<PeerSession> current;
  {
    std::lock_guard lock(_fieldsMutex);
    _inviteeCheck = check;
    current = _session;
  }
  if (current) current->setInviteeCheck(std::move(check));
}

void MultipeerSessionController::setKnownKeyCheck(
    std::function<bool(const peers::Identifier&)> check) {
  std::shared_ptr<PeerSession> current;
  {
    std::lock_guard lock(_fieldsMutex);
    _knownKey = check;
    current = _session;
  }
  if (current) current->setKnownKeyCheck(std::move(check));
}

void MultipeerSessionController::setInvitationHandler(InvitationHandler handler) {
  std::lock_guard lock(_fieldsMutex);
  _invitationHandler = std::move(handler);
}

}  // namespace qur
