// Helpers for session tests: a recording delegate and a hand-driven raw
// TCP peer that speaks (or breaks) the protocol.
#pragma once

#include <dirent.h>
#include <poll.h>

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/opus_packet.h"
#include "peers/peer_session.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"
#include "wire/wire_message.h"

namespace qur::testing {

using namespace std::chrono_literals;

class Recorder : public PeerSessionDelegate {
 public:
  struct Event {
    PeerID peer;
    int state = -1;  // -1 for data
    std::string data;
  };

  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>&, const PeerID& peer,
                                 PeerSessionState state) override {
    push({peer, static_cast<int>(state), {}});
  }
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>&,
                                     std::span<const std::uint8_t> data,
                                     const PeerID& peer) override {
    push({peer, -1, std::string(reinterpret_cast<const char*>(data.data()), data.size())});
  }

  bool waitFor(const std::function<bool(const std::vector<Event>&)>& predicate,
               std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(_mutex);
    return _cv.wait_for(lock, timeout, [&] { return predicate(_events); });
  }
  bool waitForState(const PeerID& peer, PeerSessionState state,
                    std::chrono::milliseconds timeout = 10s) {
    return waitFor(
        [&](const std::vector<Event>& events) {
          for (auto& e : events)
            if (e.peer == peer && e.state == static_cast<int>(state)) return true;
          return false;
        },
        timeout);
  }
  std::vector<Event> events() const {
    std::lock_guard lock(_mutex);
    return _events;
  }
  std::vector<std::string> dataFrom(const PeerID& peer) const {
    std::lock_guard lock(_mutex);
    std::vector<std::string> out;
    for (auto& e : _events)
      if (e.state == -1 && e.peer == peer) out.push_back(e.data);
    return out;
  }
  std::vector<int> statesOf(const PeerID& peer) const {
    std::lock_guard lock(_mutex);
    std::vector<int> out;
    for (auto& e : _events)
      if (e.state >= 0 && e.peer == peer) out.push_back(e.state);
    return out;
  }
  std::size_t dataCount() const {
    std::lock_guard lock(_mutex);
    std::size_t n = 0;
    for (auto& e : _events) n += e.state == -1;
    return n;
  }

 private:
  void push(Event e) {
    {
      std::lock_guard lock(_mutex);
      _events.push_back(std::move(e));
    }
    _cv.notify_all();
  }
  // Recursive: predicates given to waitFor may call the accessors.
  mutable std::recursive_mutex _mutex;
  std::condition_variable_any _cv;
  std::vector<Event> _events;
};

