// TLS against plain TCP on loopback, measured in the same run: the handshake
// beside a bare connect, CPU and throughput of voice-sized messages (100 to
// 300 bytes, one write each, as a session sends them), and bulk transfer.
// CPU is the whole process (sender and receiver threads); each figure is the
// best of several alternating rounds so a busy machine hurts both alike.
#include <time.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "peers/device_identity.h"
#include "peers/tls_context.h"

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using qur::peers::TlsContext;
using qur::peers::TlsStream;

namespace {

constexpr int kRounds = 5;
constexpr int kHandshakes = 100;
constexpr int kVoiceMessages = 20000;
constexpr std::size_t kBulkBytes = 128u << 20;
constexpr std::size_t kBulkWrite = 16384;
// One peer's voice: a packet every 60 ms.
constexpr double kPacketsPerSecond = 1000.0 / 60.0;

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Cost {
  double wall = 1e300;
  double cpu = 1e300;
  void keepBest(double w, double c) {
    wall = std::min(wall, w);
    cpu = std::min(cpu, c);
  }
};

template <typename Body>
void measure(Cost& cost, Body&& body) {
  const double cpu0 = cpuSeconds();
  const auto wall0 = Clock::now();
  body();
  cost.keepBest(std::chrono::duration<double>(Clock::now() - wall0).count(), cpuSeconds() - cpu0);
}

class Bench {
 public:
  Bench()
      : _alice(qur::DeviceIdentity::generate()),
        _bob(qur::DeviceIdentity::generate()),
        _aliceTls(TlsContext::create(*_alice)),
        _bobTls(TlsContext::create(*_bob)) {}

  bool ready() const { return _aliceTls && _bobTls; }

  std::pair<tcp::socket, tcp::socket> plainPair() {
    tcp::socket server(_io), client(_io);
    auto accepted = std::async(std::launch::async, [&] { _acceptor.accept(server); });
    client.connect(_acceptor.local_endpoint());
    accepted.get();
    client.set_option(tcp::no_delay(true));
    server.set_option(tcp::no_delay(true));
    return {std::move(client), std::move(server)};
  }

  std::pair<std::unique_ptr<TlsStream>, std::unique_ptr<TlsStream>> tlsPair() {
    auto client = std::make_unique<TlsStream>(_io, _aliceTls->context());
    auto server = std::make_unique<TlsStream>(_io, _bobTls->context());
    auto accepted = std::async(std::launch::async, [&] {
      _acceptor.accept(server->next_layer());
      server->next_layer().set_option(tcp::no_delay(true));
      server->handshake(asio::ssl::stream_base::server);
    });
    client->next_layer().connect(_acceptor.local_endpoint());
    client->next_layer().set_option(tcp::no_delay(true));
    TlsContext::expectPeer(*client, _bob->identifier());
    client->handshake(asio::ssl::stream_base::client);
    accepted.get();
    return {std::move(client), std::move(server)};
  }

 private:
  asio::io_context _io;
  tcp::acceptor _acceptor{_io, {asio::ip::address_v4::loopback(), 0}};
  std::shared_ptr<const qur::DeviceIdentity> _alice, _bob;
  std::shared_ptr<TlsContext> _aliceTls, _bobTls;
};

// The writer sends every message as its own write; the reader takes bytes
// as they come until all have arrived.
template <typename Stream>
void carry(Stream& writer, Stream& reader, const std::vector<std::vector<std::uint8_t>>& messages,
           std::size_t total) {
  std::thread receive([&] {
    std::vector<std::uint8_t> buffer(65536);
    std::size_t got = 0;
    while (got < total) got += reader.read_some(asio::buffer(buffer));
  });
  for (const auto& m : messages) asio::write(writer, asio::buffer(m));
  receive.join();
}

}  // namespace

int main() {
  Bench bench;
  if (!bench.ready()) {
    std::fprintf(stderr, "cannot set up TLS\n");
    return 1;
  }
  std::mt19937 random(15);
  std::vector<std::vector<std::uint8_t>> voice(kVoiceMessages);
  std::size_t voiceBytes = 0;
  for (auto& m : voice) {
    m.resize(100 + random() % 201);
    for (auto& b : m) b = static_cast<std::uint8_t>(random());
    voiceBytes += m.size();
  }
  std::vector<std::vector<std::uint8_t>> bulk(kBulkBytes / kBulkWrite,
                                              std::vector<std::uint8_t>(kBulkWrite, 0x5a));

  Cost plainConnect, tlsConnect, plainVoice, tlsVoice, plainBulk, tlsBulk;
  for (int round = 0; round < kRounds; ++round) {
    measure(plainConnect, [&] {
      for (int i = 0; i < kHandshakes; ++i) bench.plainPair();
    });
    measure(tlsConnect, [&] {
      for (int i = 0; i < kHandshakes; ++i) bench.tlsPair();
    });
    {
      auto [a, b] = bench.plainPair();
      measure(plainVoice, [&] { carry(a, b, voice, voiceBytes); });
      measure(plainBulk, [&] { carry(a, b, bulk, kBulkBytes); });
    }
    {
      auto [a, b] = bench.tlsPair();
      measure(tlsVoice, [&] { carry(*a, *b, voice, voiceBytes); });
      measure(tlsBulk, [&] { carry(*a, *b, bulk, kBulkBytes); });
    }
  }

  const double ms = 1e3 / kHandshakes;
  std::printf("connect (both ends, per connection), best of %d rounds of %d:\n", kRounds,
              kHandshakes);
  std::printf("  plain TCP     %8.3f ms wall  %8.3f ms CPU\n", plainConnect.wall * ms,
              plainConnect.cpu * ms);
  std::printf("  TLS 1.3       %8.3f ms wall  %8.3f ms CPU\n", tlsConnect.wall * ms,
              tlsConnect.cpu * ms);
  std::printf("  TLS adds      %8.3f ms wall (ratio %.2f)\n",
              (tlsConnect.wall - plainConnect.wall) * ms, tlsConnect.wall / plainConnect.wall);

  const double perMessagePlain = plainVoice.cpu / kVoiceMessages;
  const double perMessageTls = tlsVoice.cpu / kVoiceMessages;
  std::printf("voice messages (100-300 bytes, %d, send + receive):\n", kVoiceMessages);
  std::printf("  plain TCP     %8.2f us CPU/message  %8.1f MB/s\n", perMessagePlain * 1e6,
              voiceBytes / plainVoice.wall / 1e6);
  std::printf("  TLS 1.3       %8.2f us CPU/message  %8.1f MB/s\n", perMessageTls * 1e6,
              voiceBytes / tlsVoice.wall / 1e6);
  std::printf("  CPU per second of one peer's voice: plain %.4f%%, TLS %.4f%%\n",
              perMessagePlain * kPacketsPerSecond * 100, perMessageTls * kPacketsPerSecond * 100);
  std::printf("  TLS / plain CPU ratio %.2f\n", perMessageTls / perMessagePlain);

  std::printf("bulk (%zu MiB in %zu-byte writes):\n", kBulkBytes >> 20, kBulkWrite);
  std::printf("  plain TCP     %8.1f MB/s  %8.3f s CPU\n", kBulkBytes / plainBulk.wall / 1e6,
              plainBulk.cpu);
  std::printf("  TLS 1.3       %8.1f MB/s  %8.3f s CPU\n", kBulkBytes / tlsBulk.wall / 1e6,
              tlsBulk.cpu);
  std::printf("  TLS / plain throughput ratio %.2f, CPU ratio %.2f\n",
              plainBulk.wall / tlsBulk.wall, tlsBulk.cpu / plainBulk.cpu);
  return 0;
}
