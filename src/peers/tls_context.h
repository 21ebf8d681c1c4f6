// TLS 1.3 for peer connections: each side presents a self-signed certificate
// made from its device key, and a peer is whoever holds the key whose hash is
// its identifier. Certificate chains mean nothing here; the key does.
// For this module's sources and tests (it brings in asio's SSL layer).
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <memory>
#include <optional>

#include "peers/device_identity.h"
#include "peers/protocol.h"

namespace qur::peers {

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

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

 private:
  TlsContext();

  asio::ssl::context _context;
  Identifier _localIdentifier{};
};

}  // namespace qur::peers
