#include "peers/peer_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "log/log.h"
#include "peers/handshake.h"
#include "peers/log_limiter.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"
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
  }
  return "?";
}

namespace peers::testing {
// Benchmarks weigh TLS against the same chain in clear TCP; no program sets it.
std::atomic<bool> plainSessions{false};
void setPlainSessions(bool plain) {
  plainSessions = plain;
}
}  // namespace peers::testing

namespace {

using FrameBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

FrameBytes makeFrame(FrameType type, std::span<const std::uint8_t> payload = {}) {
  return std::make_shared<const std::vector<std::uint8_t>>(peers::encodeFrame(type, payload));
}

enum class Request { None, Invite, Join };

// Queue cost of a frame beyond its bytes: the shared vector and queue slot.
constexpr std::size_t kFrameOverhead = 64;
// After a Decline, how long the peer has to read it before we hang up anyway.
constexpr int kDeclineLingerMs = 1000;
// The inviter waits this much past the invitation timeout for the invited
// side's own timed-out Decline.
constexpr int kInviterGraceMs = 5000;
// Frames gathered into one write: a full TLS record.
constexpr std::size_t kMaxWriteBytes = 16 * 1024;

const FrameBytes& pongFrame() {
  static const FrameBytes frame = makeFrame(FrameType::Pong);
  return frame;
}

// Counts inbound messages the delegate still holds; thread-safe because
// tickets are released wherever the delegate finishes with a message.
struct InboundGate {
  std::mutex mutex;
  std::size_t messages = 0;
  std::size_t bytes = 0;
  bool paused = false;
  std::function<void()> resume;  // posts to the transport thread
};

}  // namespace

struct Connection;

struct PeerSession::Core : std::enable_shared_from_this<PeerSession::Core> {
  Core(const PeerID& peer, const Options& options, std::shared_ptr<Transport> transport,
       std::shared_ptr<peers::TlsContext> tls)
      : localPeer(peer),
        options(options),
        transport(std::move(transport)),
        tls(std::move(tls)),
        plain(peers::testing::plainSessions.load()),
        io(ioContext(*this->transport)),
        acceptor(io) {}

  // Set once; read by every thread.
  const PeerID localPeer;
  const Options options;
  const std::shared_ptr<Transport> transport;
  const std::shared_ptr<peers::TlsContext> tls;
  const bool plain;  // clear TCP, for benchmarks only
  asio::io_context& io;
  std::uint16_t listenPort = 0;
  std::weak_ptr<PeerSession> owner;

  mutable std::mutex mutex;  // guards the members below it up to the io-only ones
  std::weak_ptr<PeerSessionDelegate> delegate;
  InvitationHandler invitationHandler;
  InvitationResultHandler invitationResultHandler;
  std::string advertisedName;  // empty: the local peer's display name
  std::vector<std::pair<PeerID, std::shared_ptr<Connection>>> connected;
  std::map<PeerID, InvitationDetails> pendingInvitations;

  // Transport thread only.
  tcp::acceptor acceptor;
  std::unordered_set<std::shared_ptr<Connection>> connections;
  // Introductions: newcomer identifier -> (member that vouched, address it gave).
  std::map<peers::Identifier, std::set<std::pair<peers::Identifier, asio::ip::address_v4>>>
      introductions;
  // What the delegate was last told per peer: several links to one peer
  // (crossed invitations) show as one.
  std::map<peers::Identifier, PeerSessionState> visible;
  peers::LogLimiter refusalLog;
  peers::LogLimiter joinRefusalLog;
  peers::LogLimiter badInputLog;
  bool shutDown = false;
  bool listening = false;
  bool withdrawing = false;  // our own disconnect is closing everything

