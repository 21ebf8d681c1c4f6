#include "peers/peer_browser.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "log/log.h"
#include "log/log_limiter.h"
#include "peers/display_name.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"
#include "peers/transport_io.h"

namespace qur {

namespace {
// The probe only needs the peer to answer a ClientHello; it presents no
// certificate, so no session ever forms from it.
asio::ssl::context& probeContext() {
  static asio::ssl::context context = [] {
    asio::ssl::context c(asio::ssl::context::tlsv13_client);
    c.set_verify_mode(asio::ssl::verify_none);
    return c;
  }();
  return context;
}
}  // namespace

std::optional<NearbyPeer> nearbyPeerFromService(const ServiceInstance& instance,
                                                const PeerID& local, std::string* reason) {
  const auto id = instance.txt.find("id");
  const auto version = instance.txt.find("v");
  const auto identifier =
      id == instance.txt.end() ? std::nullopt : peers::identifierFromHex(id->second);
  if (!identifier) {
    *reason = "no valid peer identifier";
    return std::nullopt;
  }
  if (*identifier == local.identifier()) return std::nullopt;
  if (version == instance.txt.end() || version->second != std::to_string(peers::kProtocolVersion)) {
    // Older versions speak in clear text; there is no falling back to them.
    const bool older = version != instance.txt.end() && version->second.size() == 1 &&
                       version->second[0] >= '1' &&
                       version->second[0] < '0' + peers::kProtocolVersion;
    *reason = "protocol version " +
              (version == instance.txt.end() ? std::string("(none)") : version->second) +
              " is not " + std::to_string(peers::kProtocolVersion) +
              (older ? " (needs update)" : "");
    return std::nullopt;
  }
  // A device advertises the name its hello carries (a newcomer that found
  // its name taken uses "name #2" for both). A name that is not as a hello
  // may carry it (invisible characters, outer blanks) would be listed as
  // something it is not.
  auto peer = PeerID::fromWire(instance.name, *identifier);
  if (!peer) {
    peers::NameProblem problem = peers::NameProblem::None;
    peers::normalizeDisplayName(instance.name, &problem);
    *reason = problem == peers::NameProblem::None
                  ? std::string("invalid name: not in its normal form")
                  : std::string("invalid name: it ") + peers::nameProblemText(problem);
    return std::nullopt;
  }
  return NearbyPeer{*peer, {instance.address, instance.port}, instance.name};
}

struct PeerBrowser::State {
  struct Entry {
    std::string key;  // discovery key
    NearbyPeer peer;
    bool hidden = false;  // did not answer a re-check
  };
  // A hidden peer whose records are still cached is asked again, less and
  // less often: when it answers it is listed again. Transport thread only.
  struct Retry {
    int attempts = 0;
    std::uint64_t generation = 0;  // the timer that may still act
  };

  explicit State(const PeerID& local) : localPeer(local) {}
  PeerID localPeer;
  mutable std::mutex mutex;
  std::vector<Entry> entries;
  std::function<void(const std::vector<NearbyPeer>&)> changed;
  std::uint16_t localPort = 0;                 // under mutex: our session's port
  std::set<peers::Identifier> checking;        // transport thread only
  std::set<peers::Identifier> connected;       // transport thread only
  std::map<peers::Identifier, Retry> retries;  // transport thread only
  LogLimiter ignoredLog;
  LogLimiter hiddenLog;
  LogLimiter sharedKeyLog;

