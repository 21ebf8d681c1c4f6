#include "peers/peer_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "log/log.h"
#include "peers/protocol.h"
#include "peers/transport_io.h"

namespace qur {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using peers::ConnectionPhase;
using peers::FrameType;

InvitationHandler acceptAllInvitations() {
  return [](const PeerID&, std::function<void(bool)> reply) { reply(true); };
}

InvitationHandler declineAllInvitations() {
  return [](const PeerID&, std::function<void(bool)> reply) { reply(false); };
}

namespace {

using FrameBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

FrameBytes makeFrame(FrameType type, std::span<const std::uint8_t> payload = {}) {
  return std::make_shared<const std::vector<std::uint8_t>>(peers::encodeFrame(type, payload));
}

enum class Request { None, Invite, Join };

}  // namespace

struct Connection;

struct PeerSession::Core : std::enable_shared_from_this<PeerSession::Core> {
  Core(const PeerID& peer, const Options& options, std::shared_ptr<Transport> transport)
      : localPeer(peer),
        options(options),
        transport(std::move(transport)),
        io(ioContext(*this->transport)),
        acceptor(io) {}

  // Set once; read by every thread.
  const PeerID localPeer;
  const Options options;
  const std::shared_ptr<Transport> transport;
  asio::io_context& io;
  std::uint16_t listenPort = 0;
  std::weak_ptr<PeerSession> owner;

  mutable std::mutex mutex;  // guards the members below it up to the io-only ones
  std::weak_ptr<PeerSessionDelegate> delegate;
  InvitationHandler invitationHandler;
  std::vector<std::pair<PeerID, std::shared_ptr<Connection>>> connected;

  // Transport thread only.
  tcp::acceptor acceptor;
  std::unordered_set<std::shared_ptr<Connection>> connections;
  // Introductions: newcomer identifier -> the members that vouched for it.
  std::map<peers::Identifier, std::set<peers::Identifier>> introductions;
  bool shutDown = false;

  bool open();
  void startAccept();
  void dial(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected, Request request,
            const std::optional<peers::Identifier>& voucher);
  void becomeConnected(const std::shared_ptr<Connection>& c);
  void introduce(const std::shared_ptr<Connection>& newcomer);
  void handleIntroduction(const std::shared_ptr<Connection>& from,
                          const peers::Introduction& introduction);
  void close(const std::shared_ptr<Connection>& c, const char* reason, int logFlag);
  void closeAll(bool report);
  void reportState(const PeerID& peer, PeerSessionState state);
  void reportData(std::span<const std::uint8_t> data, const PeerID& peer);
  std::size_t memberCount() const;  // connected remote peers (mutex held by caller or not)
  bool isConnectedOrConnecting(const peers::Identifier& id) const;
  std::shared_ptr<Connection> findConnected(const PeerID& peer) const;
};

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(PeerSession::Core& core, tcp::socket socket, bool incoming)
      : core(core),
        socket(std::move(socket)),
        incoming(incoming),
        handshakeTimer(core.io),
        keepAliveTimer(core.io) {}

  PeerSession::Core& core;  // the core outlives its connections (they hold it)
  std::shared_ptr<PeerSession::Core> coreRef;
  tcp::socket socket;
  const bool incoming;
  Request request = Request::None;
  std::optional<peers::Identifier> voucher;  // join: the member that introduced us
  std::optional<peers::Identifier> pendingJoinVoucher;
  std::optional<PeerID> expected;
  ConnectionPhase phase = ConnectionPhase::AwaitingHello;
  peers::FrameParser parser;
  std::array<std::uint8_t, 16384> readBuffer{};
  std::optional<PeerID> peer;
  std::string remoteDescription = "?";
  asio::ip::address_v4 remoteAddress;
  std::uint16_t remoteListenPort = 0;
  bool reported = false;  // Connecting or Connected was reported
  bool closed = false;
  asio::steady_timer handshakeTimer;
  asio::steady_timer keepAliveTimer;
  Clock::time_point lastReceived = Clock::now();

  // Outgoing queue, filled from any thread.
  std::mutex sendMutex;
  std::deque<FrameBytes> queue;
  std::size_t queuedBytes = 0;
  bool writing = false;
  bool overflowed = false;
  std::vector<FrameBytes> inFlight;

  std::string name() const { return peer ? peer->description() : remoteDescription; }

