// TLS 1.3 for peer connections: each side presents a self-signed certificate
// made from its device key, and a peer is whoever holds the key whose hash is
// its identifier. Certificate chains mean nothing here; the key does.
// For this module's sources and tests (it brings in asio's SSL layer).
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "log/log_limiter.h"
#include "peers/device_identity.h"
#include "peers/protocol.h"

namespace qur::peers {

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

// Why the handshake refused the peer's certificate.
struct PeerKeyProblem {
  enum class Kind { NoDeviceKey, Unexpected };
  Kind kind = Kind::NoDeviceKey;
  Identifier offered{};   // Unexpected: the key the peer holds
  Identifier expected{};  // Unexpected: the key we asked for
};

// Counts the handshake messages a peer sends once the handshake is over (key
// updates, tickets, certificate requests): each costs us work and TLS sets
// no bound on them. A few are let through, then one every kRefill; past
// that onFlood runs once, on the stream's thread, in the middle of a read
// (it may only post the closing).
class PostHandshakeGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kBurst = 32;
  static constexpr std::chrono::seconds kRefill{10};

  explicit PostHandshakeGuard(std::function<void()> onFlood) : _onFlood(std::move(onFlood)) {}
  // The handshake is over: messages count from now on.
  void arm(Clock::time_point now = Clock::now());
  void received(Clock::time_point now = Clock::now());
  bool flooded() const { return _flooded; }
  int count() const { return _count; }

 private:
  std::function<void()> _onFlood;
  bool _armed = false;
  bool _flooded = false;
  int _count = 0;
  double _tokens = kBurst;
  Clock::time_point _last{};
};

class TlsContext {
 public:
  // A context for both dialling and answering, presenting the identity's
  // certificate and requiring one from the peer. Null, logged, when the
  // certificate cannot be made. Any thread.
  static std::shared_ptr<TlsContext> create(const DeviceIdentity& identity);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Streams made from it may be used on any one thread at a time; the
  // context must outlive them.
  asio::ssl::context& context() { return _context; }
  const Identifier& localIdentifier() const { return _localIdentifier; }

  // Before the handshake: it fails (the peer sees an alert) unless the peer's
  // certificate key hashes to this identifier. Without it any Ed25519 key is
  // let through and the caller checks peerIdentifier(). False when the
  // stream cannot hold it. The stream's thread.
  static bool expectPeer(TlsStream& stream, const Identifier& expected);
  // After the handshake: the identifier of the key the peer proved it holds;
  // nullopt before a handshake or without a certificate. The stream's thread.
  static std::optional<Identifier> peerIdentifier(TlsStream& stream);
  // After a failed handshake: whether it failed on the peer's key, and how.
  static std::optional<PeerKeyProblem> keyProblem(TlsStream& stream);
  // Hands the stream's post-handshake messages to the guard. The stream's
  // thread, before its handshake.
  static void guardPostHandshake(TlsStream& stream, std::shared_ptr<PostHandshakeGuard> guard);

  // Device certificates are issued by a fixed issuer whose private key is
  // public (derived from a published string): it vouches for nothing, but a
  // TLS stack that insists on verifying a client's chain can be told to
  // trust it. Its certificate, PEM. Any thread.
  static std::string issuerCertificatePem();

 private:
  friend struct TlsRefusals;
  TlsContext();

  asio::ssl::context _context;
  Identifier _localIdentifier{};
  KeyedLogLimiter _refusalLog;  // keys refused in handshakes, per kind
};

}  // namespace qur::peers
