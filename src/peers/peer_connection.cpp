#include <netinet/in.h>
#include <netinet/tcp.h>

#include "log/log.h"
#include "peers/peer_session_core.h"

namespace qur {

FrameBytes makeFrame(FrameType type, std::span<const std::uint8_t> payload) {
  return std::make_shared<const std::vector<std::uint8_t>>(peers::encodeFrame(type, payload));
}

namespace {

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

}  // namespace

std::size_t Connection::cost(const FrameBytes& frame) {
  return frame->size() + kFrameOverhead;
}

// Every frame counts toward the bound (a smaller one before acceptance):
// a peer that does not read its Pongs must not grow our memory either.
// Past the bound the connection is closed and false returned.
bool Connection::enqueue(const FrameBytes& frame) {
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
      QUR_LOG_LIMITED_KIND(self->core.closeLog, "not reading", LogFlagWarning,
                           "Peer %s is not reading: over %zu queued bytes, disconnecting",
                           self->name().c_str(), bound);
      self->core.close(self, nullptr, 0);
    });
    return false;
  }
  asio::post(core.io, [self] { self->writeNext(); });
  return true;
}

void Connection::writeNext() {
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
      if (self->closed) return;
      self->endReason = PeerDisconnectReason::Broken;
      self->core.close(self, "write failed", LogFlagWarning);
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
void Connection::asyncWrite(asio::const_buffer buffer, Handler&& handler) {
  if (core.plain) {
    asio::async_write(socket(), buffer, std::forward<Handler>(handler));
  } else {
    asio::async_write(stream, buffer, std::forward<Handler>(handler));
  }
}

void Connection::send(FrameType type, std::span<const std::uint8_t> payload) {
  enqueue(makeFrame(type, payload));
}

// One Pong waiting is answer enough for any number of Pings.
void Connection::sendPong() {
  {
    std::lock_guard lock(sendMutex);
    if (pongsQueued > 0) return;
  }
  enqueue(pongFrame());
}

void Connection::decline(peers::DeclineReason reason) {
  decided = true;
  handshake.deciding();
  leave(FrameType::Decline, peers::encodeDecline(reason));
}

void Connection::leave(FrameType type, std::span<const std::uint8_t> payload) {
  send(type, payload);
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

bool Connection::writeStalled() {
  std::lock_guard lock(sendMutex);
  return writing && Clock::now() - lastWriteProgress >
                        std::chrono::milliseconds(core.options.keepAliveTimeoutMs);
}

void Connection::describeRemote() {
  std::error_code ec;
  auto endpoint = socket().remote_endpoint(ec);
  if (!ec) {
    remoteDescription = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
    if (endpoint.address().is_v4()) remoteAddress = endpoint.address().to_v4();
  }
}

// TLS first: the dialler names the key it expects, so an impostor fails
// before it learns or says anything. The handshake timer covers it.
void Connection::secure() {
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
  std::weak_ptr<Connection> weak = shared_from_this();
  auto* io = &core.io;
  postHandshake = std::make_shared<peers::PostHandshakeGuard>([weak, io] {
    asio::post(*io, [weak] {
      if (auto c = weak.lock())
        c->core.close(c, "too many TLS handshake messages after the handshake", LogFlagWarning);
    });
  });
  peers::TlsContext::guardPostHandshake(stream, postHandshake);
  auto self = shared_from_this();
  stream.async_handshake(incoming ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                         [self](const std::error_code& ec) {
                           if (self->closed) return;
                           auto id =
                               ec ? std::nullopt : peers::TlsContext::peerIdentifier(self->stream);
                           if (!id) {
                             self->refuseKey(ec);
                             return;
                           }
                           self->postHandshake->arm();
                           self->proven = id;
                           self->knownKey = self->incoming && self->core.isKnownKey(*id);
                           // The Hello must name the key the handshake proved.
                           self->handshake.expect(*id);
                           self->start();
                         });
}

// The handshake failed. A device we dialled that is not who it advertised
// is a refusal the user hears of as such, not a network fault.
void Connection::refuseKey(const std::error_code& ec) {
  const auto problem = peers::TlsContext::keyProblem(stream);
  const std::string shown = expected ? expected->displayName() : remoteDescription;
  if (problem && problem->kind == peers::PeerKeyProblem::Kind::Unexpected) {
    refusal = shown + "'s key does not match the one it advertises";
  } else if (problem) {
    refusal = shown + " presents no device key";
  }
  const std::string why =
      "TLS handshake failed: " + (ec ? ec.message() : std::string("no peer key"));
  core.close(shared_from_this(), why.c_str(), LogFlagWarning);
}

void Connection::start() {
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

void Connection::armHandshake(int ms) {
  handshakeTimer.expires_after(std::chrono::milliseconds(ms));
  auto self = shared_from_this();
  handshakeTimer.async_wait([self](const std::error_code& ec) {
    if (ec || self->closed) return;
    if (self->superseded) {
      self->core.close(self, nullptr, 0);
      return;
    }
    if (self->phase() == ConnectionPhase::Connected) return;
    if (self->decided || self->withdrawn) {
      self->core.close(self, nullptr, 0);
    } else if (self->asked) {
      // Nobody answered: say so to both sides.
      QUR_LOG_LIMITED(self->core.invitationLog, LogFlagInfo,
                      "Invitation from %s timed out unanswered", self->name().c_str());
      self->answerTimedOut = true;
      self->endAsked(InvitationOutcome::TimedOut);
      self->decline(peers::DeclineReason::TimedOut);
      self->core.hide(self);
    } else if (self->phase() == ConnectionPhase::AwaitingAnswer &&
               self->request == Request::Invite) {
      self->answerTimedOut = true;
      self->core.close(self, "the invitation was not answered", LogFlagWarning);
    } else if (self->phase() == ConnectionPhase::AwaitingAnswer) {
      self->core.close(self, "the join was not answered", LogFlagWarning);
    } else {
      self->core.close(self, "handshake timed out", LogFlagWarning);
    }
  });
}

void Connection::armKeepAlive() {
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
      self->endReason = PeerDisconnectReason::NoAnswer;
      self->core.close(self, "stopped answering", LogFlagWarning);
      return;
    }
    const auto unanswered = Clock::now() - self->lastPong;
    if (self->writeStalled() ||
        (!paused && self->phase() != ConnectionPhase::AwaitingHello &&
         unanswered > std::chrono::milliseconds(self->core.options.keepAliveTimeoutMs))) {
      self->endReason = PeerDisconnectReason::NoAnswer;
      self->core.close(self, "stopped reading", LogFlagWarning);
      return;
    }
    if (self->phase() != ConnectionPhase::AwaitingHello) self->send(FrameType::Ping);
    self->armKeepAlive();
  });
}

