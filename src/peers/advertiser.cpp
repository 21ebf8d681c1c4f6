#include "peers/advertiser.h"

#include "log/log.h"
#include "peers/protocol.h"

namespace qur {
namespace {
std::mutex gHandlerMutex;
InvitationHandler gDefaultHandler;
}  // namespace

void Advertiser::setDefaultInvitationHandler(InvitationHandler handler) {
  std::lock_guard lock(gHandlerMutex);
  gDefaultHandler = std::move(handler);
}

InvitationHandler Advertiser::defaultInvitationHandler() {
  std::lock_guard lock(gHandlerMutex);
  return gDefaultHandler;
}

Advertiser::Advertiser(std::string serviceType, std::map<std::string, std::string> discoveryInfo,
                       std::shared_ptr<PeerSession> session)
    : _serviceType(std::move(serviceType)),
      _discoveryInfo(std::move(discoveryInfo)),
      _session(std::move(session)) {}

Advertiser::~Advertiser() {
  stop();
}

std::string Advertiser::availableDisplayName(const std::string& serviceType,
                                             const std::string& wanted) {
  const std::string clean = PeerID(wanted).displayName();
  auto discovery = Discovery::shared();
  if (!discovery) return clean;
  return PeerID(discovery->freeInstanceName(serviceType, clean)).displayName();
}

void Advertiser::start() {
  std::lock_guard lock(_mutex);
  if (_started || !_session) return;
  _started = true;
  InvitationHandler handler = _handler ? *_handler : defaultInvitationHandler();
  _activeHandler = handler ? handler : declineAllInvitations();
  _session->setInvitationHandler(_activeHandler);
  publishLocked();
}

void Advertiser::publishLocked() {
  std::vector<std::string> txt;
  txt.push_back("id=" + _session->myPeerID().identifierString());
  txt.push_back("v=" + std::to_string(peers::kProtocolVersion));
  for (const auto& [key, value] : _discoveryInfo) {
    if (key == "id" || key == "v") continue;
    txt.push_back(key + "=" + value);
  }
  auto discovery = Discovery::shared();
  if (!discovery) {
    QUR_LOG_ERROR("Advertising is not possible without the mDNS responder");
    return;
  }
  _publication =
      discovery->publish(_serviceType, _session->myPeerID().displayName(), _session->port(), txt);
}

void Advertiser::stop() {
  std::unique_ptr<Discovery::Publication> publication;
  {
    std::lock_guard lock(_mutex);
    if (!_started) return;
    _started = false;
    publication = std::move(_publication);
    _activeHandler = nullptr;
    if (_session) _session->setInvitationHandler(nullptr);
  }
}

void Advertiser::setSession(std::shared_ptr<PeerSession> session) {
  std::lock_guard lock(_mutex);
  if (!session || session == _session) return;
  const bool samePlace = _session && session->port() == _session->port() &&
                         session->myPeerID() == _session->myPeerID();
  if (_started && _session) _session->setInvitationHandler(nullptr);
  _session = std::move(session);
  if (!_started) return;
  // As a fresh start would: the handler set meanwhile applies now.
  InvitationHandler handler = _handler ? *_handler : defaultInvitationHandler();
  _activeHandler = handler ? handler : declineAllInvitations();
  _session->setInvitationHandler(_activeHandler);
  if (samePlace) return;
  // Withdrawn first, or the new publication would see our own name taken.
  _publication.reset();
  publishLocked();
}

std::shared_ptr<PeerSession> Advertiser::session() const {
  std::lock_guard lock(_mutex);
  return _session;
}

bool Advertiser::isStarted() const {
  std::lock_guard lock(_mutex);
  return _started;
}

void Advertiser::setInvitationHandler(InvitationHandler handler) {
  std::lock_guard lock(_mutex);
  _handler = std::move(handler);
}

std::string Advertiser::publishedName() const {
  std::lock_guard lock(_mutex);
  return _publication ? _publication->currentName() : std::string();
}

}  // namespace qur
