// One connection's frame rules and handshake, without a socket or a timer:
// it takes each frame that arrives and says what it means. What needs the
// whole session (duplicate links, admission, the mesh, the user's answer)
// is decided by the session, which tells the handshake where it got to.
// Pure and single-threaded, so the fuzzer drives the real thing.
#pragma once

#include <optional>
#include <string>

#include "peers/protocol.h"

namespace qur::peers {

class Handshake {
 public:
  enum class Step {
    Close,         // reason() says why; nothing more is read
    Hello,         // hello() is the remote peer
    Invite,        // incoming: the peer asks to be let in
    Join,          // incoming: voucher() is the member that introduced it
    Accepted,      // outgoing: the peer let us in
    Declined,      // outgoing: declineReason() says why
    Introduction,  // introduction() names another member
    Data,          // a message for the delegate
    Ping,          // answer with a Pong
    Pong,
    Bye,  // the peer is leaving
  };

  // expected: the identifier discovery gave for the peer we dial, if any.
  Handshake(const Identifier& local, bool incoming, std::optional<Identifier> expected = {})
      : _local(local), _incoming(incoming), _expected(expected) {}

  Step receive(const Frame& frame);

  // The identifier discovery gave for the peer being dialled.
  void expect(const Identifier& identifier) { _expected = identifier; }
  // The session's side of the handshake.
  void requestSent() { _phase = ConnectionPhase::AwaitingAnswer; }  // Invite or Join
  void deciding() { _phase = ConnectionPhase::AwaitingDecision; }   // asking, or declining
  void connected() { _phase = ConnectionPhase::Connected; }

  ConnectionPhase phase() const { return _phase; }
  bool incoming() const { return _incoming; }
  const std::string& reason() const { return _reason; }
  bool closed() const { return _closed; }
  const std::optional<Hello>& hello() const { return _hello; }
  const Identifier& voucher() const { return _voucher; }
  DeclineReason declineReason() const { return _declineReason; }
  const Introduction& introduction() const { return _introduction; }

 private:
  Step close(std::string reason);

  const Identifier _local;
  const bool _incoming;
  std::optional<Identifier> _expected;
  ConnectionPhase _phase = ConnectionPhase::AwaitingHello;
  bool _closed = false;
  std::string _reason;
  std::optional<Hello> _hello;
  Identifier _voucher{};
  DeclineReason _declineReason = DeclineReason::Declined;
  Introduction _introduction;
};

}  // namespace qur::peers
