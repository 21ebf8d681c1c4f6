// A peer session: TCP connections to up to seven remote peers that have
// accepted an invitation (or were introduced by a member), meshed so every
// member is connected to every other. Byte messages go out whole, once and
// in order; a peer that stops answering is dropped within a few seconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peers/peer_id.h"
#include "peers/transport.h"

namespace qur {

class PeerSession;

enum class PeerSessionState : int {
  NotConnected = 0,
  Connecting = 1,
  Connected = 2,
};

enum class SessionSendDataMode : int {
  Reliable = 0,
  Unreliable = 1,  // treated as reliable: there is only TCP
};

struct PeerError {
  int code = 0;
  std::string description;
};

// The session's one delegate. Called on the transport thread, in order per
// peer; the data span is valid only during the call.
class PeerSessionDelegate {
 public:
  virtual ~PeerSessionDelegate() = default;
  virtual void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& session,
                                         const PeerID& peer, PeerSessionState state) = 0;
  virtual void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>& session,
                                             std::span<const std::uint8_t> data,
                                             const PeerID& peer) = 0;
  // The same receipt with back-pressure: the session reads no more from that
  // peer while too many messages still hold their ticket. A delegate that
  // handles messages later keeps the ticket until it has. The default hands
  // the bytes to the call above and so releases the ticket at once.
  virtual void sessionDidReceiveMessageFromPeer(
      const std::shared_ptr<PeerSession>& session,
      const std::shared_ptr<const std::vector<std::uint8_t>>& message, const PeerID& peer,
      const std::shared_ptr<void>& ticket) {
    (void)ticket;
    sessionDidReceiveDataFromPeer(session, *message, peer);
  }
  // This transport carries no streams or resources; the callbacks exist so a
  // delegate can serve every kind the session reports.
  virtual void sessionDidReceiveStreamWithNameFromPeer(const std::shared_ptr<PeerSession>&,
                                                       const std::shared_ptr<std::istream>&,
                                                       const std::string&, const PeerID&) {}
  virtual void sessionDidStartReceivingResourceWithNameFromPeer(const std::shared_ptr<PeerSession>&,
                                                                const std::string&, const PeerID&) {
  }
  virtual void sessionDidFinishReceivingResourceWithNameFromPeer(
      const std::shared_ptr<PeerSession>&, const std::string&, const PeerID&,
      const std::optional<PeerError>&) {}
};

// Asked for every invitation into the session; calls reply(true) to accept or
// reply(false) to decline, at once or later, from any thread.
using InvitationHandler =
    std::function<void(const PeerID& peer, std::function<void(bool accept)> reply)>;

InvitationHandler acceptAllInvitations();
// How an invitation ended, for either side of it.
enum class InvitationOutcome : int {
  Accepted = 0,
  Declined = 1,
  TimedOut = 2,     // nobody answered within the invitation timeout
  Unreachable = 3,  // no connection, or it broke before an answer
  Withdrawn = 4,    // the other side hung up, or our own disconnect ended it
  Refused = 5,      // we refused the device we invited (its key, its hello): detail says why
};
const char* invitationOutcomeName(InvitationOutcome outcome);

struct InvitationResult {
  PeerID peer;
  bool invitedUs = false;  // false: we invited the peer
  InvitationOutcome outcome = InvitationOutcome::Declined;
  // Refused: what the device did, in words for the user ("Alpha's key does
  // not match the one it advertises").
  std::string detail;
};
using InvitationResultHandler = std::function<void(const InvitationResult& result)>;

// What an invitation handler can show to tell two inviters apart.
struct InvitationDetails {
  PeerID peer;
  std::string address;           // where the inviter connected from
  std::string identifierPrefix;  // the first 8 hex digits of its identifier
};

InvitationHandler declineAllInvitations();

// A device a connected member introduced, as the session asks about it
// before it dials the device or lets it in.
struct IntroductionRequest {
  // Dialling: the name and identifier the member gave. Dialled: the
  // newcomer's hello name and the identifier of the key it proved.
  PeerID peer;
  PeerID member;        // the connected member that introduced it
  std::string address;  // where the member says it is, or where it dialled from
  bool dialling = false;
};
// Asked for every introduced device; reply(true) lets it in (dials it, or
// accepts its Join), at once or later, from any thread. Unanswered, the
// question ends like an invitation: timed out (reported as an invitation
// to us) after the invitation timeout, or withdrawn when the device or the
// member leaves.
using IntroductionHandler =
    std::function<void(const IntroductionRequest& request, std::function<void(bool admit)> reply)>;
// Asked on the transport thread once a device we invite has said who it is
// (its hello name, the identifier of the key it proved) and before the
// Invite goes out; false hangs up (the invitation ends unreachable).
using InviteeCheck = std::function<bool(const PeerID& invitee)>;

// Why a connected peer went away.
enum class PeerDisconnectReason : int {
  Local = 0,     // we disconnected or the session closed
  Left = 1,      // the peer said goodbye
  NoAnswer = 2,  // the peer went silent past the keep-alive timeout
  Broken = 3,    // the connection closed or failed without a goodbye
  Other = 4,     // refused: malformed data, a duplicate link, an overfull queue
};
const char* peerDisconnectReasonName(PeerDisconnectReason reason);

