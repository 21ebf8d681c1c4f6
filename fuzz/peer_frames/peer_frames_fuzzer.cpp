// Feeds arbitrary bytes, in arbitrary chunks, to the frame parser and every
// payload decoder, walking the connection phases as a session would.
#include <cstddef>
#include <cstdint>
#include <span>

#include "peers/peer_id.h"
#include "peers/protocol.h"

using namespace qur::peers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: chunk size and direction; the rest is the stream.
  const std::size_t chunk = 1 + data[0] % 64;
  const bool incoming = data[0] & 0x80;
  std::span<const std::uint8_t> stream(data + 1, size - 1);
  FrameParser parser(4096);
  ConnectionPhase phase = ConnectionPhase::AwaitingHello;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    parser.feed(stream.subspan(at, std::min(chunk, stream.size() - at)));
    Frame frame;
    for (;;) {
      const auto status = parser.next(&frame);
      if (status == FrameParser::Status::Error) return 0;
      if (status == FrameParser::Status::NeedMore) break;
      if (frame.payload.size() > 4096) __builtin_trap();
      if (!frameAllowed(phase, frame.type, incoming)) return 0;
      switch (frame.type) {
        case FrameType::Hello: {
          HelloError error;
          auto hello = decodeHello(frame.payload, &error);
          if (!hello) return 0;
          if (!isValidDisplayName(hello->displayName)) __builtin_trap();
          if (!qur::PeerID::fromWire(hello->displayName, hello->identifier)) __builtin_trap();
          auto again = decodeHello(encodeHello(*hello), &error);
          if (!again || again->displayName != hello->displayName) __builtin_trap();
          phase = incoming ? ConnectionPhase::AwaitingRequest : ConnectionPhase::AwaitingAnswer;
          break;
        }
        case FrameType::Invite:
          phase = ConnectionPhase::Connected;
          break;
        case FrameType::Join:
          if (!decodeJoin(frame.payload)) return 0;
          phase = ConnectionPhase::Connected;
          break;
        case FrameType::Accept:
          phase = ConnectionPhase::Connected;
          break;
        case FrameType::Introduce: {
          auto in = decodeIntroduction(frame.payload);
          if (in && !isValidDisplayName(in->displayName)) __builtin_trap();
          break;
        }
        default:
          break;
      }
    }
  }
  // The name cleaner never yields an invalid name.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!isValidDisplayName(sanitizeDisplayName(text))) __builtin_trap();
  return 0;
}