  bool open();
  void startAccept();
  bool admit(const tcp::socket& socket);
  void show(const std::shared_ptr<Connection>& c, PeerSessionState state);
  void hide(const std::shared_ptr<Connection>& c);
  bool resolveDuplicate(const std::shared_ptr<Connection>& c);
  void reportInvitation(const PeerID& peer, bool invitedUs, InvitationOutcome outcome);
  void refuseJoin(const std::shared_ptr<Connection>& c, const char* why);
  void dial(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected, Request request,
            const std::optional<peers::Identifier>& voucher,
            std::optional<peers::Identifier> expectedKey = {});
  void becomeConnected(const std::shared_ptr<Connection>& c);
  void introduce(const std::shared_ptr<Connection>& newcomer);
  void handleIntroduction(const std::shared_ptr<Connection>& from,
                          const peers::Introduction& introduction);
  void close(const std::shared_ptr<Connection>& c, const char* reason, int logFlag);
  void closeAll(bool report);
  void reportState(const PeerID& peer, PeerSessionState state);
  void reportData(std::vector<std::uint8_t>&& data, const PeerID& peer,
                  const std::shared_ptr<Connection>& from);
  std::size_t memberCount() const;  // connected remote peers (mutex held by caller or not)
  bool isConnectedOrConnecting(const peers::Identifier& id) const;
  std::shared_ptr<Connection> findConnected(const PeerID& peer) const;
};

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(PeerSession::Core& core, peers::TlsStream stream, bool incoming)
      : core(core),
        stream(std::move(stream)),
        incoming(incoming),
        handshake(core.localPeer.identifier(), incoming),
        handshakeTimer(core.io),
        keepAliveTimer(core.io),
        gate(std::make_shared<InboundGate>()) {}

  PeerSession::Core& core;  // the core outlives its connections (they hold it)
  std::shared_ptr<PeerSession::Core> coreRef;
  peers::TlsStream stream;
  tcp::socket& socket() { return stream.next_layer(); }
  const bool incoming;
  // The identifier whose key the peer proved it holds.
  std::optional<peers::Identifier> proven;
  std::optional<peers::Identifier> expectedKey;  // dialling: who must answer
  Request request = Request::None;
  std::optional<peers::Identifier> voucher;  // join: the member that introduced us
  std::optional<peers::Identifier> pendingJoinVoucher;
  std::optional<PeerID> expected;
  peers::Handshake handshake;
  peers::FrameParser parser;
  std::array<std::uint8_t, 16384> readBuffer{};
  std::optional<PeerID> peer;
  std::string remoteDescription = "?";
  asio::ip::address_v4 remoteAddress;
  std::uint16_t remoteListenPort = 0;
  bool reported = false;  // counts toward the peer's visible state
  bool closed = false;
  bool inviting = false;    // our Invite; its outcome is still to be told
  bool asked = false;       // their Invite is with our invitation handler
  bool autoAccept = false;  // we invited them too: their Invite needs no question
  bool answerTimedOut = false;
  bool decided = false;     // Decline sent; only hanging up is left
  bool superseded = false;  // the twin of a kept link; its dialler hangs it up
  asio::steady_timer handshakeTimer;
  asio::steady_timer keepAliveTimer;
  Clock::time_point lastReceived = Clock::now();
  Clock::time_point lastPong = Clock::now();  // a peer that reads answers our Pings
  int malformed = 0;
  std::shared_ptr<InboundGate> gate;
  bool readPending = false;

  // Outgoing queue, filled from any thread.
  std::mutex sendMutex;
  std::deque<FrameBytes> queue;
  std::size_t queuedBytes = 0;
  int pongsQueued = 0;
  bool writing = false;
  bool overflowed = false;
  bool hangUpWhenFlushed = false;
  Clock::time_point lastWriteProgress = Clock::now();
  std::vector<FrameBytes> inFlight;
  std::vector<std::uint8_t> writeBuffer;  // inFlight gathered: one record, not one per frame

  std::string name() const { return peer ? peer->description() : remoteDescription; }
  ConnectionPhase phase() const { return handshake.phase(); }
  std::optional<peers::Identifier> identity() const {
    if (peer) return peer->identifier();
    if (expected) return expected->identifier();
    return std::nullopt;
  }
  bool dialledByUs() const { return !incoming; }

  static std::size_t cost(const FrameBytes& frame) { return frame->size() + kFrameOverhead; }

  // Every frame counts toward the bound (a smaller one before acceptance):
  // a peer that does not read its Pongs must not grow our memory either.
  // Past the bound the connection is closed and false returned.
  bool enqueue(const FrameBytes& frame) {
    bool overflow = false;
    std::size_t bound = 0;
    {
      std::lock_guard lock(sendMutex);
      if (closed || overflowed) return false;
      bound = phase() == ConnectionPhase::Connected ? core.options.maxQueuedBytes
                                                    : core.options.maxQueuedBytesBeforeAcceptance;
      if (queuedBytes + cost(frame) > bound) {
        overflowed = overflow = true;
      } else {
        queue.push_back(frame);
        queuedBytes += cost(frame);
        if (frame == pongFrame()) ++pongsQueued;
        if (writing) return true;
        writing = true;
        lastWriteProgress = Clock::now();
      }
    }
    auto self = shared_from_this();
    if (overflow) {
      asio::post(core.io, [self, bound] {
        QUR_LOG_ERROR("Peer %s is not reading: over %zu queued bytes, disconnecting",
                      self->name().c_str(), bound);
        self->core.close(self, nullptr, 0);
      });
      return false;
    }
    asio::post(core.io, [self] { self->writeNext(); });
    return true;
  }

  void writeNext() {
    bool hangUp = false;
    {
      std::lock_guard lock(sendMutex);
      if (closed) return;
      inFlight.clear();
      std::size_t bytes = 0;
      for (auto& f : queue) {
        if (!inFlight.empty() && bytes + f->size() > kMaxWriteBytes) break;
        inFlight.push_back(f);
        bytes += f->size();
      }
      if (inFlight.empty()) {
        writing = false;
        hangUp = hangUpWhenFlushed;
      }
    }
    if (inFlight.empty()) {
      if (hangUp) core.close(shared_from_this(), nullptr, 0);
      return;
    }
    writeBuffer.clear();
    for (auto& f : inFlight) writeBuffer.insert(writeBuffer.end(), f->begin(), f->end());
    auto self = shared_from_this();
    asyncWrite(asio::buffer(writeBuffer), [self](const std::error_code& ec, std::size_t) {
      if (ec) {
        if (!self->closed) self->core.close(self, "write failed", LogFlagWarning);
        return;
      }
      {
        std::lock_guard lock(self->sendMutex);
        if (self->closed) return;
        for (std::size_t i = 0; i < self->inFlight.size(); ++i) {
          if (self->queue.front() == pongFrame()) --self->pongsQueued;
          self->queuedBytes -= cost(self->queue.front());
          self->queue.pop_front();
        }
        self->inFlight.clear();
        self->lastWriteProgress = Clock::now();
      }
      self->writeNext();
    });
  }

  template <typename Handler>
  void asyncWrite(asio::const_buffer buffer, Handler&& handler) {
    if (core.plain) {
      asio::async_write(socket(), buffer, std::forward<Handler>(handler));
    } else {
      asio::async_write(stream, buffer, std::forward<Handler>(handler));
    }
  }

  void send(FrameType type, std::span<const std::uint8_t> payload = {}) {
    enqueue(makeFrame(type, payload));
  }

  // One Pong waiting is answer enough for any number of Pings.
  void sendPong() {
    {
      std::lock_guard lock(sendMutex);
      if (pongsQueued > 0) return;
    }
    enqueue(pongFrame());
  }

  // Sends a Decline and hangs up once it is written (or soon, if the peer
  // does not read it).
  void decline(peers::DeclineReason reason) {
    decided = true;
    handshake.deciding();
    send(FrameType::Decline, peers::encodeDecline(reason));
    {
      std::lock_guard lock(sendMutex);
      hangUpWhenFlushed = true;
    }
    auto self = shared_from_this();
    asio::post(core.io, [self] {
      bool idle = false;
      {
        std::lock_guard lock(self->sendMutex);
        idle = !self->writing;
      }
      if (idle) self->core.close(self, nullptr, 0);
    });
    armHandshake(kDeclineLingerMs);
  }

  bool writeStalled() {
    std::lock_guard lock(sendMutex);
    return writing && Clock::now() - lastWriteProgress >
                          std::chrono::milliseconds(core.options.keepAliveTimeoutMs);
  }

  void describeRemote() {
    std::error_code ec;
    auto endpoint = socket().remote_endpoint(ec);
    if (!ec) {
      remoteDescription = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
      if (endpoint.address().is_v4()) remoteAddress = endpoint.address().to_v4();
    }
  }

  // TLS first: the dialler names the key it expects, so an impostor fails
  // before it learns or says anything. The handshake timer covers it.
  void secure() {
    std::error_code ec;
    socket().set_option(tcp::no_delay(true), ec);
    describeRemote();
    if (expectedKey && !peers::TlsContext::expectPeer(stream, *expectedKey)) {
      core.close(shared_from_this(), "TLS handshake failed: cannot set the expected key",
                 LogFlagError);
      return;
    }
    armHandshake(core.options.handshakeTimeoutMs);
    if (core.plain) {
      // Nothing proven: the Hello is taken at its word, as the expected peer.
      proven = expectedKey.value_or(peers::Identifier{});
      if (expectedKey) handshake.expect(*expectedKey);
      start();
      return;
    }
    auto self = shared_from_this();
    stream.async_handshake(
        incoming ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
        [self](const std::error_code& ec) {
          if (self->closed) return;
          auto id = ec ? std::nullopt : peers::TlsContext::peerIdentifier(self->stream);
          if (!id) {
            const std::string why =
                "TLS handshake failed: " + (ec ? ec.message() : std::string("no peer key"));
            // Probes and strangers knock without a certificate; only a
            // device we dialled failing its proof is an error.
            self->core.close(self, why.c_str(), self->incoming ? LogFlagWarning : LogFlagError);
            return;
          }
          self->proven = id;
          // The Hello must name the key the handshake proved.
          self->handshake.expect(*id);
          self->start();
        });
  }

  void start() {
    std::weak_ptr<Connection> weak = shared_from_this();
    auto* io = &core.io;
    gate->resume = [weak, io] {
      asio::post(*io, [weak] {
        if (auto c = weak.lock()) c->resumeReading();
      });
    };
    peers::Hello hello;
    hello.identifier = core.localPeer.identifier();
    hello.listenPort = core.listenPort;
    {
      std::lock_guard lock(core.mutex);
      hello.displayName =
          core.advertisedName.empty() ? core.localPeer.displayName() : core.advertisedName;
    }
    send(FrameType::Hello, peers::encodeHello(hello));
    armHandshake(core.options.handshakeTimeoutMs);
    armKeepAlive();
    readNext();
  }

  void armHandshake(int ms) {
    handshakeTimer.expires_after(std::chrono::milliseconds(ms));
    auto self = shared_from_this();
    handshakeTimer.async_wait([self](const std::error_code& ec) {
      if (ec || self->closed) return;
      if (self->superseded) {
        self->core.close(self, nullptr, 0);
        return;
      }
      if (self->phase() == ConnectionPhase::Connected) return;
      if (self->decided) {
        self->core.close(self, nullptr, 0);
      } else if (self->asked) {
        // Nobody answered: say so to both sides.
        QUR_LOG_INFO("Invitation from %s timed out unanswered", self->name().c_str());
        self->answerTimedOut = true;
        self->endAsked(InvitationOutcome::TimedOut);
        self->decline(peers::DeclineReason::TimedOut);
        self->core.hide(self);
      } else if (self->phase() == ConnectionPhase::AwaitingAnswer &&
                 self->request == Request::Invite) {
        self->answerTimedOut = true;
        self->core.close(self, "the invitation was not answered", LogFlagWarning);
      } else {
        self->core.close(self, "handshake timed out", LogFlagError);
      }
    });
  }

  void armKeepAlive() {
    keepAliveTimer.expires_after(std::chrono::milliseconds(core.options.keepAliveIntervalMs));
    auto self = shared_from_this();
    keepAliveTimer.async_wait([self](const std::error_code& ec) {
      if (ec || self->closed) return;
      bool paused;
      {
        std::lock_guard lock(self->gate->mutex);
        paused = self->gate->paused;
      }
      const auto silent = Clock::now() - self->lastReceived;
      // While we hold back reading, the silence is ours, not the peer's.
      if (!paused && self->phase() != ConnectionPhase::AwaitingHello &&
          silent > std::chrono::milliseconds(self->core.options.keepAliveTimeoutMs)) {
        self->core.close(self, "stopped answering", LogFlagError);
        return;
      }
      const auto unanswered = Clock::now() - self->lastPong;
      if (self->writeStalled() ||
          (!paused && self->phase() != ConnectionPhase::AwaitingHello &&
           unanswered > std::chrono::milliseconds(self->core.options.keepAliveTimeoutMs))) {
        self->core.close(self, "stopped reading", LogFlagWarning);
        return;
      }
      if (self->phase() != ConnectionPhase::AwaitingHello) self->send(FrameType::Ping);
      self->armKeepAlive();
    });
  }

  // Ticket for one message handed to the delegate; its release lets
  // reading go on once the backlog is small again.
  std::shared_ptr<void> takeTicket(std::size_t bytes) {
    {
      std::lock_guard lock(gate->mutex);
      ++gate->messages;
      gate->bytes += bytes;
    }
    std::weak_ptr<InboundGate> weakGate = gate;
    return std::shared_ptr<void>(nullptr, [weakGate, bytes](void*) {
      auto g = weakGate.lock();
      if (!g) return;
      std::function<void()> resume;
      {
        std::lock_guard lock(g->mutex);
        --g->messages;
        g->bytes -= bytes;
        if (g->paused && g->messages == 0) {
          g->paused = false;
          resume = g->resume;
        }
      }
      if (resume) resume();
    });
  }

  bool shouldPause() {
    std::lock_guard lock(gate->mutex);
    if (gate->messages >= core.options.maxInboundMessages ||
        gate->bytes >= core.options.maxInboundBytes) {
      gate->paused = true;
    }
    return gate->paused;
  }

  void resumeReading() {
    if (closed) return;
    lastPong = Clock::now();  // their Pongs waited behind what we did not read
    if (processFrames()) readNext();
  }

  // Handles the frames already read; false when the connection closed or
  // reading is paused.
  bool processFrames() {
    peers::Frame frame;
    for (;;) {
      if (phase() == ConnectionPhase::Connected && shouldPause()) return false;
      const auto status = parser.next(&frame);
      if (status == peers::FrameParser::Status::NeedMore) return true;
      if (status == peers::FrameParser::Status::Error) {
        core.close(shared_from_this(), parser.error().c_str(), LogFlagError);
        return false;
      }
      handle(frame);
      if (closed) return false;
    }
  }

  void readNext() {
    if (readPending) return;
    readPending = true;
    auto self = shared_from_this();
    auto done = [self](const std::error_code& ec, std::size_t n) {
      self->readPending = false;
      if (self->closed) return;
      if (ec) {
        // A peer that just closes its socket truncates the TLS stream.
        const bool ended = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
        self->core.close(self, ended ? "closed by the peer" : "read failed", LogFlagWarning);
        return;
      }
      self->lastReceived = Clock::now();
      self->parser.feed(std::span(self->readBuffer.data(), n));
      if (self->processFrames()) self->readNext();
    };
    if (core.plain) {
      socket().async_read_some(asio::buffer(readBuffer), std::move(done));
    } else {
      stream.async_read_some(asio::buffer(readBuffer), std::move(done));
    }
  }

  void handle(peers::Frame& frame);
  void handleRequest(const std::optional<peers::Identifier>& joinVoucher);
  void answerInvitation(bool accept);
  void endAsked(InvitationOutcome outcome);
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

