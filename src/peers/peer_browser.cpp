#include "peers/peer_browser.h"

#include <algorithm>

#include "log/log.h"
#include "peers/protocol.h"

namespace qur {

struct PeerBrowser::State {
  explicit State(const PeerID& local) : localPeer(local) {}
  PeerID localPeer;
  mutable std::mutex mutex;
  std::vector<std::pair<std::string, NearbyPeer>> entries;  // by discovery key
  std::function<void(const std::vector<NearbyPeer>&)> changed;

  std::vector<NearbyPeer> snapshot() const {
    std::vector<NearbyPeer> peers;
    for (const auto& keyed : entries) {
      const NearbyPeer& entry = keyed.second;
      // One device may be seen on several interfaces.
      const bool seen = std::any_of(peers.begin(), peers.end(),
                                    [&](const NearbyPeer& p) { return p.peer == entry.peer; });
      if (!seen) peers.push_back(entry);
    }
    return peers;
  }

  void notify() {
    std::function<void(const std::vector<NearbyPeer>&)> handler;
    std::vector<NearbyPeer> peers;
    {
      std::lock_guard lock(mutex);
      handler = changed;
      peers = snapshot();
    }
    if (handler) handler(peers);
  }

  void found(const std::string& key, const ServiceInstance& instance) {
    auto id = instance.txt.find("id");
    auto version = instance.txt.find("v");
    auto identifier =
        id == instance.txt.end() ? std::nullopt : peers::identifierFromHex(id->second);
    if (!identifier) {
      QUR_LOG_ERROR("Ignoring service \"%s\": no valid peer identifier", instance.name.c_str());
      return;
    }
    if (*identifier == localPeer.identifier()) return;
    if (version == instance.txt.end() ||
        version->second != std::to_string(peers::kProtocolVersion)) {
      QUR_LOG_ERROR("Ignoring service \"%s\": protocol version %s is not %u", instance.name.c_str(),
                    version == instance.txt.end() ? "(none)" : version->second.c_str(),
                    peers::kProtocolVersion);
      return;
    }
    // The display name is the instance name before any conflict renaming;
    // the hello carries the real one.
    auto peer = PeerID::fromWire(peers::sanitizeDisplayName(instance.name), *identifier);
    NearbyPeer entry{*peer, {instance.address, instance.port}, instance.name};
    {
      std::lock_guard lock(mutex);
      auto it =
          std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.first == key; });
      if (it != entries.end()) {
        it->second = entry;
      } else {
        entries.emplace_back(key, entry);
      }
    }
    notify();
  }

  void lost(const std::string& key) {
    {
      std::lock_guard lock(mutex);
      auto before = entries.size();
      std::erase_if(entries, [&](auto& e) { return e.first == key; });
      if (before == entries.size()) return;
    }
    notify();
  }
};

std::shared_ptr<PeerBrowser> PeerBrowser::create(std::string serviceType,
                                                 std::shared_ptr<PeerSession> session) {
  if (!session) return nullptr;
  return std::shared_ptr<PeerBrowser>(new PeerBrowser(std::move(serviceType), std::move(session)));
}

PeerBrowser::PeerBrowser(std::string serviceType, std::shared_ptr<PeerSession> session)
    : _serviceType(std::move(serviceType)),
      _session(std::move(session)),
      _state(std::make_shared<State>(_session->myPeerID())) {}

PeerBrowser::~PeerBrowser() {
  stop();
}

void PeerBrowser::setMaximumNumberOfPeers(std::size_t count) {
  std::lock_guard lock(_mutex);
  _maximumNumberOfPeers = std::clamp<std::size_t>(count, 2, PeerSession::kMaximumPeers);
}

std::size_t PeerBrowser::maximumNumberOfPeers() const {
  std::lock_guard lock(_mutex);
  return _maximumNumberOfPeers;
}

void PeerBrowser::setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate) {
  std::lock_guard lock(_mutex);
  _delegate = std::move(delegate);
}

std::shared_ptr<PeerBrowserDelegate> PeerBrowser::delegate() const {
  std::lock_guard lock(_mutex);
  return _delegate.lock();
}

void PeerBrowser::start() {
  std::lock_guard lock(_mutex);
  if (_browse) return;
  auto discovery = Discovery::shared();
  if (!discovery) {
    QUR_LOG_ERROR("Browsing is not possible without the mDNS responder");
    return;
  }
  std::weak_ptr<State> weak = _state;
  auto transport = _session->transport();
  // Results arrive on the responder's thread; the list lives on the transport's.
  Discovery::BrowseEvents events;
  events.found = [weak, transport](const std::string& key, const ServiceInstance& instance) {
    transport->post([weak, key, instance] {
      if (auto state = weak.lock()) state->found(key, instance);
    });
  };
  events.lost = [weak, transport](const std::string& key) {
    transport->post([weak, key] {
      if (auto state = weak.lock()) state->lost(key);
    });
  };
  _browse = discovery->browse(_serviceType, std::move(events));
}

void PeerBrowser::stop() {
  std::unique_ptr<Discovery::Browse> browse;
  {
    std::lock_guard lock(_mutex);
    browse = std::move(_browse);
  }
  browse.reset();
  std::lock_guard lock(_state->mutex);
  _state->entries.clear();
}

bool PeerBrowser::isBrowsing() const {
  std::lock_guard lock(_mutex);
  return _browse != nullptr;
}

std::vector<NearbyPeer> PeerBrowser::nearbyPeers() const {
  std::lock_guard lock(_state->mutex);
  return _state->snapshot();
}

void PeerBrowser::setNearbyPeersChangedHandler(
    std::function<void(const std::vector<NearbyPeer>&)> handler) {
  std::lock_guard lock(_state->mutex);
  _state->changed = std::move(handler);
}

bool PeerBrowser::invite(const PeerID& peer) {
  std::optional<NearbyPeer> target;
  for (auto& nearby : nearbyPeers())
    if (nearby.peer == peer) target = nearby;
  if (!target) {
    QUR_LOG_ERROR("Cannot invite %s: not nearby", peer.description().c_str());
    return false;
  }
  if (_session->connectedPeers().size() + 1 >= maximumNumberOfPeers()) {
    QUR_LOG_ERROR("Cannot invite %s: the session holds its %zu peers", peer.description().c_str(),
                  maximumNumberOfPeers());
    return false;
  }
  _session->invitePeer(target->endpoint, target->peer);
  return true;
}

void PeerBrowser::done() {
  stop();
  if (auto d = delegate()) d->browserViewControllerDidFinish(*this);
}

void PeerBrowser::cancel() {
  stop();
  if (auto d = delegate()) d->browserViewControllerWasCancelled(*this);
}

}  // namespace qur
