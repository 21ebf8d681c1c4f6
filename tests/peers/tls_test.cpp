// TLS between device identities over loopback TCP: who may connect, and what
// a broken or hostile stream does to the connections beside it.
#include "peers/tls_context.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "support/log_capture.h"
#include "support/loopback_relay.h"

namespace qur::peers {
namespace {

using asio::ip::tcp;
using testing::LogCapture;

struct Device {
  std::shared_ptr<const DeviceIdentity> identity;
  std::shared_ptr<TlsContext> tls;
};

Device makeDevice() {
  auto identity = DeviceIdentity::generate();
  EXPECT_TRUE(identity);
  auto tls = TlsContext::create(*identity);
  EXPECT_TRUE(tls);
  return {identity, tls};
}

struct Side {
  std::unique_ptr<TlsStream> stream;
  std::error_code handshake;
};

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

// Sync operations only: each stream lives on the one thread that uses it.
class Loopback {
 public:
  std::uint16_t port() const { return _acceptor.local_endpoint().port(); }

  // Accepts one connection and answers its TLS handshake.
  Side accept(asio::ssl::context& context, const std::optional<Identifier>& expected = {}) {
    Side side{std::make_unique<TlsStream>(_io, context), {}};
    _acceptor.accept(side.stream->next_layer(), side.handshake);
    if (side.handshake) return side;
    if (expected) TlsContext::expectPeer(*side.stream, *expected);
    side.stream->handshake(asio::ssl::stream_base::server, side.handshake);
    return side;
  }

  Side dial(asio::ssl::context& context, const std::optional<Identifier>& expected,
            std::uint16_t port = 0) {
    Side side{std::make_unique<TlsStream>(_io, context), {}};
    side.stream->next_layer().connect(
        {asio::ip::address_v4::loopback(), port ? port : this->port()}, side.handshake);
    if (side.handshake) return side;
    if (expected) {
      EXPECT_TRUE(TlsContext::expectPeer(*side.stream, *expected));
    }
    side.stream->handshake(asio::ssl::stream_base::client, side.handshake);
    return side;
  }

  asio::io_context& io() { return _io; }

