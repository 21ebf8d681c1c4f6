// Peer sessions against someone on the network: what a listener on the wire
// records of a talk, a device claiming a colleague's identifier, and a relay
// that terminates TLS with its own key.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "peers/peer_session.h"
#include "peers/tls_context.h"
#include "session_support.h"
#include "support/log_capture.h"
#include "support/loopback_relay.h"
#include "support/plain_sessions.h"

namespace qur::testing {
namespace {

using asio::ip::tcp;

struct Node {
  explicit Node(const std::string& name, InvitationHandler handler = acceptAllInvitations())
      : id(name), session(PeerSession::create(id)), recorder(std::make_shared<Recorder>()) {
    session->setDelegate(recorder);
    session->setInvitationHandler(std::move(handler));
    session->setInvitationResultHandler([this](const InvitationResult& r) {
      std::lock_guard lock(mutex);
      results.push_back(r);
    });
  }
  ~Node() { session->setInvitationResultHandler(nullptr); }
  // The outcomes told so far, once there is one (or after 10 s).
  std::vector<InvitationResult> resultsNow() {
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard lock(mutex);
        if (!results.empty()) return results;
      }
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }

  PeerID id;
  std::shared_ptr<PeerSession> session;
  std::shared_ptr<Recorder> recorder;
  std::mutex mutex;
  std::vector<InvitationResult> results;
};

// Counts the invitations a device was asked about.
struct CountingHandler {
  std::shared_ptr<std::atomic<int>> asked = std::make_shared<std::atomic<int>>(0);
  InvitationHandler handler() {
    return [asked = asked](const PeerID&, std::function<void(bool)> reply) {
      ++*asked;
      reply(true);
    };
  }
};

// Forwards one connection both ways and keeps every byte, as a passive
// listener on the network would.
class RecordingProxy {
 public:
  explicit RecordingProxy(std::uint16_t serverPort)
      : _relay(
            serverPort, [this](auto& from, auto& to) { record(from, to); },
            [this](auto& from, auto& to) { record(from, to); }) {}
  std::uint16_t port() const { return _relay.port(); }
  std::vector<std::uint8_t> captured() {
    std::lock_guard lock(_mutex);
    return _captured;
  }

 private:
  void record(LoopbackRelay::Socket& from, LoopbackRelay::Socket& to) {
    LoopbackRelay::copy(from, to, [this](std::span<const std::uint8_t> bytes) {
      std::lock_guard lock(_mutex);
      _captured.insert(_captured.end(), bytes.begin(), bytes.end());
    });
  }

