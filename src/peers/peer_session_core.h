// What a peer link (peer_connection.cpp) and the session core that admits,
// dials and meshes links (peer_session.cpp) share; nothing else includes it.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <unordered_set>

#include "peers/handshake.h"
#include "peers/log_limiter.h"
#include "peers/peer_session.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"
#include "peers/transport_io.h"

namespace qur {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using peers::ConnectionPhase;
using peers::FrameType;

using FrameBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

FrameBytes makeFrame(FrameType type, std::span<const std::uint8_t> payload = {});

enum class Request { None, Invite, Join };

// Counts inbound messages the delegate still holds; thread-safe because
// tickets are released wherever the delegate finishes with a message.
struct InboundGate {
  std::mutex mutex;
  std::size_t messages = 0;
  std::size_t bytes = 0;
  bool paused = false;
  std::function<void()> resume;  // posts to the transport thread
};

struct Connection;

struct PeerSession::Core : std::enable_shared_from_this<PeerSession::Core> {
  Core(const PeerID& peer, const Options& options, std::shared_ptr<Transport> transport,
       std::shared_ptr<peers::TlsContext> tls);

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
  IntroductionHandler introductionHandler;
  InviteeCheck inviteeCheck;
  PeerDisconnectHandler disconnectHandler;
  std::string advertisedName;  // empty: the local peer's display name
  std::function<bool(const peers::Identifier&)> knownKey;
  std::vector<std::pair<PeerID, std::shared_ptr<Connection>>> connected;
  std::map<PeerID, InvitationDetails> pendingInvitations;

  // Transport thread only.
  tcp::acceptor acceptor;
  std::unordered_set<std::shared_ptr<Connection>> connections;
  // Introductions: newcomer identifier -> (member that vouched, address it
  // gave, name it gave).
  using Vouch = std::tuple<peers::Identifier, asio::ip::address_v4, std::string>;
  std::map<peers::Identifier, std::set<Vouch>> introductions;
  // Introduced devices we would dial, while the introduction handler decides.
  struct DialQuestion {
    PeerID peer;
    PeerID member;
    PeerEndpoint endpoint;
    std::shared_ptr<asio::steady_timer> timer;
    std::uint64_t serial = 0;
  };
  std::map<peers::Identifier, DialQuestion> dialQuestions;
  std::uint64_t nextQuestion = 1;
  // What the delegate was last told per peer: several links to one peer
  // (crossed invitations) show as one.
  std::map<peers::Identifier, PeerSessionState> visible;
  peers::LogLimiter refusalLog;
  peers::LogLimiter joinRefusalLog;
  peers::LogLimiter badInputLog;
  peers::LogLimiter introductionLog;
  peers::LogLimiter evictionLog;
  peers::LogLimiter acceptLog;
  peers::LogLimiter invitationLog;
  KeyedLogLimiter closeLog;  // one count per kind of ending
  bool shutDown = false;
  bool listening = false;
  bool withdrawing = false;  // our own disconnect is closing everything

  bool open();
  void startAccept();
  bool admit(const tcp::socket& socket);
  bool isKnownKey(const peers::Identifier& id) const;
  void show(const std::shared_ptr<Connection>& c, PeerSessionState state);
  void hide(const std::shared_ptr<Connection>& c);
  // Whether closing c takes the peer off the list (no other live link shows it).
  bool isLastShownLink(const std::shared_ptr<Connection>& c) const;
  bool resolveDuplicate(const std::shared_ptr<Connection>& c);
  void reportInvitation(const PeerID& peer, bool invitedUs, InvitationOutcome outcome,
                        const std::string& detail = {});
  void refuseJoin(const std::shared_ptr<Connection>& c, const char* why);
  void dial(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected, Request request,
            const std::optional<peers::Identifier>& voucher,
            std::optional<peers::Identifier> expectedKey = {});
  void becomeConnected(const std::shared_ptr<Connection>& c);
  void introduce(const std::shared_ptr<Connection>& newcomer);
  void handleIntroduction(const std::shared_ptr<Connection>& from,
                          const peers::Introduction& introduction);
  void askToDial(const std::shared_ptr<Connection>& member,
                 const peers::Introduction& introduction);
  void endDialQuestion(const peers::Identifier& newcomer, InvitationOutcome outcome);
  void withdraw(const PeerID& peer);
  bool inviteeAllowed(const PeerID& invitee);
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
  const Clock::time_point admittedAt = Clock::now();
  // The identifier whose key the peer proved it holds.
  std::optional<peers::Identifier> proven;
  bool knownKey = false;  // proven, and pinned here: never evicted for room
  // Why we refused the peer (its key, its hello), for whoever invited it.
  std::string refusal;
  std::shared_ptr<peers::PostHandshakeGuard> postHandshake;
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
  bool withdrawn = false;   // our invitation given up; only hanging up is left
  bool superseded = false;  // the twin of a kept link; its dialler hangs it up
  // Why the link ends, set just before closing it; Other unless said.
  PeerDisconnectReason endReason = PeerDisconnectReason::Other;
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

  static std::size_t cost(const FrameBytes& frame);
  bool enqueue(const FrameBytes& frame);
  void writeNext();
  template <typename Handler>
  void asyncWrite(asio::const_buffer buffer, Handler&& handler);
  void send(FrameType type, std::span<const std::uint8_t> payload = {});
  void sendPong();
  void decline(peers::DeclineReason reason);
  // Sends the frame and hangs up once it is written (or soon, if the peer
  // does not read it).
  void leave(FrameType type, std::span<const std::uint8_t> payload = {});
  bool writeStalled();
  void describeRemote();
  void secure();
  void refuseKey(const std::error_code& ec);
  void refuseHello();
  void start();
  void armHandshake(int ms);
  void armKeepAlive();
  std::shared_ptr<void> takeTicket(std::size_t bytes);
  bool shouldPause();
  void resumeReading();
  bool processFrames();
  void readNext();

  void handle(peers::Frame& frame);
  void handleRequest(const std::optional<peers::Identifier>& joinVoucher);
  void askAboutJoin(const PeerID& member, const std::string& introducedName);
  void answerInvitation(bool accept);
  void endAsked(InvitationOutcome outcome);
};

}  // namespace qur
