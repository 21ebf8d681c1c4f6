// Feeds arbitrary bytes, in arbitrary chunks, to the frame parser and the
// connection's real handshake, with the session's decisions taken from the
// input too, and checks what the handshake lets through.
#include <cstddef>
#include <cstdint>
#include <span>

#include "peers/handshake.h"
#include "peers/peer_id.h"
#include "peers/protocol.h"

using namespace qur::peers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // First byte: chunk size and direction; second: the session's choices
  // (bit 0 expect a peer, bits 1-7 whether to accept at each decision).
  const std::size_t chunk = 1 + data[0] % 64;
  const bool incoming = data[0] & 0x80;
  std::uint8_t choices = data[1];
  Identifier local{};
  local[0] = 0x42;
  Handshake handshake(local, incoming);
  if (choices & 1) {
    Identifier expected{};
    expected[0] = 0x17;
    handshake.expect(expected);
  }
  std::span<const std::uint8_t> stream(data + 2, size - 2);
  FrameParser parser(4096);
  bool helloSeen = false;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    parser.feed(stream.subspan(at, std::min(chunk, stream.size() - at)));
    Frame frame;
    for (;;) {
      const auto status = parser.next(&frame);
      if (status == FrameParser::Status::Error) return 0;
      if (status == FrameParser::Status::NeedMore) break;
      if (frame.payload.size() > 4096) __builtin_trap();
      const auto before = handshake.phase();
      const auto step = handshake.receive(frame);
      using Step = Handshake::Step;
      switch (step) {
        case Step::Close:
          if (!handshake.closed() || handshake.reason().empty()) __builtin_trap();
          return 0;
        case Step::Hello: {
          if (helloSeen || before != ConnectionPhase::AwaitingHello) __builtin_trap();
          helloSeen = true;
          const auto& hello = *handshake.hello();
          if (hello.identifier == local) __builtin_trap();
          if (!isValidDisplayName(hello.displayName)) __builtin_trap();
          if (!qur::PeerID::fromWire(hello.displayName, hello.identifier)) __builtin_trap();
          HelloError error;
          auto again = decodeHello(encodeHello(hello), &error);
          if (!again || again->displayName != hello.displayName) __builtin_trap();
          if (!incoming) handshake.requestSent();
          break;
        }
        case Step::Invite:
        case Step::Join:
          if (!incoming || !helloSeen) __builtin_trap();
          if (handshake.phase() != ConnectionPhase::AwaitingDecision) __builtin_trap();
          choices = static_cast<std::uint8_t>(choices >> 1 | choices << 7);
          if (choices & 1) handshake.connected();
          break;
        case Step::Accepted:
          if (incoming || before != ConnectionPhase::AwaitingAnswer) __builtin_trap();
          handshake.connected();
          break;
        case Step::Declined:
        case Step::Bye:
          if (!handshake.closed()) __builtin_trap();
          return 0;
        case Step::Introduction:
          if (before != ConnectionPhase::Connected) __builtin_trap();
          if (!isValidDisplayName(handshake.introduction().displayName)) __builtin_trap();
          break;
        case Step::Data:
          // Nothing but a member's data ever reaches the delegate.
          if (before != ConnectionPhase::Connected) __builtin_trap();
          break;
        case Step::Ping:
        case Step::Pong:
          if (!helloSeen) __builtin_trap();
          break;
      }
    }
  }
  // The name cleaner never yields an invalid name.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!isValidDisplayName(sanitizeDisplayName(text))) __builtin_trap();
  return 0;
}