bool PeerSession::Core::admit(const tcp::socket& socket) {
  std::error_code ec;
  const auto address = socket.remote_endpoint(ec).address();
  if (ec) return false;
  std::size_t pending = 0;
  std::size_t fromAddress = 0;
  for (auto& c : connections) {
    if (c->phase() == ConnectionPhase::Connected) continue;
    ++pending;
    if (c->incoming && address.is_v4() && c->remoteAddress == address.to_v4()) ++fromAddress;
  }
  const char* why = pending >= options.maxPendingConnections      ? "too many pending connections"
                    : fromAddress >= options.maxPendingPerAddress ? "too many pending from there"
                                                                  : nullptr;
  if (!why) return true;
  if (auto quiet = refusalLog.admit()) {
    QUR_LOG_WARN("Refusing connection from %s: %s (%zu more refused since the last report)",
                 address.to_string().c_str(), why, *quiet);
  }
  return false;
}

void PeerSession::Core::startAccept() {
  auto self = shared_from_this();
  listening = true;
  acceptor.async_accept([self](const std::error_code& ec, tcp::socket socket) {
    if (self->shutDown || !self->listening) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      // Out of descriptors and the like: wait a little instead of spinning.
      QUR_LOG_ERROR("Accepting a peer connection failed: %s", ec.message().c_str());
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
    if (!c->closed && !c->decided && !c->superseded && c->identity() == id) return true;
  return false;
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

void PeerSession::Core::hide(const std::shared_ptr<Connection>& c) {
  if (!c->reported) return;
  c->reported = false;
  const auto id = c->identity();
  if (!id) return;
  // Another live link to the same peer keeps it shown.
  for (auto& other : connections)
    if (other != c && !other->closed && other->reported && other->identity() == id) return;
  visible.erase(*id);
  reportState(c->peer ? *c->peer : *c->expected, PeerSessionState::NotConnected);
}

void PeerSession::Core::reportInvitation(const PeerID& peer, bool invitedUs,
                                         InvitationOutcome outcome) {
  InvitationResultHandler handler;
  {
    std::lock_guard lock(mutex);
    handler = invitationResultHandler;
  }
  QUR_LOG_INFO("Invitation %s %s: %s", invitedUs ? "from" : "to", peer.description().c_str(),
               invitationOutcomeName(outcome));
  if (handler) handler({peer, invitedUs, outcome});
}

void PeerSession::Core::refuseJoin(const std::shared_ptr<Connection>& c, const char* why) {
  if (auto quiet = joinRefusalLog.admit()) {
    QUR_LOG_WARN("Refusing join from %s at %s: %s (%zu more refused since the last report)",
                 c->name().c_str(), c->remoteDescription.c_str(), why, *quiet);
  }
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
    if (o != c && !o->closed && !o->decided && !o->superseded && o->identity() == id) other = o;
  if (!other) return true;
  // A second link between the same two hosts has one dialled by each; any
  // other claim to a known identity is an impostor or a stale retry.
  const bool sameHost = other->remoteAddress == c->remoteAddress;
  if (!sameHost || other->incoming == c->incoming) {
    if (auto quiet = refusalLog.admit()) {
      QUR_LOG_WARN(
          "Refusing connection from %s: %s is already %s (%zu more refused since the last "
          "report)",
          c->remoteDescription.c_str(), c->name().c_str(),
          other->phase() == ConnectionPhase::Connected ? "connected" : "pending", *quiet);
    }
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
  QUR_LOG_INFO("Two links to %s; keeping the one %s dialled", c->name().c_str(),
               localDialsWinner ? "we" : "it");
  if (loser->inviting) {
    // Our invitation now rides on the kept link; theirs to us is consent.
    loser->inviting = false;
    winner->inviting = true;
    if (winner->incoming) winner->autoAccept = true;
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
      } else {
        c->inviting = true;
        c->autoAccept = true;
        if (c->asked) c->answerInvitation(true);
      }
    }
    return;
  }
  if (memberCount() + 1 >= PeerSession::kMaximumPeers) {
    QUR_LOG_ERROR("Session is full (%zu peers); not inviting another", PeerSession::kMaximumPeers);
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
      c->core.close(c, "connect failed", LogFlagError);
      return;
    }
    c->secure();
  });
}

