// A client with a device key of its own over OpenSSL directly, for tests
// that play a peer doing what the program's own TLS layer never would
// (flooding key updates, say). Blocking; one thread.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <span>
#include <string>

#include "peers/device_identity.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"

namespace qur::testing {

class RawTlsClient {
 public:
  explicit RawTlsClient(std::uint16_t port)
      : _identity(DeviceIdentity::generate()), _tls(peers::TlsContext::create(*_identity)) {
    _fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return;
    _ssl = SSL_new(_tls->context().native_handle());
    SSL_set_fd(_ssl, _fd);
    _ok = SSL_connect(_ssl) == 1;
  }
  ~RawTlsClient() {
    if (_ssl) SSL_free(_ssl);
    ::close(_fd);
  }
  bool ok() const { return _ok; }
  std::string id() const { return _identity->identifierString(); }

  bool write(std::span<const std::uint8_t> bytes) {
    return SSL_write(_ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
  }
  bool sendFrame(peers::FrameType type, std::span<const std::uint8_t> payload = {}) {
    return write(peers::encodeFrame(type, payload));
  }
  // Hello and Invite; true once the device accepts.
  bool join() {
    peers::Hello hello;
    hello.identifier = _identity->identifier();
    hello.displayName = "flooder";
    if (!sendFrame(peers::FrameType::Hello, peers::encodeHello(hello)) ||
        !sendFrame(peers::FrameType::Invite))
      return false;
    peers::FrameParser parser;
    std::uint8_t buffer[4096];
    for (;;) {
      peers::Frame frame;
      while (parser.next(&frame) == peers::FrameParser::Status::Frame)
        if (frame.type == peers::FrameType::Accept) return true;
      const int n = SSL_read(_ssl, buffer, sizeof buffer);
      if (n <= 0) return false;
      parser.feed(std::span(buffer, static_cast<std::size_t>(n)));
    }
  }
  // One KeyUpdate; false once the device has closed the link.
  bool updateKey() {
    return SSL_key_update(_ssl, SSL_KEY_UPDATE_NOT_REQUESTED) == 1 && SSL_do_handshake(_ssl) == 1;
  }

 private:
  std::shared_ptr<const DeviceIdentity> _identity;
  std::shared_ptr<peers::TlsContext> _tls;
  int _fd = -1;
  SSL* _ssl = nullptr;
  bool _ok = false;
};

}  // namespace qur::testing
