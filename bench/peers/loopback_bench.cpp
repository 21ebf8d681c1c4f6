// Peer session against plain asio TCP on loopback: round-trip latency of
// 100-byte messages sent 17 times a second (the voice packet rate), and the
// largest message rate. Both run in this process with the same thread
// layout: the caller hands each message to a network thread, an echo comes
// back on it, and the caller is woken.
#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "peers/peer_session.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kMessageSize = 100;
constexpr int kLatencySamples = 170;  // 10 s at 17 per second
constexpr int kRateMessages = 200000;

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t received = 0;
  void arrived() {
    {
      std::lock_guard lock(mutex);
      ++received;
    }
    cv.notify_one();
  }
  void waitFor(std::uint64_t count) {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return received >= count; });
  }
  std::uint64_t count() {
    std::lock_guard lock(mutex);
    return received;
  }
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// --- plain asio: a framed echo server and an asynchronous client -----------

class PlainEcho {
 public:
  void start(bool echo) {
    _echo = echo;
    serverRead();
    clientRead();
    _serverThread = std::thread([this] { _serverIo.run(); });
    _clientThread = std::thread([this] { _clientIo.run(); });
  }
  void stop() {
    _serverIo.stop();
    _clientIo.stop();
    _serverThread.join();
    _clientThread.join();
  }

  static std::unique_ptr<PlainEcho> create() {
    auto* raw = new PlainEcho(Deferred{});
    std::thread connector([raw] { raw->_client.connect(raw->_acceptor.local_endpoint()); });
    raw->_acceptor.accept(raw->_serverSocket);
    connector.join();
    raw->_client.set_option(asio::ip::tcp::no_delay(true));
    raw->_serverSocket.set_option(asio::ip::tcp::no_delay(true));
    return std::unique_ptr<PlainEcho>(raw);
  }

  // Called from the benchmark thread: the client thread sends it.
  void send(const std::uint8_t* data, std::size_t size) {
    auto frame = std::make_shared<std::vector<std::uint8_t>>(4 + size);
    const auto n = static_cast<std::uint32_t>(size);
    (*frame)[0] = static_cast<std::uint8_t>(n >> 24);
    (*frame)[1] = static_cast<std::uint8_t>(n >> 16);
    (*frame)[2] = static_cast<std::uint8_t>(n >> 8);
    (*frame)[3] = static_cast<std::uint8_t>(n);
    std::memcpy(frame->data() + 4, data, size);
    asio::post(_clientIo, [this, frame] {
      _clientQueue.push_back(frame);
      if (_clientQueue.size() == 1) clientWrite();
    });
  }

  Waiter waiter;

 private:
  struct Deferred {};
  explicit PlainEcho(Deferred)
      : _acceptor(_serverIo, {asio::ip::make_address_v4("127.0.0.1"), 0}),
        _client(_clientIo),
        _serverSocket(_serverIo) {}

  void clientWrite() {
    asio::async_write(_client, asio::buffer(*_clientQueue.front()),
                      [this](std::error_code ec, std::size_t) {
                        if (ec) return;
                        _clientQueue.pop_front();
                        if (!_clientQueue.empty()) clientWrite();
                      });
  }
  void serverRead() {
    _serverSocket.async_read_some(asio::buffer(_serverBuffer),
                                  [this](std::error_code ec, std::size_t n) {
                                    if (ec) return;
                                    if (_echo) {
                                      auto copy = std::make_shared<std::vector<std::uint8_t>>(
                                          _serverBuffer.begin(), _serverBuffer.begin() + n);
                                      _serverQueue.push_back(copy);
                                      if (_serverQueue.size() == 1) serverWrite();
                                    } else {
                                      countFrames(_serverPending, n, _serverBuffer.data());
                                    }
                                    serverRead();
                                  });
  }
  void serverWrite() {
    asio::async_write(_serverSocket, asio::buffer(*_serverQueue.front()),
                      [this](std::error_code ec, std::size_t) {
                        if (ec) return;
                        _serverQueue.pop_front();
                        if (!_serverQueue.empty()) serverWrite();
                      });
  }
  void clientRead() {
    _client.async_read_some(asio::buffer(_clientBuffer), [this](std::error_code ec, std::size_t n) {
      if (ec) return;
      countFrames(_clientPending, n, _clientBuffer.data());
      clientRead();
    });
  }
  // Splits the byte stream into frames and counts each whole one.
  void countFrames(std::vector<std::uint8_t>& pending, std::size_t n, const std::uint8_t* bytes) {
    pending.insert(pending.end(), bytes, bytes + n);
    std::size_t at = 0;
    while (pending.size() - at >= 4) {
      const std::uint32_t len = (std::uint32_t(pending[at]) << 24) |
                                (std::uint32_t(pending[at + 1]) << 16) |
                                (std::uint32_t(pending[at + 2]) << 8) | pending[at + 3];
      if (pending.size() - at < 4 + len) break;
      at += 4 + len;
      waiter.arrived();
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  }

  asio::io_context _serverIo;
  asio::io_context _clientIo;
  asio::ip::tcp::acceptor _acceptor;
  asio::ip::tcp::socket _client;
  asio::ip::tcp::socket _serverSocket;
  std::thread _serverThread;
  std::thread _clientThread;
  bool _echo = true;
  std::array<std::uint8_t, 65536> _serverBuffer{};
  std::array<std::uint8_t, 65536> _clientBuffer{};
  std::vector<std::uint8_t> _serverPending;
  std::vector<std::uint8_t> _clientPending;
  std::deque<std::shared_ptr<std::vector<std::uint8_t>>> _clientQueue;
  std::deque<std::shared_ptr<std::vector<std::uint8_t>>> _serverQueue;
};

// --- peer sessions: b echoes what a sends ----------------------------------

struct Echoer : qur::PeerSessionDelegate {
  bool echo = true;
  Waiter waiter;
  void sessionPeerDidChangeState(const std::shared_ptr<qur::PeerSession>&, const qur::PeerID&,
                                 qur::PeerSessionState) override {}
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<qur::PeerSession>& session,
                                     std::span<const std::uint8_t> data,
                                     const qur::PeerID& peer) override {
    if (echo) {
      session->sendData(data, {peer}, qur::SessionSendDataMode::Reliable, nullptr);
    } else {
      waiter.arrived();
    }
  }
};