// A real wire message whose Opus bytes are the text (what the controller's
// sessions let through).
inline std::vector<std::uint8_t> wireMessageCarrying(const std::string& text,
                                                     std::uint32_t packetNumber = 0) {
  auto packet = makeOpusPacket(static_cast<std::uint32_t>(text.size()) + 1);
  packet->dataLength = static_cast<std::uint32_t>(text.size());
  std::copy(text.begin(), text.end(), packet->data);
  packet->frameCount = 2880;
  packet->packetNumber = packetNumber;
  QURWireMessage message;
  wireMessageMakeOpusPayload(&message, packet.get());
  std::vector<std::uint8_t> out(kWireMessageBufferSize);
  const auto n = wireMessageEncode(&message, out.data(), out.size());
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

inline PeerEndpoint loopback(const std::shared_ptr<PeerSession>& session) {
  return {"127.0.0.1", session->port()};
}

inline bool sendText(const std::shared_ptr<PeerSession>& session, const std::string& text,
                     PeerError* error = nullptr) {
  return session->sendData(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
      session->connectedPeers(), SessionSendDataMode::Reliable, error);
}

// A blocking TLS client for feeding a session hand-made frames; its key is
// the identity's, so its Hello can tell the truth or lie.
class RawPeer {
 public:
  // from: the loopback address to connect from (127.0.0.x), so tests can
  // play several hosts.
  explicit RawPeer(std::uint16_t port, int receiveBuffer = 0, const std::string& from = {},
                   std::optional<PeerID> identity = {})
      : _identity(identity ? *identity : PeerID("raw")),
        _tls(_identity.localIdentity() ? peers::TlsContext::create(*_identity.localIdentity())
                                       : peers::TlsContext::create(*DeviceIdentity::generate())),
        _socket(_io, _tls->context()) {
    std::error_code ec;
    auto& tcp = _socket.next_layer();
    tcp.open(asio::ip::tcp::v4(), ec);
    if (receiveBuffer > 0)
      tcp.set_option(asio::socket_base::receive_buffer_size(receiveBuffer), ec);
    if (!from.empty()) tcp.bind({asio::ip::make_address_v4(from), 0}, ec);
    if (!ec) tcp.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    _connected = !ec;
    if (_connected) {
      _socket.handshake(asio::ssl::stream_base::client, ec);
      if (ec) _eof = _writeFailed = true;
    }
  }
  // Whether a write failed: the session hung up on us.
  bool writeFailed() const { return _writeFailed; }
  bool connected() const { return _connected; }
  int fd() { return _socket.next_layer().native_handle(); }

  void sendRaw(std::span<const std::uint8_t> bytes) {
    std::error_code ec;
    asio::write(_socket, asio::buffer(bytes.data(), bytes.size()), ec);
    if (ec) _writeFailed = true;
  }
  void sendFrame(peers::FrameType type, std::span<const std::uint8_t> payload = {}) {
    sendRaw(peers::encodeFrame(type, payload));
  }
  void sendHello(const std::string& name = "raw", std::uint16_t version = peers::kProtocolVersion,
                 std::uint16_t listenPort = 0) {
    sendRaw(helloBytes(name, version, listenPort));
  }
  // A Hello claiming someone else's identifier (not the key we hold).
  void sendHelloAs(const peers::Identifier& claimed, const std::string& name) {
    sendRaw(helloBytes(name, peers::kProtocolVersion, 0, claimed));
  }
  // Hello and Invite in one write, as a hasty peer sends them.
  void sendHelloAndInvite() {
    auto bytes = helloBytes("raw", peers::kProtocolVersion, 0);
    const auto invite = peers::encodeFrame(peers::FrameType::Invite, {});
    bytes.insert(bytes.end(), invite.begin(), invite.end());
    sendRaw(bytes);
  }
  std::vector<std::uint8_t> helloBytes(const std::string& name, std::uint16_t version,
                                       std::uint16_t listenPort,
                                       std::optional<peers::Identifier> claimed = {}) {
    peers::Hello hello;
    hello.version = version;
    hello.identifier = claimed ? *claimed : _identity.identifier();
    hello.listenPort = listenPort;
    hello.displayName = name;
    return peers::encodeFrame(peers::FrameType::Hello, peers::encodeHello(hello));
  }
  const PeerID& identity() const { return _identity; }

  // The next frame, or nullopt on timeout, end of stream or a parse error.
  std::optional<peers::Frame> readFrame(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      peers::Frame frame;
      if (_parser.next(&frame) == peers::FrameParser::Status::Frame) return frame;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      // Bytes the TLS layer already decrypted do not show on the socket.
      pollfd p{fd(), POLLIN, 0};
      if (SSL_pending(_socket.native_handle()) == 0 &&
          poll(&p, 1, static_cast<int>(left.count())) <= 0)
        continue;
      std::uint8_t buffer[4096];
      std::error_code ec;
      const auto n = _socket.read_some(asio::buffer(buffer), ec);
      if (ec) {
        _eof = true;
        return std::nullopt;
      }
      _parser.feed(std::span(buffer, n));
    }
  }
  // Reads (and drops) frames until the session hangs up.
  bool waitUntilClosed(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!_eof && std::chrono::steady_clock::now() < deadline) {
      readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()));
    }
    return _eof;
  }
  // Reads frames until one of the type arrives.
  std::optional<peers::Frame> waitForFrame(peers::FrameType type,
                                           std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto f = readFrame(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()));
      if (!f) {
        if (_eof) return std::nullopt;
        continue;
      }
      if (f->type == type) return f;
    }
    return std::nullopt;
  }

 private:
  asio::io_context _io;
  PeerID _identity;
  std::shared_ptr<peers::TlsContext> _tls;
  peers::TlsStream _socket;
  bool _connected = false;
  bool _eof = false;
  bool _writeFailed = false;
  peers::FrameParser _parser;
};

inline int openDescriptorCount() {
  int n = 0;
  if (auto* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

}  // namespace qur::testing
