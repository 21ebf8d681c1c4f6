// The peer session's wire protocol: length-prefixed frames over TCP, a
// versioned hello, invitations and mesh introductions (docs/protocol.md).
// Everything here is pure: no sockets, no threads, so it can be fuzzed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qur::peers {

inline constexpr std::uint16_t kProtocolVersion = 2;
inline constexpr std::array<std::uint8_t, 4> kHelloMagic = {'Q', 'U', 'R', 'W'};
// Largest payload of one frame; a byte message is one wire message of a few
// hundred bytes, so this is generous.
inline constexpr std::size_t kMaxPayload = 256 * 1024;
inline constexpr std::size_t kHeaderSize = 5;  // u32 length + u8 type
inline constexpr std::size_t kMaxDisplayNameBytes = 63;
inline constexpr std::size_t kIdentifierSize = 16;

using Identifier = std::array<std::uint8_t, kIdentifierSize>;

enum class FrameType : std::uint8_t {
  Hello = 1,
  Invite = 2,
  Accept = 3,
  Decline = 4,
  Join = 5,
  Introduce = 6,
  Data = 7,
  Ping = 8,
  Pong = 9,
  Bye = 10,
};

const char* frameTypeName(FrameType type);

struct Frame {
  FrameType type;
  std::vector<std::uint8_t> payload;
};

struct Hello {
  std::uint16_t version = kProtocolVersion;
  Identifier identifier{};
  std::uint16_t listenPort = 0;
  std::string displayName;
};

// A peer the sender is connected to, handed to a newcomer (so it can dial)
// or to an existing member (so it lets the newcomer in).
struct Introduction {
  Identifier identifier{};
  std::array<std::uint8_t, 4> address{};  // IPv4, network order
  std::uint16_t port = 0;
  std::string displayName;
};

// Whether the bytes are a display name as it is sent: normalised (NFC, no
// outer white space), at most 63 bytes, nothing invisible or controlling
// (display_name.h).
bool isValidDisplayName(std::string_view name);
// Makes a valid display name of any text (drops invalid sequences, control
// and invisible characters, normalises, cuts at a character boundary);
// "peer" when nothing is left.
std::string sanitizeDisplayName(std::string_view name);

std::vector<std::uint8_t> encodeFrame(FrameType type, std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> encodeHello(const Hello& hello);
std::vector<std::uint8_t> encodeJoin(const Identifier& voucher);
std::vector<std::uint8_t> encodeIntroduction(const Introduction& introduction);

enum class HelloError { None, Malformed, BadMagic, WrongVersion, BadName };
// Decodes a hello payload; on failure returns nullopt and sets error.
std::optional<Hello> decodeHello(std::span<const std::uint8_t> payload, HelloError* error);
std::optional<Identifier> decodeJoin(std::span<const std::uint8_t> payload);
std::optional<Introduction> decodeIntroduction(std::span<const std::uint8_t> payload);

// Why an invitation was declined: an optional byte in the Decline payload.
// An empty or unknown payload reads as Declined.
enum class DeclineReason : std::uint8_t { Declined = 0, TimedOut = 1, Full = 2, Busy = 3 };
std::vector<std::uint8_t> encodeDecline(DeclineReason reason);
DeclineReason decodeDecline(std::span<const std::uint8_t> payload);

std::string identifierToHex(const Identifier& identifier);
std::optional<Identifier> identifierFromHex(std::string_view hex);

// Splits a byte stream into frames. Feed it what the socket read; take frames
// with next(). After an error it stays failed.
class FrameParser {
 public:
  enum class Status { Frame, NeedMore, Error };

  explicit FrameParser(std::size_t maxPayload = kMaxPayload) : _maxPayload(maxPayload) {}
  void feed(std::span<const std::uint8_t> bytes);
  // Frame: *frame is filled. Error: error() says why.
  Status next(Frame* frame);
  const std::string& error() const { return _error; }
  std::size_t buffered() const { return _buffer.size() - _offset; }

 private:
  std::size_t _maxPayload;
  std::vector<std::uint8_t> _buffer;
  std::size_t _offset = 0;
  std::string _error;
};

// Where a connection is in its life, and which frames it may receive there.
enum class ConnectionPhase {
  AwaitingHello,     // nothing received yet
  AwaitingRequest,   // incoming: hello seen, waiting for Invite or Join
  AwaitingAnswer,    // outgoing: Invite or Join sent, waiting for Accept/Decline
  AwaitingDecision,  // incoming: the invitation handler has not answered yet
  Connected,
};
bool frameAllowed(ConnectionPhase phase, FrameType type, bool incoming);

}  // namespace qur::peers
