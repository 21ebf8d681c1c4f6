#include "peers/peer_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "log/log.h"
#include "peers/peer_session_core.h"

namespace qur {

InvitationHandler acceptAllInvitations() {
  return [](const PeerID&, std::function<void(bool)> reply) { reply(true); };
}

InvitationHandler declineAllInvitations() {
  return [](const PeerID&, std::function<void(bool)> reply) { reply(false); };
}

const char* invitationOutcomeName(InvitationOutcome outcome) {
  switch (outcome) {
    case InvitationOutcome::Accepted:
      return "accepted";
    case InvitationOutcome::Declined:
      return "declined";
    case InvitationOutcome::TimedOut:
      return "timed out";
    case InvitationOutcome::Unreachable:
      return "unreachable";
    case InvitationOutcome::Withdrawn:
      return "withdrawn";
    case InvitationOutcome::Refused:
      return "refused";
  }
  return "?";
}

const char* peerDisconnectReasonName(PeerDisconnectReason reason) {
  switch (reason) {
    case PeerDisconnectReason::Local:
      return "local";
    case PeerDisconnectReason::Left:
      return "left";
    case PeerDisconnectReason::NoAnswer:
      return "no answer";
    case PeerDisconnectReason::Broken:
      return "connection lost";
    case PeerDisconnectReason::Other:
      break;
  }
  return "closed";
}

namespace peers::testing {
// Benchmarks weigh TLS against the same chain in clear TCP; no program sets it.
std::atomic<bool> plainSessions{false};
void setPlainSessions(bool plain) {
  plainSessions = plain;
}
}  // namespace peers::testing

// --- Core ---------------------------------------------------------------

PeerSession::Core::Core(const PeerID& peer, const Options& options,
                        std::shared_ptr<Transport> transport,
                        std::shared_ptr<peers::TlsContext> tls)
    : localPeer(peer),
      options(options),
      transport(std::move(transport)),
      tls(std::move(tls)),
      plain(peers::testing::plainSessions.load()),
      io(ioContext(*this->transport)),
      acceptor(io) {}

bool PeerSession::Core::open() {
  std::error_code ec;
  acceptor.open(tcp::v4(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(tcp::endpoint(tcp::v4(), 0), ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    QUR_LOG_ERROR("Peer session cannot listen: %s", ec.message().c_str());
    return false;
  }
  listenPort = acceptor.local_endpoint(ec).port();
  return !ec;
}

// A new connection from outside. Past the per-address bound it is closed;
// past the overall bound the oldest pending connection of the busiest
// address makes room, so a flood from many addresses pushes out its own
// connections rather than a colleague's, or the liveness check of a browser
// that wonders whether we are still here. Connections that proved a pinned
// key, or whose invitation waits for the user, are never pushed out.
bool PeerSession::Core::admit(const tcp::socket& socket) {
  std::error_code ec;
  const auto endpoint = socket.remote_endpoint(ec);
  if (ec) return false;
  const auto address = endpoint.address();
  const auto v4 = address.is_v4() ? address.to_v4() : asio::ip::address_v4();
  std::map<asio::ip::address_v4, std::size_t> perAddress;
  std::size_t pending = 0;
  for (auto& c : connections) {
    if (!c->incoming || c->closed || c->phase() == ConnectionPhase::Connected) continue;
    ++pending;
    ++perAddress[c->remoteAddress];
  }
  if (perAddress[v4] >= options.maxPendingPerAddress) {
    QUR_LOG_LIMITED(refusalLog, LogFlagWarning,
                    "Refusing connection from %s: too many pending from there",
                    address.to_string().c_str());
    return false;
  }
  if (pending < options.maxPendingConnections) return true;
  std::shared_ptr<Connection> victim;
  for (auto& c : connections) {
    if (!c->incoming || c->closed || c->phase() == ConnectionPhase::Connected || c->knownKey ||
        c->asked)
      continue;
    const auto count = perAddress[c->remoteAddress];
    const auto victimCount = victim ? perAddress[victim->remoteAddress] : 0;
    if (!victim || count > victimCount ||
        (count == victimCount && c->admittedAt < victim->admittedAt))
      victim = c;
  }
  if (!victim) {
    QUR_LOG_LIMITED(refusalLog, LogFlagWarning,
                    "Refusing connection from %s: too many pending connections",
                    address.to_string().c_str());
    return false;
  }
  QUR_LOG_LIMITED(evictionLog, LogFlagWarning,
                  "Pending connections are full: closing the oldest from %s (%zu pending from "
                  "there) for one from %s",
                  victim->remoteAddress.to_string().c_str(), perAddress[victim->remoteAddress],
                  address.to_string().c_str());
  close(victim, nullptr, 0);
  return true;
}

bool PeerSession::Core::isKnownKey(const peers::Identifier& id) const {
  std::function<bool(const peers::Identifier&)> check;
  {
    std::lock_guard lock(mutex);
    check = knownKey;
  }
  return check && check(id);
}

void PeerSession::Core::startAccept() {
  auto self = shared_from_this();
  listening = true;
  acceptor.async_accept([self](const std::error_code& ec, tcp::socket socket) {
    if (self->shutDown || !self->listening) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      // Out of descriptors and the like: wait a little instead of spinning.
      QUR_LOG_LIMITED(self->acceptLog, LogFlagError, "Accepting a peer connection failed: %s",
                      ec.message().c_str());
      auto timer = std::make_shared<asio::steady_timer>(self->io, std::chrono::milliseconds(100));
      timer->async_wait([self, timer](const std::error_code&) {
        if (self->listening) self->startAccept();
      });
      return;
    }
    if (!self->admit(socket)) {
      std::error_code ignored;
      socket.close(ignored);
    } else {
      auto c = std::make_shared<Connection>(
          *self, peers::TlsStream(std::move(socket), self->tls->context()), true);
      c->coreRef = self;
      self->connections.insert(c);
      c->secure();
    }
    self->startAccept();
  });
}

std::size_t PeerSession::Core::memberCount() const {
  std::lock_guard lock(mutex);
  return connected.size();
}

bool PeerSession::Core::isConnectedOrConnecting(const peers::Identifier& id) const {
  for (auto& c : connections)
    if (!c->closed && !c->decided && !c->withdrawn && !c->superseded && c->identity() == id)
      return true;
  return false;
}

bool PeerSession::Core::inviteeAllowed(const PeerID& invitee) {
  InviteeCheck check;
  {
    std::lock_guard lock(mutex);
    check = inviteeCheck;
  }
  return !check || check(invitee);
}

std::shared_ptr<Connection> PeerSession::Core::findConnected(const PeerID& peer) const {
  std::lock_guard lock(mutex);
  for (auto& [id, c] : connected)
    if (id == peer) return c;
  return nullptr;
}

void PeerSession::Core::show(const std::shared_ptr<Connection>& c, PeerSessionState state) {
  const auto id = c->identity();
  if (!id) return;
  c->reported = true;
  const PeerID peer = c->peer ? *c->peer : *c->expected;
  auto found = visible.find(*id);
  if (found != visible.end() && static_cast<int>(found->second) >= static_cast<int>(state)) return;
  visible[*id] = state;
  reportState(peer, state);
}

bool PeerSession::Core::isLastShownLink(const std::shared_ptr<Connection>& c) const {
  if (!c->reported) return false;
  const auto id = c->identity();
  if (!id) return false;
  // Another live link to the same peer keeps it shown.
  for (auto& other : connections)
    if (other != c && !other->closed && other->reported && other->identity() == id) return false;
  return true;
}

void PeerSession::Core::hide(const std::shared_ptr<Connection>& c) {
  const bool last = isLastShownLink(c);
  c->reported = false;
  if (!last) return;
  const auto id = c->identity();
  visible.erase(*id);
  reportState(c->peer ? *c->peer : *c->expected, PeerSessionState::NotConnected);
}

void PeerSession::Core::reportInvitation(const PeerID& peer, bool invitedUs,
                                         InvitationOutcome outcome, const std::string& detail) {
  InvitationResultHandler handler;
  {
    std::lock_guard lock(mutex);
    handler = invitationResultHandler;
  }
  QUR_LOG_LIMITED(invitationLog, LogFlagInfo, "Invitation %s %s: %s", invitedUs ? "from" : "to",
                  peer.description().c_str(), invitationOutcomeName(outcome));
  if (handler) handler({peer, invitedUs, outcome, detail});
}

void PeerSession::Core::refuseJoin(const std::shared_ptr<Connection>& c, const char* why) {
  QUR_LOG_LIMITED(joinRefusalLog, LogFlagWarning, "Refusing join from %s at %s: %s",
                  c->name().c_str(), c->remoteDescription.c_str(), why);
  c->pendingJoinVoucher.reset();
  c->decline(peers::DeclineReason::Declined);
  hide(c);
}

// Two links to one peer: crossed invitations, or someone claiming an
// identity that is already here. Returns false when c was closed.
bool PeerSession::Core::resolveDuplicate(const std::shared_ptr<Connection>& c) {
  const auto id = c->identity();
  if (!id) return true;
  std::shared_ptr<Connection> other;
  for (auto& o : connections)
    if (o != c && !o->closed && !o->decided && !o->withdrawn && !o->superseded &&
        o->identity() == id)
      other = o;
  if (!other) return true;
  // A second link between the same two hosts has one dialled by each; any
  // other claim to a known identity is an impostor or a stale retry.
  const bool sameHost = other->remoteAddress == c->remoteAddress;
  if (!sameHost || other->incoming == c->incoming) {
    QUR_LOG_LIMITED(refusalLog, LogFlagWarning, "Refusing connection from %s: %s is already %s",
                    c->remoteDescription.c_str(), c->name().c_str(),
                    other->phase() == ConnectionPhase::Connected ? "connected" : "pending");
    if (c->incoming && c->phase() != ConnectionPhase::AwaitingHello) {
      c->decline(peers::DeclineReason::Declined);
      hide(c);
    } else {
      close(c, nullptr, 0);
    }
    return false;
  }
  // Both sides keep the link dialled by the smaller identifier.
  const bool localDialsWinner = localPeer.identifier() < *id;
  auto winner = c->dialledByUs() == localDialsWinner ? c : other;
  auto loser = winner == c ? other : c;
  QUR_LOG_LIMITED(invitationLog, LogFlagInfo, "Two links to %s; keeping the one %s dialled",
                  c->name().c_str(), localDialsWinner ? "we" : "it");
  if (loser->inviting) {
    // Our invitation now rides on the kept link; theirs to us is consent,
    // if the device is still one we may invite.
    loser->inviting = false;
    winner->inviting = true;
    if (winner->incoming && winner->peer && inviteeAllowed(*winner->peer)) {
      winner->autoAccept = true;
    }
  }
  if (loser->asked) {
    loser->asked = false;
    loser->endAsked(InvitationOutcome::Withdrawn);
  }
  if (loser->reported) winner->reported = true;  // the peer stays shown through the kept link
  const auto winnerCopy = winner;
  if (loser->incoming) {
    // Its dialler closes it once it sees our link: closing it here could
    // reach the other side before our link does, and look like a refusal.
    loser->superseded = true;
    loser->armHandshake(options.handshakeTimeoutMs);
  } else {
    close(loser, nullptr, 0);
  }
  if (winnerCopy->autoAccept && winnerCopy->phase() == ConnectionPhase::AwaitingDecision &&
      !winnerCopy->decided && winnerCopy->request == Request::Invite) {
    winnerCopy->answerInvitation(true);
  }
  return winner == c && !c->closed;
}

void PeerSession::Core::dial(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected,
                             Request request, const std::optional<peers::Identifier>& voucher,
                             std::optional<peers::Identifier> expectedKey) {
  if (expected) expectedKey = expected->identifier();
  std::error_code ec;
  const auto address = asio::ip::make_address_v4(endpoint.address, ec);
  if (ec || endpoint.port == 0) {
    QUR_LOG_ERROR("Cannot invite a peer at \"%s\" port %u", endpoint.address.c_str(),
                  endpoint.port);
    if (expected && request == Request::Invite) {
      reportState(*expected, PeerSessionState::NotConnected);
      reportInvitation(*expected, false, InvitationOutcome::Unreachable);
    }
    return;
  }
  if (expected && *expected == localPeer) return;
  if (expected && isConnectedOrConnecting(expected->identifier())) {
    if (request != Request::Invite) return;
    // They are inviting us already: inviting back is a yes, and our
    // invitation's outcome is that link's.
    for (auto& c : std::vector(connections.begin(), connections.end())) {
      if (c->closed || c->decided || !c->incoming || c->identity() != expected->identifier())
        continue;
      if (c->phase() == ConnectionPhase::Connected) {
        reportInvitation(*expected, false, InvitationOutcome::Accepted);
      } else if (c->peer && !inviteeAllowed(*c->peer)) {
        // Its own invitation still goes to the user; ours is not sent.
        reportInvitation(*expected, false, InvitationOutcome::Unreachable);
      } else {
        c->inviting = true;
        c->autoAccept = true;
        if (c->asked) c->answerInvitation(true);
      }
    }
    return;
  }
  if (memberCount() + 1 >= PeerSession::kMaximumPeers) {
    // Introductions reach here too: a member may send any number.
    QUR_LOG_LIMITED(invitationLog, LogFlagWarning,
                    "Session is full (%zu peers); not inviting another",
                    PeerSession::kMaximumPeers);
    if (expected && request == Request::Invite) {
      reportState(*expected, PeerSessionState::NotConnected);
      reportInvitation(*expected, false, InvitationOutcome::Declined);
    }
    return;
  }
  auto c = std::make_shared<Connection>(*this, peers::TlsStream(io, tls->context()), false);
  c->coreRef = shared_from_this();
  c->request = request;
  c->voucher = voucher;
  c->expected = expected;
  c->expectedKey = expectedKey;
  if (expected) c->handshake.expect(expected->identifier());
  c->inviting = request == Request::Invite;
  c->remoteAddress = address;
  c->remoteDescription = endpoint.address + ":" + std::to_string(endpoint.port);
  connections.insert(c);
  if (expected) show(c, PeerSessionState::Connecting);
  c->armHandshake(options.handshakeTimeoutMs);
  c->socket().async_connect(tcp::endpoint(address, endpoint.port), [c](const std::error_code& ec) {
    if (c->closed) return;
    if (ec) {
      c->core.close(c, "connect failed", LogFlagWarning);
      return;
    }
    c->secure();
  });
}

void PeerSession::Core::close(const std::shared_ptr<Connection>& c, const char* reason,
                              int logFlag) {
  if (c->closed) return;
  if (reason && logFlag) {
    // What ends a connection is mostly up to the other side: a flood of
    // endings makes one line of each kind, with a count.
    std::string kind(reason, std::min<std::size_t>(std::strlen(reason), 40));
    kind = kind.substr(0, kind.find(':'));
    std::erase_if(kind, [](char ch) { return ch >= '0' && ch <= '9'; });
    QUR_LOG_LIMITED_KIND(closeLog, kind, logFlag, "Closing peer connection %s: %s",
                         c->name().c_str(), reason);
  }
  {
    std::lock_guard lock(c->sendMutex);
    c->closed = true;
    c->queue.clear();
    c->queuedBytes = 0;
  }
  {
    std::lock_guard lock(c->gate->mutex);
    c->gate->resume = nullptr;
  }
  std::error_code ignored;
  c->handshakeTimer.cancel();
  c->keepAliveTimer.cancel();
  c->socket().close(ignored);
  connections.erase(c);
  bool wasConnected = false;
  PeerDisconnectHandler disconnected;
  {
    std::lock_guard lock(mutex);
    wasConnected = std::erase_if(connected, [&](auto& entry) { return entry.second == c; }) > 0;
    disconnected = disconnectHandler;
  }
  // Told before the state report, so whoever hears both learns why first.
  if (wasConnected && c->peer && disconnected && isLastShownLink(c)) {
    PeerDisconnect gone{*c->peer, withdrawing ? PeerDisconnectReason::Local : c->endReason};
    if (gone.reason == PeerDisconnectReason::NoAnswer) gone.silenceMs = options.keepAliveTimeoutMs;
    disconnected(gone);
  }
  hide(c);
  if (c->asked) {
    c->asked = false;
    c->endAsked(InvitationOutcome::Withdrawn);
  }
  if (c->inviting) {
    c->inviting = false;
    const PeerID peer = c->peer ? *c->peer : c->expected ? *c->expected : localPeer;
    if (peer != localPeer) {
      const auto outcome = withdrawing || c->withdrawn ? InvitationOutcome::Withdrawn
                           : !c->refusal.empty()       ? InvitationOutcome::Refused
                           : c->answerTimedOut         ? InvitationOutcome::TimedOut
                                                       : InvitationOutcome::Unreachable;
      reportInvitation(peer, false, outcome, c->refusal);
    }
  }
  // Questions about devices it introduced lose their voucher.
  if (c->peer && c->phase() == ConnectionPhase::Connected) {
    std::vector<peers::Identifier> orphaned;
    for (auto& [newcomer, question] : dialQuestions)
      if (question.member == *c->peer) orphaned.push_back(newcomer);
    for (auto& newcomer : orphaned) endDialQuestion(newcomer, InvitationOutcome::Withdrawn);
  }
}

void PeerSession::Core::closeAll(bool report) {
  withdrawing = true;
  const auto all = connections;
  const auto bye = peers::encodeFrame(FrameType::Bye, {});
  for (auto& c : all) {
    // Best effort: tell the peer at once so it need not wait for the keep-alive.
    // Not while a write is in flight: its record is half sent.
    bool idle = false;
    {
      std::lock_guard lock(c->sendMutex);
      idle = !c->writing;
    }
    if (c->proven && idle && c->phase() != ConnectionPhase::AwaitingHello) {
      std::error_code ignored;
      c->socket().non_blocking(true, ignored);
      if (plain) {
        asio::write(c->socket(), asio::buffer(bye), ignored);
      } else {
        asio::write(c->stream, asio::buffer(bye), ignored);
      }
    }
    if (!report) c->reported = false;
    close(c, nullptr, 0);
  }
  introductions.clear();
  while (!dialQuestions.empty())
    endDialQuestion(dialQuestions.begin()->first, InvitationOutcome::Withdrawn);
  if (!report) visible.clear();
  withdrawing = false;
}

void PeerSession::Core::reportState(const PeerID& peer, PeerSessionState state) {
  auto session = owner.lock();
  std::shared_ptr<PeerSessionDelegate> d;
  {
    std::lock_guard lock(mutex);
    d = delegate.lock();
  }
  if (session && d) d->sessionPeerDidChangeState(session, peer, state);
}

void PeerSession::Core::reportData(std::vector<std::uint8_t>&& data, const PeerID& peer,
                                   const std::shared_ptr<Connection>& from) {
  auto session = owner.lock();
  std::shared_ptr<PeerSessionDelegate> d;
  {
    std::lock_guard lock(mutex);
    d = delegate.lock();
  }
  if (!session || !d) return;
  const std::size_t size = data.size();
  auto message = std::make_shared<const std::vector<std::uint8_t>>(std::move(data));
  d->sessionDidReceiveMessageFromPeer(session, message, peer, from->takeTicket(size));
}

void PeerSession::Core::becomeConnected(const std::shared_ptr<Connection>& c) {
  if (!resolveDuplicate(c)) return;
  if (auto existing = findConnected(*c->peer)) {
    if (!existing->superseded) {
      close(c, "already connected to this peer", LogFlagWarning);
      return;
    }
    std::lock_guard lock(mutex);
    std::erase_if(connected, [&](auto& entry) { return entry.second == existing; });
  }
  c->handshake.connected();
  c->handshakeTimer.cancel();
  introductions.erase(c->peer->identifier());
  {
    std::lock_guard lock(mutex);
    connected.emplace_back(*c->peer, c);
  }
  show(c, PeerSessionState::Connected);
  if (c->closed) return;
  if (c->inviting) {
    c->inviting = false;
    reportInvitation(*c->peer, false, InvitationOutcome::Accepted);
  }
  if (!c->closed) introduce(c);
}

void PeerSession::Core::introduce(const std::shared_ptr<Connection>& newcomer) {
  std::vector<std::shared_ptr<Connection>> members;
  {
    std::lock_guard lock(mutex);
    for (auto& [id, c] : connected)
      if (c != newcomer) members.push_back(c);
  }
  auto introductionOf = [](const Connection& c) {
    peers::Introduction in;
    in.identifier = c.peer->identifier();
    in.address = c.remoteAddress.to_bytes();
    in.port = c.remoteListenPort;
    in.displayName = c.peer->displayName();
    return peers::encodeIntroduction(in);
  };
  for (auto& m : members) {
    if (m->remoteListenPort == 0 || newcomer->remoteListenPort == 0) continue;
    newcomer->send(FrameType::Introduce, introductionOf(*m));
    m->send(FrameType::Introduce, introductionOf(*newcomer));
  }
}

void PeerSession::Core::handleIntroduction(const std::shared_ptr<Connection>& from,
                                           const peers::Introduction& in) {
  if (in.identifier == localPeer.identifier()) return;
  // A member that does not listen was let in for its own link only.
  if (from->remoteListenPort == 0) {
    if (auto quiet = introductionLog.admit()) {
      QUR_LOG_WARN(
          "Ignoring an introduction from %s: it does not listen, so it vouches for nobody "
          "(%zu more ignored since the last report)",
          from->name().c_str(), *quiet);
    }
    return;
  }
  if (introductions.size() > 4 * PeerSession::kMaximumPeers &&
      !introductions.count(in.identifier)) {
    return;  // a member flooding us with introductions gets no more room
  }
  const asio::ip::address_v4 address(in.address);
  auto& vouched = introductions[in.identifier];
  if (vouched.size() < PeerSession::kMaximumPeers)
    vouched.emplace(from->peer->identifier(), address, in.displayName);
  // A newcomer that already knocked waits in AwaitingDecision for this; it
  // gets in only from where the member says it is, and only if we agree.
  for (auto& c : std::vector(connections.begin(), connections.end())) {
    if (c->closed || c->phase() != ConnectionPhase::AwaitingDecision ||
        c->request != Request::Join || !c->peer || c->peer->identifier() != in.identifier ||
        !c->pendingJoinVoucher || *c->pendingJoinVoucher != from->peer->identifier()) {
      continue;
    }
    if (c->remoteAddress == address) {
      c->askAboutJoin(*from->peer, in.displayName);
    } else {
      refuseJoin(c, ("the member introduced it at " + address.to_string()).c_str());
    }
    return;
  }
  if (isConnectedOrConnecting(in.identifier) || dialQuestions.count(in.identifier)) return;
  // Exactly one side dials: the one with the smaller identifier.
  if (localPeer.identifier() < in.identifier) askToDial(from, in);
}

void PeerSession::Core::askToDial(const std::shared_ptr<Connection>& member,
                                  const peers::Introduction& in) {
  const auto peer = PeerID::fromWire(in.displayName, in.identifier);
  if (!peer) return;
  const PeerEndpoint endpoint{asio::ip::address_v4(in.address).to_string(), in.port};
  IntroductionHandler handler;
  {
    std::lock_guard lock(mutex);
    handler = introductionHandler;
  }
  // The member vouches for the key: the newcomer must prove it holds it.
  if (!handler) {
    dial(endpoint, *peer, Request::Join, member->peer->identifier(), in.identifier);
    return;
  }
  DialQuestion question{*peer, *member->peer, endpoint, std::make_shared<asio::steady_timer>(io),
                        nextQuestion++};
  const auto serial = question.serial;
  const auto newcomer = in.identifier;
  std::weak_ptr<Core> weak = shared_from_this();
  question.timer->expires_after(std::chrono::milliseconds(options.invitationTimeoutMs));
  question.timer->async_wait([weak, newcomer, serial](const std::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self) return;
    const auto found = self->dialQuestions.find(newcomer);
    if (found != self->dialQuestions.end() && found->second.serial == serial)
      self->endDialQuestion(newcomer, InvitationOutcome::TimedOut);
  });
  dialQuestions.insert_or_assign(newcomer, question);
  QUR_LOG_INFO("%s introduced %s at %s; asking before dialling it",
               member->peer->description().c_str(), peer->description().c_str(),
               endpoint.address.c_str());
  auto* context = &io;
  handler({*peer, *member->peer, endpoint.address, true}, [weak, context, newcomer,
                                                           serial](bool admit) {
    asio::post(*context, [weak, newcomer, serial, admit] {
      auto self = weak.lock();
      if (!self || self->shutDown) return;
      const auto found = self->dialQuestions.find(newcomer);
      if (found == self->dialQuestions.end() || found->second.serial != serial) {
        QUR_LOG_INFO("The introduction of %s is gone; nothing to %s",
                     peers::identifierToHex(newcomer).c_str(), admit ? "accept" : "decline");
        return;
      }
      const DialQuestion question = found->second;
      self->dialQuestions.erase(found);
      question.timer->cancel();
      self->reportInvitation(question.peer, true,
                             admit ? InvitationOutcome::Accepted : InvitationOutcome::Declined);
      if (!admit || self->isConnectedOrConnecting(newcomer)) return;
      // Only a member still here vouches.
      if (!self->findConnected(question.member)) return;
      self->dial(question.endpoint, question.peer, Request::Join, question.member.identifier(),
                 newcomer);
    });
  });
}

void PeerSession::Core::endDialQuestion(const peers::Identifier& newcomer,
                                        InvitationOutcome outcome) {
  const auto found = dialQuestions.find(newcomer);
  if (found == dialQuestions.end()) return;
  const DialQuestion question = found->second;
  dialQuestions.erase(found);
  question.timer->cancel();
  reportInvitation(question.peer, true, outcome);
}

void PeerSession::Core::withdraw(const PeerID& peer) {
  for (auto& c : std::vector(connections.begin(), connections.end())) {
    if (c->closed || !c->inviting || c->withdrawn || c->phase() == ConnectionPhase::Connected ||
        c->identity() != peer.identifier()) {
      continue;
    }
    QUR_LOG_INFO("Withdrawing the invitation to %s", c->name().c_str());
    c->withdrawn = true;
    // Told, where a Hello has gone out: a Bye rather than a broken link.
    if (c->proven && c->phase() != ConnectionPhase::AwaitingHello) {
      c->leave(FrameType::Bye);
    } else {
      close(c, nullptr, 0);
    }
  }
}

// --- Connection: invitations and joins ----------------------------------

void Connection::endAsked(InvitationOutcome outcome) {
  asked = false;
  {
    std::lock_guard lock(core.mutex);
    core.pendingInvitations.erase(*peer);
  }
  core.reportInvitation(*peer, true, outcome);
}

void Connection::handleRequest(const std::optional<peers::Identifier>& joinVoucher) {
  auto self = shared_from_this();
  if (superseded) return;  // the kept link carries the answer
  request = joinVoucher ? Request::Join : Request::Invite;
  handshake.deciding();
  if (core.memberCount() + 1 >= PeerSession::kMaximumPeers) {
    QUR_LOG_LIMITED(core.refusalLog, LogFlagWarning, "Declining %s: the session is full",
                    name().c_str());
    decline(peers::DeclineReason::Full);
    return;
  }
  if (request == Request::Join) {
    std::optional<PeerID> member;
    std::uint16_t memberPort = 0;
    {
      std::lock_guard lock(core.mutex);
      for (auto& [id, c] : core.connected) {
        if (id.identifier() != *joinVoucher) continue;
        member = id;
        memberPort = c->remoteListenPort;
      }
    }
    if (!member) {
      core.refuseJoin(self, "introduced by no member of this session");
      return;
    }
    if (memberPort == 0) {
      core.refuseJoin(self, "its voucher does not listen, so it vouches for nobody");
      return;
    }
    // Shown only once admitted: a refused claim must not flicker a member.
    auto found = core.introductions.find(peer->identifier());
    if (found != core.introductions.end()) {
      for (auto& [vouching, address, introducedName] : found->second) {
        if (vouching != *joinVoucher) continue;
        if (address == remoteAddress) {
          askAboutJoin(*member, introducedName);
        } else {
          core.refuseJoin(self, ("the member introduced it at " + address.to_string()).c_str());
        }
        return;
      }
    }
    // The member's introduction may still be on its way.
    pendingJoinVoucher = joinVoucher;
    armHandshake(core.options.handshakeTimeoutMs);
    return;
  }
  core.show(self, PeerSessionState::Connecting);
  if (closed) return;
  if (autoAccept) {
    answerInvitation(true);
    return;
  }
  InvitationHandler handler;
  {
    std::lock_guard lock(core.mutex);
    handler = core.invitationHandler;
  }
  if (!handler) {
    answerInvitation(false);
    return;
  }
  InvitationDetails details{*peer, remoteAddress.to_string(),
                            peer->identifierString().substr(0, 8)};
  {
    std::lock_guard lock(core.mutex);
    core.pendingInvitations.insert_or_assign(*peer, details);
  }
  QUR_LOG_LIMITED(core.invitationLog, LogFlagInfo, "Invitation from %s at %s",
                  peer->description().c_str(), details.address.c_str());
  asked = true;
  armHandshake(core.options.invitationTimeoutMs);
  std::weak_ptr<Connection> weak = self;
  auto* io = &core.io;
  const PeerID who = *peer;
  handler(*peer, [weak, io, who](bool accept) {
    asio::post(*io, [weak, accept, who] {
      auto c = weak.lock();
      if (c && !c->closed && c->asked) {
        c->answerInvitation(accept);
      } else {
        QUR_LOG_INFO("The invitation from %s is gone; nothing to %s", who.description().c_str(),
                     accept ? "accept" : "decline");
      }
    });
  });
}

// A newcomer the member introduced dialled us: the user decides (through
// the introduction handler), as for an invitation.
void Connection::askAboutJoin(const PeerID& member, const std::string& introducedName) {
  auto self = shared_from_this();
  pendingJoinVoucher.reset();
  if (peer->displayName() != introducedName) {
    core.refuseJoin(self, ("its hello names it \"" + peer->displayName() +
                           "\", the member introduced \"" + introducedName + "\"")
                              .c_str());
    return;
  }
  IntroductionHandler handler;
  {
    std::lock_guard lock(core.mutex);
    handler = core.introductionHandler;
  }
  if (!handler) {
    answerInvitation(true);
    return;
  }
  {
    std::lock_guard lock(core.mutex);
    core.pendingInvitations.insert_or_assign(
        *peer,
        InvitationDetails{*peer, remoteAddress.to_string(), peer->identifierString().substr(0, 8)});
  }
  QUR_LOG_INFO("%s, introduced by %s, wants to join from %s", peer->description().c_str(),
               member.description().c_str(), remoteDescription.c_str());
  asked = true;
  armHandshake(core.options.invitationTimeoutMs);
  std::weak_ptr<Connection> weak = self;
  auto* io = &core.io;
  const PeerID who = *peer;
  handler({*peer, member, remoteAddress.to_string(), false}, [weak, io, who](bool admit) {
    asio::post(*io, [weak, admit, who] {
      auto c = weak.lock();
      if (c && !c->closed && c->asked) {
        c->answerInvitation(admit);
      } else {
        QUR_LOG_INFO("The introduction of %s is gone; nothing to %s", who.description().c_str(),
                     admit ? "accept" : "decline");
      }
    });
  });
}

void Connection::answerInvitation(bool accept) {
  if (closed || decided || phase() != ConnectionPhase::AwaitingDecision) return;
  auto self = shared_from_this();
  const bool wasAsked = asked;
  if (wasAsked) {
    endAsked(accept && core.memberCount() + 1 < PeerSession::kMaximumPeers
                 ? InvitationOutcome::Accepted
                 : InvitationOutcome::Declined);
  }
  pendingJoinVoucher.reset();
  if (!accept || core.memberCount() + 1 >= PeerSession::kMaximumPeers) {
    decline(accept ? peers::DeclineReason::Full : peers::DeclineReason::Declined);
    core.hide(self);
    return;
  }
  if (request == Request::Join) core.show(self, PeerSessionState::Connecting);
  if (closed) return;
  send(FrameType::Accept);
  core.becomeConnected(self);
}

// --- PeerSession ---------------------------------------------------------

std::shared_ptr<PeerSession> PeerSession::create(const PeerID& peer,
                                                 std::shared_ptr<Transport> transport) {
  return create(peer, Options{}, std::move(transport));
}

std::shared_ptr<PeerSession> PeerSession::create(const PeerID& peer, const Options& options,
                                                 std::shared_ptr<Transport> transport) {
  return createTakingOverListener(peer, options, nullptr, std::move(transport));
}

std::shared_ptr<PeerSession> PeerSession::createTakingOverListener(
    const PeerID& peer, const Options& options, const std::shared_ptr<PeerSession>& previous,
    std::shared_ptr<Transport> transport) {
  if (!transport) transport = Transport::shared();
  auto previousCore =
      previous && previous->_core->transport == transport ? previous->_core : nullptr;
  if (!peer.localIdentity()) {
    QUR_LOG_ERROR("No device key for %s; cannot open a peer session", peer.description().c_str());
    return nullptr;
  }
  // One certificate per key, however often the session is renewed.
  auto tls = previousCore && previousCore->localPeer.identifier() == peer.identifier()
                 ? previousCore->tls
                 : peers::TlsContext::create(*peer.localIdentity());
  if (!tls) return nullptr;
  auto core = std::make_shared<Core>(peer, options, transport, std::move(tls));
  bool opened = false;
  const bool ran = transport->runSyncIfRunning([&] {
    if (previousCore && previousCore->listening && !previousCore->shutDown) {
      // Same socket, same port: cached records of us stay right.
      previousCore->listening = false;
      std::error_code ignored;
      previousCore->acceptor.cancel(ignored);
      core->acceptor = std::move(previousCore->acceptor);
      core->listenPort = previousCore->listenPort;
      opened = true;
    } else {
      opened = core->open();
    }
    if (opened) core->startAccept();
  });
  if (!ran)
    QUR_LOG_ERROR("Peer network thread has stopped; no new session for %s",
                  peer.description().c_str());
  if (!opened) return nullptr;
  std::shared_ptr<PeerSession> session(new PeerSession(core));
  core->owner = session;
  return session;
}

PeerSession::~PeerSession() {
  auto core = _core;
  auto shutdown = [core] {
    core->shutDown = true;
    std::error_code ignored;
    if (core->listening) core->acceptor.close(ignored);
    core->listening = false;
    core->closeAll(false);
  };
  if (core->transport->isTransportThread()) {
    shutdown();
  } else {
    core->transport->runSync(shutdown);
  }
}

const PeerID& PeerSession::myPeerID() const {
  return _core->localPeer;
}

void PeerSession::setAdvertisedName(const std::string& name) {
  std::lock_guard lock(_core->mutex);
  _core->advertisedName = peers::isValidDisplayName(name) ? name : std::string();
}

std::uint16_t PeerSession::port() const {
  return _core->listenPort;
}

const std::shared_ptr<Transport>& PeerSession::transport() const {
  return _core->transport;
}

void PeerSession::setDelegate(std::weak_ptr<PeerSessionDelegate> delegate) {
  std::lock_guard lock(_core->mutex);
  _core->delegate = std::move(delegate);
}

std::shared_ptr<PeerSessionDelegate> PeerSession::delegate() const {
  std::lock_guard lock(_core->mutex);
  return _core->delegate.lock();
}

std::vector<PeerID> PeerSession::connectedPeers() const {
  std::lock_guard lock(_core->mutex);
  std::vector<PeerID> peers;
  peers.reserve(_core->connected.size());
  for (auto& entry : _core->connected) peers.push_back(entry.first);
  return peers;
}

bool PeerSession::sendData(std::span<const std::uint8_t> data, const std::vector<PeerID>& peers,
                           SessionSendDataMode, PeerError* error) {
  if (data.size() > peers::kMaxPayload) {
    if (error) *error = {1, "message of " + std::to_string(data.size()) + " bytes is too large"};
    return false;
  }
  const auto frame = makeFrame(FrameType::Data, data);
  std::string failed;
  int code = 0;
  for (const auto& peer : peers) {
    auto c = _core->findConnected(peer);
    if (!c) {
      failed += (failed.empty() ? "" : ", ") + peer.description() + " is not connected";
      code = 2;
    } else if (!c->enqueue(frame)) {
      failed += (failed.empty() ? "" : ", ") + peer.description() + " cannot be sent to";
      code = 3;
    }
  }
  if (failed.empty()) return true;
  if (error) *error = {code, failed};
  return false;
}

void PeerSession::disconnect() {
  auto core = _core;
  core->transport->runSync([core] { core->closeAll(true); });
}

void PeerSession::invitePeer(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected) {
  auto core = _core;
  core->transport->post(
      [core, endpoint, expected] { core->dial(endpoint, expected, Request::Invite, {}); });
}

void PeerSession::setInvitationHandler(InvitationHandler handler) {
  std::lock_guard lock(_core->mutex);
  _core->invitationHandler = std::move(handler);
}

void PeerSession::setIntroductionHandler(IntroductionHandler handler) {
  std::lock_guard lock(_core->mutex);
  _core->introductionHandler = std::move(handler);
}

void PeerSession::setInviteeCheck(InviteeCheck check) {
  std::lock_guard lock(_core->mutex);
  _core->inviteeCheck = std::move(check);
}

void PeerSession::withdrawInvitation(const PeerID& peer) {
  auto core = _core;
  core->transport->post([core, peer] { core->withdraw(peer); });
}

void PeerSession::setKnownKeyCheck(std::function<bool(const peers::Identifier&)> check) {
  std::lock_guard lock(_core->mutex);
  _core->knownKey = std::move(check);
}

void PeerSession::setInvitationResultHandler(InvitationResultHandler handler) {
  std::lock_guard lock(_core->mutex);
  _core->invitationResultHandler = std::move(handler);
}

void PeerSession::setDisconnectHandler(PeerDisconnectHandler handler) {
  std::lock_guard lock(_core->mutex);
  _core->disconnectHandler = std::move(handler);
}

std::optional<InvitationDetails> PeerSession::pendingInvitation(const PeerID& peer) const {
  std::lock_guard lock(_core->mutex);
  auto found = _core->pendingInvitations.find(peer);
  if (found == _core->pendingInvitations.end()) return std::nullopt;
  return found->second;
}

const PeerSession::Options& PeerSession::options() const {
  return _core->options;
}

bool PeerSession::acceptsInvitations() const {
  std::lock_guard lock(_core->mutex);
  return static_cast<bool>(_core->invitationHandler);
}

}  // namespace qur