  // Returns false when the bound would be passed (bounded only for data).
  bool enqueue(const FrameBytes& frame, bool bounded) {
    bool overflow = false;
    {
      std::lock_guard lock(sendMutex);
      if (closed || overflowed) return false;
      if (bounded && queuedBytes + frame->size() > core.options.maxQueuedBytes) {
        overflowed = overflow = true;
      } else {
        queue.push_back(frame);
        queuedBytes += frame->size();
        if (writing) return true;
        writing = true;
      }
    }
    auto self = shared_from_this();
    if (overflow) {
      asio::post(core.io, [self] {
        QUR_LOG_ERROR("Peer %s is not reading: over %zu queued bytes, disconnecting",
                      self->name().c_str(), self->core.options.maxQueuedBytes);
        self->core.close(self, nullptr, 0);
      });
      return false;
    }
    asio::post(core.io, [self] { self->writeNext(); });
    return true;
  }

  void writeNext() {
    std::vector<asio::const_buffer> buffers;
    {
      std::lock_guard lock(sendMutex);
      if (closed) return;
      inFlight.assign(queue.begin(), queue.end());
      if (inFlight.empty()) {
        writing = false;
        return;
      }
    }
    buffers.reserve(inFlight.size());
    for (auto& f : inFlight) buffers.emplace_back(asio::buffer(*f));
    auto self = shared_from_this();
    asio::async_write(socket, buffers, [self](const std::error_code& ec, std::size_t) {
      if (ec) {
        if (!self->closed) self->core.close(self, "write failed", LogFlagWarning);
        return;
      }
      {
        std::lock_guard lock(self->sendMutex);
        if (self->closed) return;
        for (std::size_t i = 0; i < self->inFlight.size(); ++i) {
          self->queuedBytes -= self->queue.front()->size();
          self->queue.pop_front();
        }
        self->inFlight.clear();
      }
      self->writeNext();
    });
  }

  void send(FrameType type, std::span<const std::uint8_t> payload = {}) {
    enqueue(makeFrame(type, payload), false);
  }

  void start() {
    std::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    auto endpoint = socket.remote_endpoint(ec);
    if (!ec) {
      remoteDescription = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
      if (endpoint.address().is_v4()) remoteAddress = endpoint.address().to_v4();
    }
    peers::Hello hello;
    hello.identifier = core.localPeer.identifier();
    hello.listenPort = core.listenPort;
    hello.displayName = core.localPeer.displayName();
    send(FrameType::Hello, peers::encodeHello(hello));
    armHandshake(core.options.handshakeTimeoutMs);
    armKeepAlive();
    readNext();
  }

  void armHandshake(int ms) {
    handshakeTimer.expires_after(std::chrono::milliseconds(ms));
    auto self = shared_from_this();
    handshakeTimer.async_wait([self](const std::error_code& ec) {
      if (ec || self->closed || self->phase == ConnectionPhase::Connected) return;
      self->core.close(self, "handshake timed out", LogFlagError);
    });
  }

  void armKeepAlive() {
    keepAliveTimer.expires_after(std::chrono::milliseconds(core.options.keepAliveIntervalMs));
    auto self = shared_from_this();
    keepAliveTimer.async_wait([self](const std::error_code& ec) {
      if (ec || self->closed) return;
      const auto silent = Clock::now() - self->lastReceived;
      if (self->phase != ConnectionPhase::AwaitingHello &&
          silent > std::chrono::milliseconds(self->core.options.keepAliveTimeoutMs)) {
        self->core.close(self, "stopped answering", LogFlagError);
        return;
      }
      if (self->phase != ConnectionPhase::AwaitingHello) self->send(FrameType::Ping);
      self->armKeepAlive();
    });
  }

  void readNext() {
    auto self = shared_from_this();
    socket.async_read_some(
        asio::buffer(readBuffer), [self](const std::error_code& ec, std::size_t n) {
          if (self->closed) return;
          if (ec) {
            self->core.close(self, ec == asio::error::eof ? "closed by the peer" : "read failed",
                             LogFlagWarning);
            return;
          }
          self->lastReceived = Clock::now();
          self->parser.feed(std::span(self->readBuffer.data(), n));
          peers::Frame frame;
          for (;;) {
            const auto status = self->parser.next(&frame);
            if (status == peers::FrameParser::Status::NeedMore) break;
            if (status == peers::FrameParser::Status::Error) {
              self->core.close(self, self->parser.error().c_str(), LogFlagError);
              return;
            }
            self->handle(frame);
            if (self->closed) return;
          }
          self->readNext();
        });
  }