struct PeerDisconnect {
  PeerID peer;
  PeerDisconnectReason reason = PeerDisconnectReason::Other;
  // NoAnswer: how long the peer had been silent when it was dropped.
  int silenceMs = 0;
};
using PeerDisconnectHandler = std::function<void(const PeerDisconnect& disconnect)>;

// Where a discovered peer listens.
struct PeerEndpoint {
  std::string address;  // numeric IPv4
  std::uint16_t port = 0;
};

class PeerSession : public std::enable_shared_from_this<PeerSession> {
 public:
  static constexpr std::size_t kMaximumPeers = 8;  // counting the local peer

  struct Options {
    std::size_t maxQueuedBytes = 1024 * 1024;  // per peer, before it is dropped
    int handshakeTimeoutMs = 3000;
    int invitationTimeoutMs = 30000;
    int keepAliveIntervalMs = 1000;
    int keepAliveTimeoutMs = 3500;
    std::size_t maxPendingConnections = 64;
    std::size_t maxPendingPerAddress = 8;  // so one host cannot take every slot
    // Bound on a connection's queue before it is accepted (control frames only).
    std::size_t maxQueuedBytesBeforeAcceptance = 64 * 1024;
    // Inbound messages handed to the delegate and not yet handled; past
    // either bound the peer's socket is not read.
    std::size_t maxInboundMessages = 64;
    std::size_t maxInboundBytes = 512 * 1024;
    // Data messages failing the validator are dropped; this many closes the
    // connection. No validator: every message is delivered.
    int maxMalformedMessages = 8;
    std::function<bool(std::span<const std::uint8_t>)> messageValidator;
  };

  // Listens on an ephemeral TCP port of every address. Null when it cannot.
  static std::shared_ptr<PeerSession> create(const PeerID& peer,
                                             std::shared_ptr<Transport> transport = nullptr);
  static std::shared_ptr<PeerSession> create(const PeerID& peer, const Options& options,
                                             std::shared_ptr<Transport> transport = nullptr);
  // Takes over the listening socket of a previous session on the same
  // transport, so the port stays the same for the life of the process; the
  // previous session accepts nothing more. Any thread but the transport's.
  static std::shared_ptr<PeerSession> createTakingOverListener(
      const PeerID& peer, const Options& options, const std::shared_ptr<PeerSession>& previous,
      std::shared_ptr<Transport> transport = nullptr);
  const Options& options() const;
  ~PeerSession();
  PeerSession(const PeerSession&) = delete;
  PeerSession& operator=(const PeerSession&) = delete;

  const PeerID& myPeerID() const;
  // The name later Hellos carry: the one the device advertises, which after
  // a name conflict on the network differs from myPeerID's ("name #2").
  // Thread-safe; the identifier never changes.
  void setAdvertisedName(const std::string& name);
  std::uint16_t port() const;
  const std::shared_ptr<Transport>& transport() const;

  void setDelegate(std::weak_ptr<PeerSessionDelegate> delegate);
  std::shared_ptr<PeerSessionDelegate> delegate() const;

  // Thread-safe snapshot, in the order the peers connected.
  std::vector<PeerID> connectedPeers() const;

  // Queues one copy of the bytes for each peer; returns false with an error
  // when one of them is not connected or is over its queue bound (that peer
  // is dropped). Thread-safe.
  bool sendData(std::span<const std::uint8_t> data, const std::vector<PeerID>& peers,
                SessionSendDataMode mode, PeerError* error);

  // Closes every connection and reports each peer NotConnected before
  // returning. The session stays usable.
  void disconnect();

  // Dials a peer and invites it. Reports Connecting, then Connected or
  // NotConnected. An expected peer identity (from discovery) must match the
  // one the remote announces.
  void invitePeer(const PeerEndpoint& endpoint, const std::optional<PeerID>& expected = {});

  // Whether a key is one the user pinned: a pending connection that proved
  // such a key is never closed to make room for others. Called on the
  // transport thread; any thread may set it.
  void setKnownKeyCheck(std::function<bool(const peers::Identifier&)> check);

  // Handler for incoming invitations; null declines them all (not advertising).
  void setInvitationHandler(InvitationHandler handler);
  bool acceptsInvitations() const;
  // Handler for introduced devices; null lets every one in. Any thread.
  void setIntroductionHandler(IntroductionHandler handler);
  // Check of every device we invite; null lets every one be invited. Any thread.
  void setInviteeCheck(InviteeCheck check);
  // Gives up our invitations to the peer that are still unanswered: the
  // peer is told (Bye) and the invitation ends withdrawn. Any thread.
  void withdrawInvitation(const PeerID& peer);

  // Told how every invitation in either direction ended; called on the
  // transport thread. Any thread may set it.
  void setInvitationResultHandler(InvitationResultHandler handler);
  // Told why each connected peer went away, on the transport thread, just
  // before its NotConnected report. Any thread may set it.
  void setDisconnectHandler(PeerDisconnectHandler handler);
  // The details of an invitation from the peer that waits for an answer.
  // Thread-safe.
  std::optional<InvitationDetails> pendingInvitation(const PeerID& peer) const;

  struct Core;

 private:
  explicit PeerSession(std::shared_ptr<Core> core) : _core(std::move(core)) {}
  std::shared_ptr<Core> _core;
};

}  // namespace qur
