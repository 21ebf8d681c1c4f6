#include "peers/message_sink.h"

#include "log/log.h"

namespace qur {

MultipeerMessageSink::MultipeerMessageSink(std::shared_ptr<PeerSession> session) {
  setSession(std::move(session));
}

bool MultipeerMessageSink::writeMessage(ByteMessage message) {
  auto session = this->session();
  if (!session) {
    QUR_LOG_LIMITED(_failureLog, LogFlagError, "Sending message failed with %s", "no session");
    return false;
  }
  PeerError error;
  if (!session->sendData(message, session->connectedPeers(), SessionSendDataMode::Reliable,
                         &error)) {
    QUR_LOG_LIMITED(_failureLog, LogFlagError, "Sending message failed with %s",
                    error.description.c_str());
    return false;
  }
  return true;
}

std::shared_ptr<PeerSession> MultipeerMessageSink::session() const {
  std::lock_guard lock(_mutex);
  return _session;
}

void MultipeerMessageSink::setSession(std::shared_ptr<PeerSession> session) {
  std::lock_guard lock(_mutex);
  _session = std::move(session);
}

void MultipeerMessageSink::bindSession(
    const Property<std::shared_ptr<PeerSession>>& sessionProperty) {
  bindSignal(sessionProperty.values(), _lifetime,
             [this](const std::shared_ptr<PeerSession>& session) { setSession(session); });
}

void MultipeerMessageSource::sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>&,
                                                           std::span<const std::uint8_t> data,
                                                           const PeerID& peer) {
  std::shared_ptr<StreamSourceDelegate> all;
  std::shared_ptr<WeakReference<StreamSourceDelegate>> reference;
  {
    std::lock_guard lock(_mutex);
    all = _delegate.lock();
    auto found = _peerSpecificDelegates.find(peer);
    if (found != _peerSpecificDelegates.end()) reference = found->second;
  }
  if (all) all->gotMessage(data);
  if (reference) {
    if (auto target = reference->target()) target->gotMessage(data);
  }
}

void MultipeerMessageSource::setDelegateForPeer(
    const std::shared_ptr<StreamSourceDelegate>& delegate, const PeerID& peer) {
  std::lock_guard lock(_mutex);
  _peerSpecificDelegates.insert_or_assign(
      peer, WeakReference<StreamSourceDelegate>::referenceTo(delegate));
}

void MultipeerMessageSource::removeDelegateForPeer(const PeerID& peer) {
  std::lock_guard lock(_mutex);
  _peerSpecificDelegates.erase(peer);
}

std::size_t MultipeerMessageSource::peerDelegateCount() const {
  std::lock_guard lock(_mutex);
  return _peerSpecificDelegates.size();
}

std::shared_ptr<StreamSourceDelegate> MultipeerMessageSource::delegate() const {
  std::lock_guard lock(_mutex);
  return _delegate.lock();
}

void MultipeerMessageSource::setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) {
  std::lock_guard lock(_mutex);
  _delegate = std::move(delegate);
}

}  // namespace qur
