#include "peers/protocol.h"

#include <cstring>

namespace qur::peers {
namespace {

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

std::uint16_t getU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

const char* frameTypeName(FrameType type) {
  switch (type) {
    case FrameType::Hello:
      return "hello";
    case FrameType::Invite:
      return "invite";
    case FrameType::Accept:
      return "accept";
    case FrameType::Decline:
      return "decline";
    case FrameType::Join:
      return "join";
    case FrameType::Introduce:
      return "introduce";
    case FrameType::Data:
      return "data";
    case FrameType::Ping:
      return "ping";
    case FrameType::Pong:
      return "pong";
    case FrameType::Bye:
      return "bye";
  }
  return "unknown";
}

std::vector<std::uint8_t> encodeFrame(FrameType type, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  out.reserve(kHeaderSize + payload.size());
  const auto length = static_cast<std::uint32_t>(payload.size() + 1);
  out.push_back(static_cast<std::uint8_t>(length >> 24));
  out.push_back(static_cast<std::uint8_t>(length >> 16));
  out.push_back(static_cast<std::uint8_t>(length >> 8));
  out.push_back(static_cast<std::uint8_t>(length));
  out.push_back(static_cast<std::uint8_t>(type));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> encodeHello(const Hello& hello) {
  std::vector<std::uint8_t> out(kHelloMagic.begin(), kHelloMagic.end());
  putU16(out, hello.version);
  out.insert(out.end(), hello.identifier.begin(), hello.identifier.end());
  putU16(out, hello.listenPort);
  out.push_back(static_cast<std::uint8_t>(hello.displayName.size()));
  out.insert(out.end(), hello.displayName.begin(), hello.displayName.end());
  return out;
}

std::optional<Hello> decodeHello(std::span<const std::uint8_t> p, HelloError* error) {
  HelloError dummy;
  HelloError& err = error ? *error : dummy;
  err = HelloError::None;
  // magic, version: checked first so an old or foreign peer gets a clear reason
  if (p.size() < 6) {
    err = HelloError::Malformed;
    return std::nullopt;
  }
  if (std::memcmp(p.data(), kHelloMagic.data(), kHelloMagic.size()) != 0) {
    err = HelloError::BadMagic;
    return std::nullopt;
  }
  Hello hello;
  hello.version = getU16(p.data() + 4);
  if (hello.version != kProtocolVersion) {
    err = HelloError::WrongVersion;
    return std::nullopt;
  }
  constexpr std::size_t fixed = 6 + kIdentifierSize + 2 + 1;
  if (p.size() < fixed) {
    err = HelloError::Malformed;
    return std::nullopt;
  }
  std::memcpy(hello.identifier.data(), p.data() + 6, kIdentifierSize);
  hello.listenPort = getU16(p.data() + 6 + kIdentifierSize);
  const std::size_t nameLength = p[fixed - 1];
  if (p.size() != fixed + nameLength) {
    err = HelloError::Malformed;
    return std::nullopt;
  }
  hello.displayName.assign(reinterpret_cast<const char*>(p.data() + fixed), nameLength);
  if (!isValidDisplayName(hello.displayName)) {
    err = HelloError::BadName;
    return std::nullopt;
  }
  return hello;
}

std::vector<std::uint8_t> encodeJoin(const Identifier& voucher) {
  return {voucher.begin(), voucher.end()};
}

std::optional<Identifier> decodeJoin(std::span<const std::uint8_t> payload) {
  if (payload.size() != kIdentifierSize) return std::nullopt;
  Identifier id;
  std::memcpy(id.data(), payload.data(), kIdentifierSize);
  return id;
}

std::vector<std::uint8_t> encodeIntroduction(const Introduction& in) {
  std::vector<std::uint8_t> out(in.identifier.begin(), in.identifier.end());
  out.insert(out.end(), in.address.begin(), in.address.end());
  putU16(out, in.port);
  out.push_back(static_cast<std::uint8_t>(in.displayName.size()));
  out.insert(out.end(), in.displayName.begin(), in.displayName.end());
  return out;
}

std::optional<Introduction> decodeIntroduction(std::span<const std::uint8_t> p) {
  constexpr std::size_t fixed = kIdentifierSize + 4 + 2 + 1;
  if (p.size() < fixed) return std::nullopt;
  Introduction in;
  std::memcpy(in.identifier.data(), p.data(), kIdentifierSize);
  std::memcpy(in.address.data(), p.data() + kIdentifierSize, 4);
  in.port = getU16(p.data() + kIdentifierSize + 4);
  const std::size_t nameLength = p[fixed - 1];
  if (p.size() != fixed + nameLength || in.port == 0) return std::nullopt;
  in.displayName.assign(reinterpret_cast<const char*>(p.data() + fixed), nameLength);
  if (!isValidDisplayName(in.displayName)) return std::nullopt;
  return in;
}

std::string identifierToHex(const Identifier& identifier) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(kIdentifierSize * 2);
  for (auto b : identifier) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::optional<Identifier> identifierFromHex(std::string_view hex) {
  if (hex.size() != kIdentifierSize * 2) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Identifier id;
  for (std::size_t i = 0; i < kIdentifierSize; ++i) {
    const int hi = nibble(hex[2 * i]);
    const int lo = nibble(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    id[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return id;
}

void FrameParser::feed(std::span<const std::uint8_t> bytes) {
  if (!_error.empty()) return;
  // Drop what was consumed before growing, so the buffer stays near one frame.
  if (_offset > 0 && _offset == _buffer.size()) {
    _buffer.clear();
    _offset = 0;
  } else if (_offset > 64 * 1024) {
    _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(_offset));
    _offset = 0;
  }
  _buffer.insert(_buffer.end(), bytes.begin(), bytes.end());
}

FrameParser::Status FrameParser::next(Frame* frame) {
  if (!_error.empty()) return Status::Error;
  const std::size_t available = _buffer.size() - _offset;
  if (available < 4) return Status::NeedMore;
  const std::uint8_t* p = _buffer.data() + _offset;
  const std::uint32_t length = (static_cast<std::uint32_t>(p[0]) << 24) |
                               (static_cast<std::uint32_t>(p[1]) << 16) |
                               (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
  if (length == 0) {
    _error = "empty frame";
    return Status::Error;
  }
  if (length - 1 > _maxPayload) {
    _error = "frame of " + std::to_string(length - 1) + " bytes over the limit of " +
             std::to_string(_maxPayload);
    return Status::Error;
  }
  if (available < 4 + static_cast<std::size_t>(length)) return Status::NeedMore;
  const std::uint8_t type = p[4];
  if (type < static_cast<std::uint8_t>(FrameType::Hello) ||
      type > static_cast<std::uint8_t>(FrameType::Bye)) {
    _error = "unknown frame type " + std::to_string(type);
    return Status::Error;
  }
  frame->type = static_cast<FrameType>(type);
  frame->payload.assign(p + kHeaderSize, p + 4 + length);
  _offset += 4 + length;
  return Status::Frame;
}

std::vector<std::uint8_t> encodeDecline(DeclineReason reason) {
  return {static_cast<std::uint8_t>(reason)};
}

DeclineReason decodeDecline(std::span<const std::uint8_t> payload) {
  if (payload.empty() || payload[0] > static_cast<std::uint8_t>(DeclineReason::Busy))
    return DeclineReason::Declined;
  return static_cast<DeclineReason>(payload[0]);
}

bool frameAllowed(ConnectionPhase phase, FrameType type, bool incoming) {
  if (type == FrameType::Ping || type == FrameType::Pong || type == FrameType::Bye) {
    return phase != ConnectionPhase::AwaitingHello;
  }
  switch (phase) {
    case ConnectionPhase::AwaitingHello:
      return type == FrameType::Hello;
    case ConnectionPhase::AwaitingRequest:
      return incoming && (type == FrameType::Invite || type == FrameType::Join);
    case ConnectionPhase::AwaitingAnswer:
      return !incoming && (type == FrameType::Accept || type == FrameType::Decline);
    case ConnectionPhase::AwaitingDecision:
      return false;
    case ConnectionPhase::Connected:
      return type == FrameType::Data || type == FrameType::Introduce;
  }
  return false;
}

}  // namespace qur::peers