void PeerSession::Core::close(const std::shared_ptr<Connection>& c, const char* reason,
                              int logFlag) {
  if (c->closed) return;
  if (reason && logFlag) {
    if (logFlag == LogFlagError) {
      QUR_LOG_ERROR("Closing peer connection %s: %s", c->name().c_str(), reason);
    } else if (logFlag == LogFlagWarning) {
      QUR_LOG_WARN("Closing peer connection %s: %s", c->name().c_str(), reason);
    } else {
      QUR_LOG_INFO("Closing peer connection %s: %s", c->name().c_str(), reason);
    }
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
  {
    std::lock_guard lock(mutex);
    std::erase_if(connected, [&](auto& entry) { return entry.second == c; });
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
      const auto outcome = withdrawing         ? InvitationOutcome::Withdrawn
                           : c->answerTimedOut ? InvitationOutcome::TimedOut
                                               : InvitationOutcome::Unreachable;
      reportInvitation(peer, false, outcome);
    }
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
  if (introductions.size() > 4 * PeerSession::kMaximumPeers &&
      !introductions.count(in.identifier)) {
    return;  // a member flooding us with introductions gets no more room
  }
  const asio::ip::address_v4 address(in.address);
  auto& vouched = introductions[in.identifier];
  if (vouched.size() < PeerSession::kMaximumPeers)
    vouched.emplace(from->peer->identifier(), address);
  // A newcomer that already knocked waits in AwaitingDecision for this; it
  // gets in only from where the member says it is.
  for (auto& c : std::vector(connections.begin(), connections.end())) {
    if (c->closed || c->phase() != ConnectionPhase::AwaitingDecision ||
        c->request != Request::Join || !c->peer || c->peer->identifier() != in.identifier ||
        !c->pendingJoinVoucher || *c->pendingJoinVoucher != from->peer->identifier()) {
      continue;
    }
    if (c->remoteAddress == address) {
      c->answerInvitation(true);
    } else {
      refuseJoin(c, ("the member introduced it at " + address.to_string()).c_str());
    }
    return;
  }
  if (isConnectedOrConnecting(in.identifier)) return;
  // Exactly one side dials: the one with the smaller identifier.
  if (localPeer.identifier() < in.identifier) {
    // The member vouches for the key: the newcomer must prove it holds it.
    dial({address.to_string(), in.port}, PeerID::fromWire(in.displayName, in.identifier),
         Request::Join, from->peer->identifier(), in.identifier);
  }
}

// --- Connection ---------------------------------------------------------

void Connection::endAsked(InvitationOutcome outcome) {
  asked = false;
  {
    std::lock_guard lock(core.mutex);
    core.pendingInvitations.erase(*peer);
  }
  core.reportInvitation(*peer, true, outcome);
}

void Connection::handle(peers::Frame& frame) {
  using Step = peers::Handshake::Step;
  auto self = shared_from_this();
  const auto step = handshake.receive(frame);
  switch (step) {
    case Step::Close:
      core.close(self, handshake.reason().c_str(),
                 handshake.reason() == "connected to ourselves" ? LogFlagWarning : LogFlagError);
      return;
    case Step::Hello: {
      const auto& hello = *handshake.hello();
      peer = PeerID::fromWire(hello.displayName, hello.identifier);
      remoteListenPort = hello.listenPort;
      lastPong = Clock::now();  // our Pings start now
      // A peer dialled by address only is shown from here on.
      if (!incoming && !expected) core.show(self, PeerSessionState::Connecting);
      if (!core.resolveDuplicate(self)) return;
      if (!incoming) {
        if (request == Request::Join) {
          send(FrameType::Join, peers::encodeJoin(*voucher));
        } else {
          send(FrameType::Invite);
        }
        handshake.requestSent();
        armHandshake(request == Request::Join ? core.options.handshakeTimeoutMs
                                              : core.options.invitationTimeoutMs + kInviterGraceMs);
      }
      return;
    }
    case Step::Invite:
    case Step::Join:
      handleRequest(step == Step::Join ? std::optional(handshake.voucher()) : std::nullopt);
      return;
    case Step::Accepted:
      core.becomeConnected(self);
      return;
    case Step::Declined:
      if (inviting) {
        inviting = false;
        core.reportInvitation(*peer, false,
                              handshake.declineReason() == peers::DeclineReason::TimedOut
                                  ? InvitationOutcome::TimedOut
                                  : InvitationOutcome::Declined);
      }
      core.close(self, nullptr, 0);
      return;
    case Step::Introduction:
      core.handleIntroduction(self, handshake.introduction());
      return;
    case Step::Data: {
      const auto& validator = core.options.messageValidator;
      if (validator && !validator(frame.payload)) {
        ++malformed;
        // One line for a flood, however many peers it comes through.
        if (malformed == 1) {
          if (auto quiet = core.badInputLog.admit()) {
            QUR_LOG_WARN(
                "Dropping a malformed message of %zu bytes from %s (%zu more bad-input events "
                "since the last report)",
                frame.payload.size(), name().c_str(), *quiet);
          }
        }
        if (malformed >= core.options.maxMalformedMessages) {
          if (auto quiet = core.badInputLog.admit()) {
            QUR_LOG_ERROR(
                "Closing peer connection %s: sent %d malformed messages (%zu more bad-input "
                "events since the last report)",
                name().c_str(), malformed, *quiet);
          }
          core.close(self, nullptr, 0);
        }
        return;
      }
      core.reportData(std::move(frame.payload), *peer, self);
      return;
    }
    case Step::Ping:
      sendPong();
      return;
    case Step::Pong:
      lastPong = Clock::now();
      return;
    case Step::Bye:
      core.close(self, handshake.reason().c_str(), LogFlagInfo);
      return;
  }
}

void Connection::handleRequest(const std::optional<peers::Identifier>& joinVoucher) {
  auto self = shared_from_this();
  if (superseded) return;  // the kept link carries the answer
  request = joinVoucher ? Request::Join : Request::Invite;
  handshake.deciding();
  if (core.memberCount() + 1 >= PeerSession::kMaximumPeers) {
    QUR_LOG_ERROR("Declining %s: the session is full", name().c_str());
    decline(peers::DeclineReason::Full);
    return;
  }
  if (request == Request::Join) {
    const auto& voucherID = joinVoucher;
    bool memberVouches = false;
    {
      std::lock_guard lock(core.mutex);
      for (auto& [id, c] : core.connected)
        if (id.identifier() == *voucherID) memberVouches = true;
    }
    if (!memberVouches) {
      core.refuseJoin(self, "introduced by no member of this session");
      return;
    }
    // Shown only once admitted: a refused claim must not flicker a member.
    auto found = core.introductions.find(peer->identifier());
    if (found != core.introductions.end()) {
      for (auto& [member, address] : found->second) {
        if (member != *voucherID) continue;
        if (address == remoteAddress) {
          answerInvitation(true);
        } else {
          core.refuseJoin(self, ("the member introduced it at " + address.to_string()).c_str());
        }
        return;
      }
    }
    // The member's introduction may still be on its way.
    pendingJoinVoucher = voucherID;
    armHandshake(core.options.handshakeTimeoutMs);
    return;
  }
  // One question per display name at a time: the user could not tell two
  // "Charlie"s apart.
  for (auto& c : core.connections) {
    if (c.get() != this && c->asked && c->peer && c->peer->displayName() == peer->displayName()) {
      if (auto quiet = core.refusalLog.admit()) {
        QUR_LOG_WARN(
            "Declining %s at %s: an invitation under the same name from %s is waiting "
            "(%zu more refused since the last report)",
            name().c_str(), remoteDescription.c_str(), c->remoteDescription.c_str(), *quiet);
      }
      decline(peers::DeclineReason::Busy);
      return;
    }
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
  QUR_LOG_INFO("Invitation from %s at %s", peer->description().c_str(), details.address.c_str());
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

void PeerSession::setInvitationResultHandler(InvitationResultHandler handler) {
  std::lock_guard lock(_core->mutex);
  _core->invitationResultHandler = std::move(handler);
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