// Ticket for one message handed to the delegate; its release lets
// reading go on once the backlog is small again.
std::shared_ptr<void> Connection::takeTicket(std::size_t bytes) {
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

bool Connection::shouldPause() {
  std::lock_guard lock(gate->mutex);
  if (gate->messages >= core.options.maxInboundMessages ||
      gate->bytes >= core.options.maxInboundBytes) {
    gate->paused = true;
  }
  return gate->paused;
}

void Connection::resumeReading() {
  if (closed) return;
  lastPong = Clock::now();  // their Pongs waited behind what we did not read
  if (processFrames()) readNext();
}

// Handles the frames already read; false when the connection closed or
// reading is paused.
bool Connection::processFrames() {
  peers::Frame frame;
  for (;;) {
    if (phase() == ConnectionPhase::Connected && shouldPause()) return false;
    const auto status = parser.next(&frame);
    if (status == peers::FrameParser::Status::NeedMore) return true;
    if (status == peers::FrameParser::Status::Error) {
      core.close(shared_from_this(), parser.error().c_str(), LogFlagWarning);
      return false;
    }
    handle(frame);
    if (closed) return false;
  }
}

void Connection::readNext() {
  if (readPending) return;
  readPending = true;
  auto self = shared_from_this();
  auto done = [self](const std::error_code& ec, std::size_t n) {
    self->readPending = false;
    if (self->closed) return;
    if (ec) {
      // A peer that just closes its socket truncates the TLS stream.
      const bool ended = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
      self->endReason = PeerDisconnectReason::Broken;
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

// The Hello or a later frame broke the protocol: the connection ends, and
// whoever invited the peer is told what it did.
void Connection::refuseHello() {
  const std::string& reason = handshake.reason();
  const std::string shown = expected ? expected->displayName() : name();
  if (reason == "wrong protocol version") {
    refusal = shown + " speaks another protocol version";
  } else if (reason == "connected to ourselves") {
    refusal = shown + " holds this device's own key (a copy of its key folder?)";
  } else if (reason == "a different peer answered") {
    refusal = shown + " answered as another device";
  } else {
    refusal = shown + " broke the protocol (" + reason + ")";
  }
  core.close(shared_from_this(), reason.c_str(), LogFlagWarning);
}

void Connection::handle(peers::Frame& frame) {
  using Step = peers::Handshake::Step;
  auto self = shared_from_this();
  // Our invitation is given up: whatever the answer, only hanging up is left.
  if (withdrawn) return;
  const auto step = handshake.receive(frame);
  switch (step) {
    case Step::Close:
      refuseHello();
      return;
    case Step::Hello: {
      const auto& hello = *handshake.hello();
      peer = PeerID::fromWire(hello.displayName, hello.identifier);
      remoteListenPort = hello.listenPort;
      lastPong = Clock::now();  // our Pings start now
      // A peer dialled by address only is shown from here on.
      if (!incoming && !expected) core.show(self, PeerSessionState::Connecting);
      if (!incoming) {
        // Whoever answers must be the device meant: the one the member
        // introduced under that name, or one the user may invite.
        if (request == Request::Join && expected &&
            expected->displayName() != peer->displayName()) {
          core.close(self, "its hello gives another name than the member's introduction",
                     LogFlagWarning);
          return;
        }
        if (request == Request::Invite && !core.inviteeAllowed(*peer)) {
          core.close(self, "not a device the user may invite under that name and key",
                     LogFlagWarning);
          return;
        }
      }
      if (!core.resolveDuplicate(self)) return;
      if (!incoming) {
        if (request == Request::Join) {
          send(FrameType::Join, peers::encodeJoin(*voucher));
        } else {
          send(FrameType::Invite);
        }
        handshake.requestSent();
        // The other side may ask its user about a Join too.
        armHandshake(core.options.invitationTimeoutMs + kInviterGraceMs);
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
          QUR_LOG_LIMITED(core.badInputLog, LogFlagWarning,
                          "Dropping a malformed message of %zu bytes from %s", frame.payload.size(),
                          name().c_str());
        }
        if (malformed >= core.options.maxMalformedMessages) {
          QUR_LOG_LIMITED(core.badInputLog, LogFlagWarning,
                          "Closing peer connection %s: sent %d malformed messages", name().c_str(),
                          malformed);
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
      endReason = PeerDisconnectReason::Left;
      core.close(self, handshake.reason().c_str(), LogFlagInfo);
      return;
  }
}

}  // namespace qur
