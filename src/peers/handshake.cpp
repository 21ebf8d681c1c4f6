#include "peers/handshake.h"

namespace qur::peers {

Handshake::Step Handshake::close(std::string reason) {
  _closed = true;
  _reason = std::move(reason);
  return Step::Close;
}

Handshake::Step Handshake::receive(const Frame& frame) {
  if (_closed) return Step::Close;
  if (!frameAllowed(_phase, frame.type, _incoming)) {
    return close(std::string("unexpected ") + frameTypeName(frame.type) +
                 (_phase == ConnectionPhase::Connected ? "" : " before acceptance"));
  }
  switch (frame.type) {
    case FrameType::Hello: {
      HelloError error;
      auto hello = decodeHello(frame.payload, &error);
      if (!hello) {
        return close(error == HelloError::WrongVersion ? "wrong protocol version"
                     : error == HelloError::BadMagic   ? "not a peer hello"
                     : error == HelloError::BadName    ? "invalid display name"
                                                       : "malformed hello");
      }
      if (hello->identifier == _local) return close("connected to ourselves");
      if (_expected && *_expected != hello->identifier) return close("a different peer answered");
      _hello = std::move(hello);
      // The dialler's request comes next; the session sends it (requestSent).
      if (_incoming) _phase = ConnectionPhase::AwaitingRequest;
      return Step::Hello;
    }
    case FrameType::Invite:
      _phase = ConnectionPhase::AwaitingDecision;
      return Step::Invite;
    case FrameType::Join: {
      auto voucher = decodeJoin(frame.payload);
      if (!voucher) return close("malformed join");
      _voucher = *voucher;
      _phase = ConnectionPhase::AwaitingDecision;
      return Step::Join;
    }
    case FrameType::Accept:
      return Step::Accepted;
    case FrameType::Decline:
      _declineReason = decodeDecline(frame.payload);
      _closed = true;
      return Step::Declined;
    case FrameType::Introduce: {
      auto in = decodeIntroduction(frame.payload);
      if (!in) return close("malformed introduction");
      _introduction = std::move(*in);
      return Step::Introduction;
    }
    case FrameType::Data:
      return Step::Data;
    case FrameType::Ping:
      return Step::Ping;
    case FrameType::Pong:
      return Step::Pong;
    case FrameType::Bye:
      _closed = true;
      _reason = "the peer left";
      return Step::Bye;
  }
  return close("unknown frame");
}

}  // namespace qur::peers