 private:
  asio::io_context _io;
  tcp::acceptor _acceptor{_io, {asio::ip::address_v4::loopback(), 0}};
};

// What the peer gets when it reads: the error that ends the stream, and the
// bytes that came before it.
struct ReadOutcome {
  std::vector<std::uint8_t> bytes;
  std::error_code error;
};

ReadOutcome readUntilError(TlsStream& stream, std::size_t limit = 1 << 20) {
  ReadOutcome outcome;
  std::array<std::uint8_t, 4096> buffer{};
  while (outcome.bytes.size() < limit) {
    const std::size_t n = stream.read_some(asio::buffer(buffer), outcome.error);
    if (outcome.error) break;
    outcome.bytes.insert(outcome.bytes.end(), buffer.begin(), buffer.begin() + n);
  }
  return outcome;
}

TEST(TlsSession, TwoDevicesProveTheirKeysAndExchangeBytes) {
  Device alice = makeDevice(), bob = makeDevice();
  Loopback net;
  auto server = std::async(std::launch::async, [&] {
    Side side = net.accept(bob.tls->context());
    if (side.handshake) return side;
    // Echo what arrives until the client is done.
    std::vector<std::uint8_t> data(200000);
    std::error_code ec;
    asio::read(*side.stream, asio::buffer(data), ec);
    if (!ec) asio::write(*side.stream, asio::buffer(data), ec);
    side.handshake = ec;
    return side;
  });
  Side client = net.dial(alice.tls->context(), bob.identity->identifier());
  ASSERT_FALSE(client.handshake) << client.handshake.message();
  EXPECT_EQ(TlsContext::peerIdentifier(*client.stream), bob.identity->identifier());
  EXPECT_EQ(SSL_version(client.stream->native_handle()), TLS1_3_VERSION);

  // Voice-sized writes, then one bulk write: every byte back in order.
  const auto sent = randomBytes(200000, 1);
  std::error_code ec;
  std::size_t at = 0;
  for (; at < 60000; at += 300) asio::write(*client.stream, asio::buffer(&sent[at], 300), ec);
  asio::write(*client.stream, asio::buffer(&sent[at], sent.size() - at), ec);
  ASSERT_FALSE(ec) << ec.message();
  std::vector<std::uint8_t> echoed(sent.size());
  asio::read(*client.stream, asio::buffer(echoed), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(echoed, sent);

  Side answered = server.get();
  ASSERT_FALSE(answered.handshake) << answered.handshake.message();
  EXPECT_EQ(TlsContext::peerIdentifier(*answered.stream), alice.identity->identifier())
      << "the answering side learns who dialled from the key alone";

  Loopback other;
  TlsStream fresh(other.io(), alice.tls->context());
  EXPECT_FALSE(TlsContext::peerIdentifier(fresh)) << "nobody is proven before a handshake";
}

TEST(TlsSession, ImpostorWithAnotherKeyIsRefusedInTheHandshake) {
  Device alice = makeDevice(), bob = makeDevice(), mallory = makeDevice();
  {
    // Mallory answers where Bob was advertised.
    Loopback net;
    LogCapture log;
    auto server =
        std::async(std::launch::async, [&] { return net.accept(mallory.tls->context()); });
    Side client = net.dial(alice.tls->context(), bob.identity->identifier());
    EXPECT_TRUE(client.handshake) << "dialler must refuse the wrong key";
    Side answered = server.get();
    EXPECT_TRUE(answered.handshake) << "the impostor gets no session either";
    EXPECT_TRUE(log.contains("Refusing peer key " + mallory.identity->identifierString()));
  }
  {
    // Mallory dials a device that was told to expect Alice (an introduced peer).
    Loopback net;
    auto server = std::async(std::launch::async, [&] {
      Side side = net.accept(bob.tls->context(), alice.identity->identifier());
      if (side.stream) side.stream->next_layer().close();
      return side;
    });
    Side client = net.dial(mallory.tls->context(), bob.identity->identifier());
    Side answered = server.get();
    EXPECT_TRUE(answered.handshake);
    // TLS 1.3 lets the client finish first; its first read learns the refusal.
    if (!client.handshake) {
      const auto outcome = readUntilError(*client.stream);
      EXPECT_TRUE(outcome.error);
      EXPECT_TRUE(outcome.bytes.empty());
    }
  }
}

TEST(TlsSession, OlderProtocolVersionsAreRefusedBothWays) {
  Device alice = makeDevice(), bob = makeDevice();
  for (bool oldClient : {true, false}) {
    auto oldSide = TlsContext::create(*(oldClient ? alice : bob).identity);
    ASSERT_TRUE(oldSide);
    SSL_CTX_set_min_proto_version(oldSide->context().native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(oldSide->context().native_handle(), TLS1_2_VERSION);
    Loopback net;
    auto server = std::async(std::launch::async, [&] {
      return net.accept(oldClient ? bob.tls->context() : oldSide->context());
    });
    Side client =
        net.dial(oldClient ? oldSide->context() : alice.tls->context(), bob.identity->identifier());
    Side answered = server.get();
    EXPECT_TRUE(client.handshake) << "old client " << oldClient;
    EXPECT_TRUE(answered.handshake) << "old client " << oldClient;
  }
}

// A self-signed certificate over a P-256 key: valid TLS, but no device key.
std::shared_ptr<asio::ssl::context> contextWithoutDeviceKey() {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  context->set_verify_mode(asio::ssl::verify_none);
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  SSL_CTX_use_certificate(context->native_handle(), x);
  SSL_CTX_use_PrivateKey(context->native_handle(), key);
  X509_free(x);
  EVP_PKEY_free(key);
  return context;
}

TEST(TlsSession, DiallerWithoutADeviceCertificateIsRefused) {
  Device bob = makeDevice();
  auto bare = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  bare->set_verify_mode(asio::ssl::verify_none);
  for (auto& context : {bare, contextWithoutDeviceKey()}) {
    Loopback net;
    LogCapture log;
    auto server = std::async(std::launch::async, [&] {
      Side side = net.accept(bob.tls->context());
      if (side.stream) side.stream->next_layer().close();
      return side;
    });
    Side client = net.dial(*context, std::nullopt);
    Side answered = server.get();
    EXPECT_TRUE(answered.handshake) << (context == bare ? "no certificate" : "P-256 certificate");
    if (!client.handshake) {
      const auto outcome = readUntilError(*client.stream);
      EXPECT_TRUE(outcome.error);
      EXPECT_TRUE(outcome.bytes.empty());
    }
    if (context != bare) {
      EXPECT_TRUE(log.contains("holds no Ed25519 key"));
    }
  }
}

// Forwards bytes both ways; once armed, sends every client record twice.
class ReplayingProxy {
 public:
  explicit ReplayingProxy(std::uint16_t serverPort)
      : _relay(
            serverPort, [this](auto& from, auto& to) { replay(from, to); },
            [](auto& from, auto& to) { qur::testing::LoopbackRelay::copy(from, to); }) {}
  std::uint16_t port() const { return _relay.port(); }
  void arm() { _armed = true; }

 private:
  void replay(qur::testing::LoopbackRelay::Socket& from, qur::testing::LoopbackRelay::Socket& to) {
    // TLS records: type, version (2), length (2), body.
    std::array<std::uint8_t, 5> header{};
    std::vector<std::uint8_t> record;
    std::error_code ec;
    for (;;) {
      if (asio::read(from, asio::buffer(header), ec), ec) break;
      record.assign(header.begin(), header.end());
      record.resize(5 + (header[3] << 8 | header[4]));
      if (asio::read(from, asio::buffer(record.data() + 5, record.size() - 5), ec), ec) break;
      const int copies = _armed && header[0] == 23 ? 2 : 1;
      for (int i = 0; i < copies && !ec; ++i) asio::write(to, asio::buffer(record), ec);
      if (ec) break;
    }
  }

  // Before the relay: its thread reads it from the start.
  std::atomic<bool> _armed{false};
  qur::testing::LoopbackRelay _relay;
};

TEST(TlsSession, BrokenOrReplayedRecordsCloseOnlyTheirConnection) {
  Device alice = makeDevice(), bob = makeDevice(), carol = makeDevice();
  Loopback net;
  // Bob's established connection to Alice must outlive every broken one.
  auto server = std::async(std::launch::async, [&] { return net.accept(bob.tls->context()); });
  Side good = net.dial(alice.tls->context(), bob.identity->identifier());
  Side goodServer = server.get();
  ASSERT_FALSE(good.handshake);
  ASSERT_FALSE(goodServer.handshake);
  auto stillWorks = [&](unsigned seed) {
    const auto message = randomBytes(250, seed);
    std::vector<std::uint8_t> got(message.size());
    std::error_code ec;
    asio::write(*good.stream, asio::buffer(message), ec);
    if (!ec) asio::read(*goodServer.stream, asio::buffer(got), ec);
    return !ec && got == message;
  };
  ASSERT_TRUE(stillWorks(1));

  // Garbage where the handshake should be.
  {
    auto bad = std::async(std::launch::async, [&] { return net.accept(bob.tls->context()); });
    tcp::socket raw(net.io());
    raw.connect({asio::ip::address_v4::loopback(), net.port()});
    asio::write(raw, asio::buffer(randomBytes(300, 2)));
    EXPECT_TRUE(bad.get().handshake);
    EXPECT_TRUE(stillWorks(3));
  }
  // A made-up record, then a record cut short, after a good handshake.
  for (bool truncated : {false, true}) {
    auto bad = std::async(std::launch::async, [&] {
      Side side = net.accept(bob.tls->context());
      ReadOutcome outcome;
      if (!side.handshake) outcome = readUntilError(*side.stream);
      return std::make_pair(side.handshake, outcome);
    });
    Side client = net.dial(carol.tls->context(), bob.identity->identifier());
    ASSERT_FALSE(client.handshake);
    asio::write(*client.stream, asio::buffer(std::string("hello")));
    std::vector<std::uint8_t> record = {23, 3, 3, 0, 64};
    const auto body = randomBytes(64, 4);
    record.insert(record.end(), body.begin(), body.end());
    if (truncated) record.resize(30);
    auto& socket = client.stream->next_layer();
    asio::write(socket, asio::buffer(record));
    if (truncated) socket.shutdown(tcp::socket::shutdown_send);
    const auto [handshake, outcome] = bad.get();
    EXPECT_FALSE(handshake);
    EXPECT_EQ(std::string(outcome.bytes.begin(), outcome.bytes.end()), "hello")
        << "what came before the damage is delivered, nothing after";
    EXPECT_TRUE(outcome.error) << (truncated ? "truncated" : "made-up");
    EXPECT_TRUE(stillWorks(5 + truncated));
  }
  // A record sent again by someone on the path.
  {
    ReplayingProxy proxy(net.port());
    auto bad = std::async(std::launch::async, [&] {
      Side side = net.accept(bob.tls->context());
      ReadOutcome outcome;
      if (!side.handshake) {
        asio::write(*side.stream, asio::buffer(std::string("ready")), side.handshake);
        outcome = readUntilError(*side.stream);
      }
      return std::make_pair(side.handshake, outcome);
    });
    Side client = net.dial(carol.tls->context(), bob.identity->identifier(), proxy.port());
    ASSERT_FALSE(client.handshake);
    std::array<char, 5> ready{};
    asio::read(*client.stream, asio::buffer(ready));
    // The handshake records have all passed the proxy once the server spoke.
    proxy.arm();
    asio::write(*client.stream, asio::buffer(std::string("say this once")));
    const auto [handshake, outcome] = bad.get();
    EXPECT_FALSE(handshake);
    EXPECT_EQ(std::string(outcome.bytes.begin(), outcome.bytes.end()), "say this once");
    EXPECT_TRUE(outcome.error);
    EXPECT_TRUE(stillWorks(7));
  }
}

}  // namespace
}  // namespace qur::peers