struct Counter : qur::PeerSessionDelegate {
  Waiter waiter;
  std::atomic<int> connected{0};
  void sessionPeerDidChangeState(const std::shared_ptr<qur::PeerSession>&, const qur::PeerID&,
                                 qur::PeerSessionState state) override {
    if (state == qur::PeerSessionState::Connected) ++connected;
  }
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<qur::PeerSession>&,
                                     std::span<const std::uint8_t>, const qur::PeerID&) override {
    waiter.arrived();
  }
};

template <typename Send>
std::vector<double> measureLatency(Waiter& waiter, Send send) {
  std::vector<double> samples;
  std::uint8_t message[kMessageSize] = {};
  auto next = Clock::now();
  for (int i = 0; i < kLatencySamples; ++i) {
    next += std::chrono::microseconds(1000000 / 17);
    std::this_thread::sleep_until(next);
    const auto before = waiter.count();
    const auto start = Clock::now();
    send(message);
    waiter.waitFor(before + 1);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return samples;
}

template <typename Send>
double measureRate(Waiter& waiter, Send send) {
  std::uint8_t message[kMessageSize] = {};
  const auto before = waiter.count();
  const auto start = Clock::now();
  for (int i = 0; i < kRateMessages; ++i) {
    send(message);
    // A window keeps the sender within the queue bound of a real session.
    if (i >= 4000 && i % 1000 == 0) waiter.waitFor(before + static_cast<std::uint64_t>(i - 4000));
  }
  waiter.waitFor(before + kRateMessages);
  return kRateMessages / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  // Peer sessions, each on its own network thread like two devices.
  auto transportA = std::make_shared<qur::Transport>();
  auto transportB = std::make_shared<qur::Transport>();
  auto a = qur::PeerSession::create(qur::PeerID("bench-a"), transportA);
  auto b = qur::PeerSession::create(qur::PeerID("bench-b"), transportB);
  auto counter = std::make_shared<Counter>();
  auto echoer = std::make_shared<Echoer>();
  a->setDelegate(counter);
  b->setDelegate(echoer);
  b->setInvitationHandler(qur::acceptAllInvitations());
  a->invitePeer({"127.0.0.1", b->port()}, b->myPeerID());
  while (counter->connected == 0) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(200ms);
  const auto peers = a->connectedPeers();

  auto plain = PlainEcho::create();
  plain->start(true);

  std::printf("round trip of %zu-byte messages at 17/s, %d samples each\n", kMessageSize,
              kLatencySamples);
  // Interleave the two so both see the same machine load.
  std::vector<double> peerSamples, plainSamples;
  for (int round = 0; round < 2; ++round) {
    auto p = measureLatency(counter->waiter, [&](const std::uint8_t* m) {
      a->sendData(std::span(m, kMessageSize), peers, qur::SessionSendDataMode::Reliable, nullptr);
    });
    auto q =
        measureLatency(plain->waiter, [&](const std::uint8_t* m) { plain->send(m, kMessageSize); });
    peerSamples.insert(peerSamples.end(), p.begin(), p.end());
    plainSamples.insert(plainSamples.end(), q.begin(), q.end());
  }
  const double peerP50 = percentile(peerSamples, 0.5), peerP99 = percentile(peerSamples, 0.99);
  const double plainP50 = percentile(plainSamples, 0.5), plainP99 = percentile(plainSamples, 0.99);
  std::printf("  peer session : p50 %8.1f us  p99 %8.1f us\n", peerP50, peerP99);
  std::printf("  plain asio   : p50 %8.1f us  p99 %8.1f us\n", plainP50, plainP99);
  std::printf("  p50 ratio peer/plain: %.2f (target <= 1.5)\n", peerP50 / plainP50);

  // One-way rate: b and the plain server only count.
  echoer->echo = false;
  plain->stop();
  auto plainOneWay = PlainEcho::create();
  plainOneWay->start(false);
  const double peerRate = measureRate(echoer->waiter, [&](const std::uint8_t* m) {
    a->sendData(std::span(m, kMessageSize), peers, qur::SessionSendDataMode::Reliable, nullptr);
  });
  const double plainRate = measureRate(
      plainOneWay->waiter, [&](const std::uint8_t* m) { plainOneWay->send(m, kMessageSize); });
  std::printf("maximum rate of %zu-byte messages, %d messages\n", kMessageSize, kRateMessages);
  std::printf("  peer session : %10.0f messages/s\n", peerRate);
  std::printf("  plain asio   : %10.0f messages/s\n", plainRate);
  std::printf("  rate ratio peer/plain: %.2f\n", peerRate / plainRate);
  plainOneWay->stop();
  a->disconnect();
  return 0;
}