  void handle(const peers::Frame& frame);
  void answerInvitation(bool accept);
};

// --- Core ---------------------------------------------------------------

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

void PeerSession::Core::startAccept() {
  auto self = shared_from_this();
  acceptor.async_accept([self](const std::error_code& ec, tcp::socket socket) {
    if (self->shutDown) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      // Out of descriptors and the like: wait a little instead of spinning.
      QUR_LOG_ERROR("Accepting a peer connection failed: %s", ec.message().c_str());
      auto timer = std::make_shared<asio::steady_timer>(self->io, std::chrono::milliseconds(100));
      timer->async_wait([self, timer](const std::error_code&) { self->startAccept(); });
      return;
    }
    std::size_t pending = 0;
    for (auto& c : self->connections)
      if (c->phase != ConnectionPhase::Connected) ++pending;
    if (pending >= self->options.maxPendingConnections) {
      std::error_code ignored;
      QUR_LOG_ERROR("Refusing connection from %s: too many pending connections",
                    socket.remote_endpoint(ignored).address().to_string().c_str());
      socket.close(ignored);
    } else {
      auto c = std::make_shared<Connection>(*self, std::move(socket), true);
      c->coreRef = self;
      self->connections.insert(c);
      c->start();
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
    if (c->peer && c->peer->identifier() == id)
      return true;
    else if (c->expected && c->expected->identifier() == id)
      return true;
  return false;
}

std::shared_ptr<Connection> PeerSession::Core::findConnected(const PeerID& peer) const {
  std::lock_guard lock(mutex);
  for (auto& [id, c] : connected)
    if (id == peer) return c;
  return nullptr;
}

void PeerSession::Core::dial(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected,
                             Request request, const std::optional<peers::Identifier>& voucher) {
  std::error_code ec;
  const auto address = asio::ip::make_address_v4(endpoint.address, ec);
  if (ec || endpoint.port == 0) {
    QUR_LOG_ERROR("Cannot invite a peer at \"%s\" port %u", endpoint.address.c_str(),
                  endpoint.port);
    if (expected) reportState(*expected, PeerSessionState::NotConnected);
    return;
  }
  if (expected && (isConnectedOrConnecting(expected->identifier()) || *expected == localPeer)) {
    return;
  }
  if (memberCount() + 1 >= PeerSession::kMaximumPeers) {
    QUR_LOG_ERROR("Session is full (%zu peers); not inviting another", PeerSession::kMaximumPeers);
    if (expected && request == Request::Invite)
      reportState(*expected, PeerSessionState::NotConnected);
    return;
  }
  auto c = std::make_shared<Connection>(*this, tcp::socket(io), false);
  c->coreRef = shared_from_this();
  c->request = request;
  c->voucher = voucher;
  c->expected = expected;
  c->remoteDescription = endpoint.address + ":" + std::to_string(endpoint.port);
  connections.insert(c);
  if (expected) {
    c->reported = true;
    reportState(*expected, PeerSessionState::Connecting);
  }
  c->armHandshake(options.handshakeTimeoutMs);
  c->socket.async_connect(tcp::endpoint(address, endpoint.port), [c](const std::error_code& ec) {
    if (c->closed) return;
    if (ec) {
      c->core.close(c, "connect failed", LogFlagError);
      return;
    }
    c->start();
  });
}

void PeerSession::Core::close(const std::shared_ptr<Connection>& c, const char* reason,
                              int logFlag) {
  if (c->closed) return;
  if (reason && logFlag) {
    if (logFlag == LogFlagError) {
      QUR_LOG_ERROR("Closing peer connection %s: %s", c->name().c_str(), reason);
    } else {
      QUR_LOG_WARN("Closing peer connection %s: %s", c->name().c_str(), reason);
    }
  }
  {
    std::lock_guard lock(c->sendMutex);
    c->closed = true;
    c->queue.clear();
    c->queuedBytes = 0;
  }
  std::error_code ignored;
  c->handshakeTimer.cancel();
  c->keepAliveTimer.cancel();
  c->socket.close(ignored);
  connections.erase(c);
  {
    std::lock_guard lock(mutex);
    std::erase_if(connected, [&](auto& entry) { return entry.second == c; });
  }
  if (c->reported) {
    c->reported = false;
    const PeerID peer = c->peer ? *c->peer : *c->expected;
    reportState(peer, PeerSessionState::NotConnected);
  }
}

void PeerSession::Core::closeAll(bool report) {
  const auto all = connections;
  const auto bye = peers::encodeFrame(FrameType::Bye, {});
  for (auto& c : all) {
    // Best effort: tell the peer at once so it need not wait for the keep-alive.
    if (c->phase != ConnectionPhase::AwaitingHello) {
      std::error_code ignored;
      c->socket.non_blocking(true, ignored);
      c->socket.send(asio::buffer(bye), 0, ignored);
    }
    if (!report) c->reported = false;
    close(c, nullptr, 0);
  }
  introductions.clear();
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

void PeerSession::Core::reportData(std::span<const std::uint8_t> data, const PeerID& peer) {
  auto session = owner.lock();
  std::shared_ptr<PeerSessionDelegate> d;
  {
    std::lock_guard lock(mutex);
    d = delegate.lock();
  }
  if (session && d) d->sessionDidReceiveDataFromPeer(session, data, peer);
}

void PeerSession::Core::becomeConnected(const std::shared_ptr<Connection>& c) {
  if (findConnected(*c->peer)) {
    close(c, "already connected to this peer", LogFlagWarning);
    return;
  }
  c->phase = ConnectionPhase::Connected;
  c->handshakeTimer.cancel();
  introductions.erase(c->peer->identifier());
  {
    std::lock_guard lock(mutex);
    connected.emplace_back(*c->peer, c);
  }
  c->reported = true;
  reportState(*c->peer, PeerSessionState::Connected);
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
  if (introductions.size() > 4 * PeerSession::kMaximumPeers &&
      !introductions.count(in.identifier)) {
    return;  // a member flooding us with introductions gets no more room
  }
  introductions[in.identifier].insert(from->peer->identifier());
  // A newcomer that already knocked waits in AwaitingDecision for this.
  for (auto& c : std::vector(connections.begin(), connections.end())) {
    if (c->phase == ConnectionPhase::AwaitingDecision && c->request == Request::Join && c->peer &&
        c->peer->identifier() == in.identifier && c->pendingJoinVoucher) {
      c->answerInvitation(true);
      return;
    }
  }
  if (isConnectedOrConnecting(in.identifier)) return;
  // Exactly one side dials: the one with the smaller identifier.
  if (localPeer.identifier() < in.identifier) {
    const auto address = asio::ip::address_v4(in.address).to_string();
    dial({address, in.port}, PeerID::fromWire(in.displayName, in.identifier), Request::Join,
         from->peer->identifier());
  }
}

// --- Connection ---------------------------------------------------------

void Connection::handle(const peers::Frame& frame) {
  auto self = shared_from_this();
  if (!peers::frameAllowed(phase, frame.type, incoming)) {
    std::string reason = std::string("unexpected ") + peers::frameTypeName(frame.type) +
                         (phase == ConnectionPhase::Connected ? "" : " before acceptance");
    core.close(self, reason.c_str(), LogFlagError);
    return;
  }
  switch (frame.type) {
    case FrameType::Hello: {
      peers::HelloError error;
      auto hello = peers::decodeHello(frame.payload, &error);
      if (!hello) {
        const char* reason = error == peers::HelloError::WrongVersion ? "wrong protocol version"
                             : error == peers::HelloError::BadMagic   ? "not a peer hello"
                             : error == peers::HelloError::BadName    ? "invalid display name"
                                                                      : "malformed hello";
        core.close(self, reason, LogFlagError);
        return;
      }
      if (hello->identifier == core.localPeer.identifier()) {
        core.close(self, "connected to ourselves", LogFlagWarning);
        return;
      }
      if (expected && expected->identifier() != hello->identifier) {
        core.close(self, "a different peer answered", LogFlagError);
        return;
      }
      peer = PeerID::fromWire(hello->displayName, hello->identifier);
      remoteListenPort = hello->listenPort;
      if (core.findConnected(*peer)) {
        core.close(self, "already connected to this peer", LogFlagWarning);
        return;
      }
      if (incoming) {
        phase = ConnectionPhase::AwaitingRequest;
      } else {
        if (request == Request::Join) {
          send(FrameType::Join, peers::encodeJoin(*voucher));
        } else {
          send(FrameType::Invite);
        }
        phase = ConnectionPhase::AwaitingAnswer;
        armHandshake(request == Request::Join ? core.options.handshakeTimeoutMs
                                              : core.options.invitationTimeoutMs);
      }
      return;
    }
    case FrameType::Invite:
    case FrameType::Join: {
      if (core.memberCount() + 1 >= PeerSession::kMaximumPeers) {
        QUR_LOG_ERROR("Declining %s: the session is full", name().c_str());
        send(FrameType::Decline);
        phase = ConnectionPhase::AwaitingDecision;
        armHandshake(core.options.handshakeTimeoutMs);
        return;
      }
      request = frame.type == FrameType::Invite ? Request::Invite : Request::Join;
      phase = ConnectionPhase::AwaitingDecision;
      reported = true;
      core.reportState(*peer, PeerSessionState::Connecting);
      if (closed) return;
      if (request == Request::Join) {
        auto voucherID = peers::decodeJoin(frame.payload);
        if (!voucherID) {
          core.close(self, "malformed join", LogFlagError);
          return;
        }
        bool memberVouches = false;
        {
          std::lock_guard lock(core.mutex);
          for (auto& [id, c] : core.connected)
            if (id.identifier() == *voucherID) memberVouches = true;
        }
        if (!memberVouches) {
          QUR_LOG_ERROR("Declining %s: introduced by no member of this session", name().c_str());
          answerInvitation(false);
          return;
        }
        auto found = core.introductions.find(peer->identifier());
        if (found != core.introductions.end() && found->second.count(*voucherID)) {
          answerInvitation(true);
        } else {
          // The member's introduction may still be on its way.
          pendingJoinVoucher = voucherID;
          armHandshake(core.options.handshakeTimeoutMs);
        }
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
      armHandshake(core.options.invitationTimeoutMs);
      std::weak_ptr<Connection> weak = self;
      auto* io = &core.io;
      handler(*peer, [weak, io](bool accept) {
        asio::post(*io, [weak, accept] {
          if (auto c = weak.lock()) c->answerInvitation(accept);
        });
      });
      return;
    }
    case FrameType::Accept:
      core.becomeConnected(self);
      return;
    case FrameType::Decline:
      QUR_LOG_INFO("%s declined the invitation", name().c_str());
      core.close(self, nullptr, 0);
      return;
    case FrameType::Introduce: {
      auto in = peers::decodeIntroduction(frame.payload);
      if (!in) {
        core.close(self, "malformed introduction", LogFlagError);
        return;
      }
      core.handleIntroduction(self, *in);
      return;
    }
    case FrameType::Data:
      core.reportData(frame.payload, *peer);
      return;
    case FrameType::Ping:
      send(FrameType::Pong);
      return;
    case FrameType::Pong:
      return;
    case FrameType::Bye:
      core.close(self, "the peer left", LogFlagInfo);
      return;
  }
}

void Connection::answerInvitation(bool accept) {
  if (closed || phase != ConnectionPhase::AwaitingDecision) return;
  auto self = shared_from_this();
  if (!accept || core.memberCount() + 1 >= PeerSession::kMaximumPeers) {
    send(FrameType::Decline);
    // Let the decline reach the peer before the socket goes; the handshake
    // timer closes it if the peer does not hang up itself.
    if (reported) {
      reported = false;
      core.reportState(*peer, PeerSessionState::NotConnected);
    }
    armHandshake(core.options.handshakeTimeoutMs);
    phase = ConnectionPhase::AwaitingDecision;
    pendingJoinVoucher.reset();
    request = Request::None;
    return;
  }
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
  if (!transport) transport = Transport::shared();
  auto core = std::make_shared<Core>(peer, options, transport);
  bool opened = false;
  const bool ran = transport->runSyncIfRunning([&] {
    opened = core->open();
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
    core->acceptor.close(ignored);
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
    } else if (!c->enqueue(frame, true)) {
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

bool PeerSession::acceptsInvitations() const {
  std::lock_guard lock(_core->mutex);
  return static_cast<bool>(_core->invitationHandler);
}

}  // namespace qur
