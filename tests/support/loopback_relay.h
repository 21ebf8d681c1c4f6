// One client connection relayed to a server port on loopback, on a thread of
// its own: what a device in the middle of the network would see and could do.
// Each direction runs its forward function until that returns, then shuts the
// other side down for sending. The destructor waits for both directions:
// the ends must close first.
#pragma once

#include <array>
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

namespace qur::testing {

class LoopbackRelay {
 public:
  using Socket = asio::ip::tcp::socket;
  using Forward = std::function<void(Socket& from, Socket& to)>;

  LoopbackRelay(std::uint16_t serverPort, Forward clientToServer, Forward serverToClient)
      : _serverPort(serverPort),
        _clientToServer(std::move(clientToServer)),
        _serverToClient(std::move(serverToClient)) {
    _thread = std::thread([this] { run(); });
  }
  ~LoopbackRelay() { _thread.join(); }
  LoopbackRelay(const LoopbackRelay&) = delete;
  LoopbackRelay& operator=(const LoopbackRelay&) = delete;

  std::uint16_t port() const { return _acceptor.local_endpoint().port(); }

  // Copies bytes as they come until either side ends; seen gets each chunk.
  static void copy(Socket& from, Socket& to,
                   const std::function<void(std::span<const std::uint8_t>)>& seen = {}) {
    std::array<std::uint8_t, 4096> buffer{};
    std::error_code ec;
    for (;;) {
      const std::size_t n = from.read_some(asio::buffer(buffer), ec);
      if (ec) break;
      if (seen) seen({buffer.data(), n});
      if (asio::write(to, asio::buffer(buffer.data(), n), ec), ec) break;
    }
  }

 private:
  void run() {
    std::error_code ec;
    _acceptor.accept(_client, ec);
    if (!ec) _server.connect({asio::ip::address_v4::loopback(), _serverPort}, ec);
    if (ec) return;
    std::thread back([this] {
      _serverToClient(_server, _client);
      std::error_code ignored;
      _client.shutdown(Socket::shutdown_send, ignored);
    });
    _clientToServer(_client, _server);
    _server.shutdown(Socket::shutdown_send, ec);
    back.join();
  }

  std::uint16_t _serverPort;
  Forward _clientToServer;
  Forward _serverToClient;
  asio::io_context _io;
  asio::ip::tcp::acceptor _acceptor{_io, {asio::ip::address_v4::loopback(), 0}};
  Socket _client{_io};
  Socket _server{_io};
  std::thread _thread;
};

}  // namespace qur::testing