  std::vector<NearbyPeer> snapshot() const {
    std::vector<NearbyPeer> peers;
    for (const auto& keyed : entries) {
      if (keyed.hidden) continue;
      const NearbyPeer& entry = keyed.peer;
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
    std::string reason;
    auto entry = nearbyPeerFromService(instance, localPeer, &reason);
    if (!entry) {
      if (!reason.empty()) {
        QUR_LOG_LIMITED(ignoredLog, LogFlagWarning, "Ignoring service \"%s\": %s",
                        instance.name.c_str(), reason.c_str());
      } else if (instance.port != currentLocalPort()) {
        // Our key, somebody else's port: a copy of our key folder runs there,
        // and neither device will ever list the other.
        QUR_LOG_LIMITED(sharedKeyLog, LogFlagWarning,
                        "Service \"%s\" at %s port %u advertises this device's own key: another "
                        "program runs with a copy of its key folder, and the two cannot see "
                        "each other",
                        instance.name.c_str(), instance.address.c_str(), instance.port);
      }
      return;
    }
    {
      std::lock_guard lock(mutex);
      auto it = std::find_if(entries.begin(), entries.end(), [&](auto& e) { return e.key == key; });
      if (it != entries.end()) {
        *it = Entry{key, *entry, false};
      } else {
        entries.push_back(Entry{key, *entry, false});
      }
    }
    notify();
  }

  std::uint16_t currentLocalPort() const {
    std::lock_guard lock(mutex);
    return localPort;
  }

  void lost(const std::string& key) {
    {
      std::lock_guard lock(mutex);
      auto before = entries.size();
      std::erase_if(entries, [&](auto& e) { return e.key == key; });
      if (before == entries.size()) return;
    }
    notify();
  }

  // Transport thread. retrying: a hidden peer asked again; else a listed one.
  void recheck(Transport& transport, const PeerID& peer, bool retrying = false) {
    std::optional<PeerEndpoint> endpoint;
    {
      std::lock_guard lock(mutex);
      for (const auto& e : entries)
        if (e.hidden == retrying && e.peer.peer == peer) endpoint = e.peer.endpoint;
    }
    if (!endpoint || !checking.insert(peer.identifier()).second) return;
    std::error_code ec;
    const auto address = asio::ip::make_address_v4(endpoint->address, ec);
    if (ec) {
      checking.erase(peer.identifier());
      return;
    }
    struct Probe {
      explicit Probe(asio::io_context& io) : stream(io, probeContext()), timer(io) {}
      peers::TlsStream stream;
      asio::ip::tcp::socket& socket = stream.next_layer();
      asio::steady_timer timer;
    };
    auto probe = std::make_shared<Probe>(ioContext(transport));
    auto self = shared_from_this_state();
    probe->timer.expires_after(std::chrono::milliseconds(kRecheckTimeoutMs));
    probe->timer.async_wait([probe](const std::error_code& error) {
      if (error) return;
      std::error_code ignored;
      probe->socket.close(ignored);
    });
    auto finish = [self, probe, peer, where = *endpoint, &transport, retrying](bool alive) {
      probe->timer.cancel();
      std::error_code ignored;
      probe->socket.close(ignored);
      self->checking.erase(peer.identifier());
      if (alive && retrying) {
        self->show(peer, where);
      } else if (!alive && self->connected.count(peer.identifier())) {
        // It connected to us while the check ran: that answers the question.
      } else if (!alive) {
        self->hide(peer, where);
        self->scheduleRetry(transport, peer);
      }
    };
    // A live session answers a ClientHello at once (its refusal of our
    // missing certificate is an answer too); a process that is exiting may
    // still complete the connection but never says anything.
    probe->socket.async_connect(
        asio::ip::tcp::endpoint(address, endpoint->port),
        [probe, finish](const std::error_code& error) {
          if (error) return finish(false);
          probe->stream.async_handshake(
              asio::ssl::stream_base::client, [finish](const std::error_code& handshakeError) {
                finish(!handshakeError ||
                       handshakeError.category() == asio::error::get_ssl_category());
              });
        });
  }

  // Transport thread: 1, 2, 4 s after hiding, then every kRetryCapMs while
  // the peer's records stay cached (a device back from a link loss announces
  // the same records, which tells the browser nothing new).
  void scheduleRetry(Transport& transport, const PeerID& peer) {
    auto& retry = retries[peer.identifier()];
    const int delayMs = std::min(kRetryCapMs, 1000 << std::min(retry.attempts, 4));
    ++retry.attempts;
    const std::uint64_t generation = ++retry.generation;
    // The handler owns its timer, so the timer ends on this thread.
    auto timer = std::make_shared<asio::steady_timer>(ioContext(transport),
                                                      std::chrono::milliseconds(delayMs));
    std::weak_ptr<State> weak = self;
    timer->async_wait([weak, timer, &transport, peer, generation](const std::error_code& error) {
      auto state = weak.lock();
      if (error || !state) return;
      const auto found = state->retries.find(peer.identifier());
      if (found == state->retries.end() || found->second.generation != generation) return;
      bool stillHidden = false;
      {
        std::lock_guard lock(state->mutex);
        for (const auto& e : state->entries)
          if (e.hidden && e.peer.peer == peer) stillHidden = true;
      }
      if (!stillHidden) {
        state->retries.erase(found);
        return;
      }
      state->recheck(transport, peer, true);
      // A check already running for it reports by itself; otherwise ask again later.
      if (!state->checking.count(peer.identifier())) state->scheduleRetry(transport, peer);
    });
  }

  void hide(const PeerID& peer, const PeerEndpoint& where) {
    bool changed = false;
    {
      std::lock_guard lock(mutex);
      for (auto& e : entries) {
        // An entry that moved meanwhile was announced again: keep it.
        if (e.hidden || e.peer.peer != peer || e.peer.endpoint.address != where.address ||
            e.peer.endpoint.port != where.port)
          continue;
        e.hidden = true;
        changed = true;
      }
    }
    if (!changed) return;
    QUR_LOG_LIMITED(hiddenLog, LogFlagWarning,
                    "Nearby peer %s at %s port %u does not answer; no longer listed",
                    peer.description().c_str(), where.address.c_str(), where.port);
    notify();
  }

  // It answered (a re-check, or a connection): listed again where it was.
  void show(const PeerID& peer, const std::optional<PeerEndpoint>& where = std::nullopt) {
    retries.erase(peer.identifier());
    bool changed = false;
    {
      std::lock_guard lock(mutex);
      for (auto& e : entries) {
        if (!e.hidden || e.peer.peer != peer) continue;
        if (where &&
            (e.peer.endpoint.address != where->address || e.peer.endpoint.port != where->port))
          continue;
        e.hidden = false;
        changed = true;
      }
    }
    if (!changed) return;
    QUR_LOG_LIMITED(hiddenLog, LogFlagInfo, "Nearby peer %s answers again; listed",
                    peer.description().c_str());
    notify();
  }

  // Transport thread.
  void stateChanged(Transport& transport, const PeerID& peer, PeerSessionState state) {
    if (state == PeerSessionState::Connected) {
      connected.insert(peer.identifier());
      show(peer);
    } else if (state == PeerSessionState::NotConnected) {
      connected.erase(peer.identifier());
      recheck(transport, peer);
    }
  }

  std::shared_ptr<State> shared_from_this_state() { return self.lock(); }
  std::weak_ptr<State> self;
};

std::shared_ptr<PeerBrowser> PeerBrowser::create(std::string serviceType,
                                                 std::shared_ptr<PeerSession> session) {
  if (!session) return nullptr;
  return std::shared_ptr<PeerBrowser>(new PeerBrowser(std::move(serviceType), std::move(session)));
}

PeerBrowser::PeerBrowser(std::string serviceType, std::shared_ptr<PeerSession> session)
    : _serviceType(std::move(serviceType)),
      _session(std::move(session)),
      _transport(_session->transport()),
      _state(std::make_shared<State>(_session->myPeerID())) {
  _state->self = _state;
  _state->localPort = _session->port();
}

std::shared_ptr<PeerSession> PeerBrowser::session() const {
  std::lock_guard lock(_mutex);
  return _session;
}

void PeerBrowser::setSession(std::shared_ptr<PeerSession> session) {
  if (!session) return;
  if (session->myPeerID() != _state->localPeer || session->transport() != _transport) {
    QUR_LOG_ERROR("The browser cannot follow a session of another peer or transport");
    return;
  }
  {
    std::lock_guard lock(_state->mutex);
    _state->localPort = session->port();
  }
  std::lock_guard lock(_mutex);
  _session = std::move(session);
}

void PeerBrowser::recheck(const PeerID& peer) {
  std::weak_ptr<State> weak = _state;
  auto transport = _transport;
  transport->post([weak, transport, peer] {
    if (auto state = weak.lock()) state->recheck(*transport, peer);
  });
}

void PeerBrowser::sessionPeerDidChangeState(const std::shared_ptr<PeerSession>&, const PeerID& peer,
                                            PeerSessionState state) {
  // In the order the session reported them: a check that a connection
  // overtook must not hide the peer.
  std::weak_ptr<State> weak = _state;
  auto transport = _transport;
  transport->post([weak, transport, peer, state] {
    if (auto s = weak.lock()) s->stateChanged(*transport, peer, state);
  });
}

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
  auto transport = _transport;
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
  auto current = session();
  if (current->connectedPeers().size() + 1 >= maximumNumberOfPeers()) {
    QUR_LOG_ERROR("Cannot invite %s: the session holds its %zu peers", peer.description().c_str(),
                  maximumNumberOfPeers());
    return false;
  }
  current->invitePeer(target->endpoint, target->peer);
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