  // Before the relay: its thread records from the start.
  std::mutex _mutex;
  std::vector<std::uint8_t> _captured;
  LoopbackRelay _relay;
};

bool contains(const std::vector<std::uint8_t>& haystack, std::span<const std::uint8_t> needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(SecureSession, WireCarriesNeitherVoiceNorNamesOfATalk) {
  const std::string suffix = std::to_string(getpid());
  Node alice("capture-alice-" + suffix);
  Node bob("capture-bob-" + suffix);
  RecordingProxy proxy(bob.session->port());
  alice.session->invitePeer({"127.0.0.1", proxy.port()}, bob.id);
  ASSERT_TRUE(alice.recorder->waitForState(bob.id, PeerSessionState::Connected));
  ASSERT_TRUE(bob.recorder->waitForState(alice.id, PeerSessionState::Connected));

  // Packets as a voice encoder makes them: a few hundred bytes, no pattern.
  std::mt19937 random(7);
  std::vector<std::vector<std::uint8_t>> packets(50);
  for (auto& packet : packets) {
    packet.resize(160 + random() % 100);
    for (auto& b : packet) b = static_cast<std::uint8_t>(random());
    ASSERT_TRUE(alice.session->sendData(packet, {bob.id}, SessionSendDataMode::Reliable, nullptr));
  }
  ASSERT_TRUE(bob.recorder->waitFor(
      [&](const auto&) { return bob.recorder->dataFrom(alice.id).size() == packets.size(); }));
  EXPECT_EQ(bob.recorder->dataFrom(alice.id).back(),
            std::string(packets.back().begin(), packets.back().end()));
  alice.session->disconnect();
  bob.session->disconnect();

  const auto wire = proxy.captured();
  std::size_t payloadBytes = 0;
  for (auto& p : packets) payloadBytes += p.size();
  ASSERT_GT(wire.size(), payloadBytes) << "the talk did not go through the listener";
  EXPECT_EQ(wire.front(), 0x16) << "the first bytes are not a TLS handshake record";
  for (std::size_t i = 0; i < packets.size(); ++i) {
    // Any 12 bytes of a packet in the clear would give it away.
    for (std::size_t at = 0; at + 12 <= packets[i].size(); at += 12) {
      ASSERT_FALSE(contains(wire, std::span(packets[i]).subspan(at, 12)))
          << "packet " << i << " is readable on the wire at offset " << at;
    }
  }
  EXPECT_FALSE(contains(wire, bytesOf(alice.id.displayName())));
  EXPECT_FALSE(contains(wire, bytesOf(bob.id.displayName())));
  EXPECT_FALSE(contains(wire, bob.id.identifier())) << "the Hello went out in the clear";
}

// The benchmarks' clear-TCP baseline must really be clear, and the search
// above must find a packet that is there.
TEST(SecureSession, TheBenchmarksClearSeamPutsTheTalkOnTheWireReadably) {
  struct PlainWhileAlive {
    PlainWhileAlive() { peers::testing::setPlainSessions(true); }
    ~PlainWhileAlive() { peers::testing::setPlainSessions(false); }
  };
  const std::string suffix = std::to_string(getpid());
  std::optional<PlainWhileAlive> plain(std::in_place);
  Node alice("clear-alice-" + suffix);
  Node bob("clear-bob-" + suffix);
  plain.reset();
  RecordingProxy proxy(bob.session->port());
  alice.session->invitePeer({"127.0.0.1", proxy.port()}, bob.id);
  ASSERT_TRUE(alice.recorder->waitForState(bob.id, PeerSessionState::Connected));
  ASSERT_TRUE(bob.recorder->waitForState(alice.id, PeerSessionState::Connected));
  std::vector<std::uint8_t> packet(200);
  std::mt19937 random(11);
  for (auto& b : packet) b = static_cast<std::uint8_t>(random());
  ASSERT_TRUE(alice.session->sendData(packet, {bob.id}, SessionSendDataMode::Reliable, nullptr));
  ASSERT_TRUE(bob.recorder->waitFor(
      [&](const auto&) { return bob.recorder->dataFrom(alice.id).size() == 1; }));
  alice.session->disconnect();
  bob.session->disconnect();
  const auto wire = proxy.captured();
  EXPECT_TRUE(contains(wire, packet));
  EXPECT_TRUE(contains(wire, bytesOf(alice.id.displayName())));

  // Sessions made afterwards are encrypted again.
  Node carol("clear-carol-" + suffix);
  RawPeer tls(carol.session->port());
  tls.sendHello();
  EXPECT_TRUE(tls.readFrame()) << "a session made after the seam was off does not speak TLS";
}

TEST(SecureSession, DeviceClaimingAColleaguesIdentifierIsRefused) {
  CountingHandler bobAsked;
  Node alice("alice");
  Node bob("bob", bobAsked.handler());
  alice.session->invitePeer(loopback(bob.session), bob.id);
  ASSERT_TRUE(alice.recorder->waitForState(bob.id, PeerSessionState::Connected));

  // Dialled as the colleague (its identifier advertised with the impostor's
  // port): the handshake fails before anything is said.
  CountingHandler impostorAsked;
  Node impostor("bob", impostorAsked.handler());
  Node carol("carol");
  LogCapture log;
  carol.session->invitePeer(loopback(impostor.session), bob.id);
  ASSERT_TRUE(carol.recorder->waitFor([&](const auto&) {
    const auto states = carol.recorder->statesOf(bob.id);
    return !states.empty() && states.back() == 0;
  }));
  EXPECT_TRUE(log.contains("TLS handshake failed"));
  const auto results = carol.resultsNow();
  ASSERT_EQ(results.size(), 1u);
  // A refusal, told as one: not a network fault.
  EXPECT_EQ(results[0].outcome, InvitationOutcome::Refused);
  EXPECT_EQ(results[0].detail, "bob's key does not match the one it advertises");
  EXPECT_EQ(*impostorAsked.asked, 0);
  EXPECT_TRUE(carol.session->connectedPeers().empty());

  // Dialling in under the colleague's identifier with another key: closed
  // at its Hello, and the real colleague stays.
  RawPeer liar(alice.session->port());
  liar.sendHelloAs(bob.id.identifier(), "bob");
  liar.sendFrame(peers::FrameType::Invite);
  EXPECT_TRUE(liar.waitUntilClosed());
  EXPECT_EQ(alice.session->connectedPeers(), std::vector<PeerID>{bob.id});
  EXPECT_EQ(alice.recorder->statesOf(bob.id), (std::vector<int>{1, 2}));
}

// Terminates TLS with its own key toward both sides, as a relay that wants
// to read the talk must.
class InterceptingProxy {
 public:
  explicit InterceptingProxy(std::uint16_t serverPort)
      : _tls(peers::TlsContext::create(*DeviceIdentity::generate())), _serverPort(serverPort) {
    _thread = std::thread([this] { run(); });
  }
  ~InterceptingProxy() { _thread.join(); }
  std::uint16_t port() const { return _acceptor.local_endpoint().port(); }
  // Whether the dialling device completed a handshake with us.
  bool fooledTheDialler() const { return _fooled; }

 private:
  void run() {
    peers::TlsStream client(_io, _tls->context());
    peers::TlsStream server(_io, _tls->context());
    std::error_code ec;
    _acceptor.accept(client.next_layer(), ec);
    if (ec) return;
    // The far side takes us for a new device; that part works.
    server.next_layer().connect({asio::ip::address_v4::loopback(), _serverPort}, ec);
    if (!ec) server.handshake(asio::ssl::stream_base::client, ec);
    client.handshake(asio::ssl::stream_base::server, ec);
    _fooled = !ec;
    client.next_layer().close(ec);
    server.next_layer().close(ec);
  }

  std::shared_ptr<peers::TlsContext> _tls;
  std::uint16_t _serverPort;
  asio::io_context _io;
  tcp::acceptor _acceptor{_io, {asio::ip::address_v4::loopback(), 0}};
  std::atomic<bool> _fooled{false};
  std::thread _thread;
};

TEST(SecureSession, RelayWithItsOwnKeyBetweenTwoDevicesIsRefused) {
  CountingHandler bobAsked;
  Node alice("alice");
  Node bob("bob", bobAsked.handler());
  LogCapture log;
  {
    InterceptingProxy proxy(bob.session->port());
    alice.session->invitePeer({"127.0.0.1", proxy.port()}, bob.id);
    ASSERT_TRUE(alice.recorder->waitFor([&](const auto&) {
      const auto states = alice.recorder->statesOf(bob.id);
      return !states.empty() && states.back() == 0;
    }));
  }
  EXPECT_TRUE(log.contains("TLS handshake failed"));
  EXPECT_TRUE(alice.session->connectedPeers().empty());
  EXPECT_TRUE(bob.session->connectedPeers().empty());
  EXPECT_EQ(*bobAsked.asked, 0) << "the relay's invitation reached the user";
  const auto results = alice.resultsNow();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].outcome, InvitationOutcome::Refused);
  EXPECT_EQ(results[0].detail, "bob's key does not match the one it advertises");
}

}  // namespace
}  // namespace qur::testing
