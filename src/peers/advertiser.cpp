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

void Advertiser::start() {
  std::lock_guard lock(_mutex);
  if (_started || !_session) return;
  _started = true;
  InvitationHandler handler = _handler ? *_handler : defaultInvitationHandler();
  _session->setInvitationHandler(handler ? handler : declineAllInvitations());
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
    if (_session) _session->setInvitationHandler(nullptr);
  }
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
