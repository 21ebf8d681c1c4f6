// Resident memory of a receiver whose connected peer floods it for 10 s:
// first with 12-byte garbage frames (reconnecting each time it is dropped),
// then with valid start/stop statuses as fast as TLS takes them. The
// baseline is the growth over 10 s of ordinary voice traffic in the same
// run. The receive chain is the application's: the controller's session
// options, the split delegate, the message source and a wire message source.
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "log/log.h"
#include "peers/message_sink.h"
#include "peers/protocol.h"
#include "peers/session_controller.h"
#include "peers/split_delegate.h"
#include "peers/tls_context.h"
#include "wire/wire_message.h"
#include "wire/wire_message_stream.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// Every peer's messages go through one wire message source, as a peer's do.
struct Receiver : qur::MultipeerSessionDataReceiptDelegate {
  qur::WireMessageStreamSource source;
  std::atomic<std::uint64_t> messages{0};
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<qur::PeerSession>&,
                                     std::span<const std::uint8_t> data,
                                     const qur::PeerID&) override {
    source.gotMessage(data);
    ++messages;
  }
};

// A connected raw peer over TLS with a key of its own: hello, invite,
// accepted. Each join is a fresh TLS connection, as a real reconnect is.
struct Flooder {
  asio::io_context io;
  qur::PeerID identity{"flooder"};
  std::shared_ptr<qur::peers::TlsContext> tls =
      qur::peers::TlsContext::create(*identity.localIdentity());
  std::unique_ptr<qur::peers::TlsStream> stream;
  bool join(std::uint16_t port) {
    std::error_code ec;
    stream = std::make_unique<qur::peers::TlsStream>(io, tls->context());
    stream->next_layer().connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    if (ec) return false;
    stream->handshake(asio::ssl::stream_base::client, ec);
    if (ec) return false;
    qur::peers::Hello hello;
    hello.identifier = identity.identifier();
    hello.displayName = "flooder";
    write(qur::peers::encodeFrame(qur::peers::FrameType::Hello, qur::peers::encodeHello(hello)));
    write(qur::peers::encodeFrame(qur::peers::FrameType::Invite, {}));
    // Hello and Accept come back; the rest is never read.
    qur::peers::FrameParser parser;
    std::uint8_t buffer[512];
    qur::peers::Frame frame;
    for (int frames = 0; frames < 2;) {
      const auto n = stream->read_some(asio::buffer(buffer), ec);
      if (ec) return false;
      parser.feed(std::span(buffer, n));
      while (parser.next(&frame) == qur::peers::FrameParser::Status::Frame) ++frames;
    }
    return true;
  }
  bool write(const std::vector<std::uint8_t>& bytes) {
    std::error_code ec;
    asio::write(*stream, asio::buffer(bytes), ec);
    return !ec;
  }
};

std::vector<std::uint8_t> statusMessage(int status) {
  QURWireMessage message;
  qur::wireMessageMakeStreamStatus(&message, status);
  std::vector<std::uint8_t> out(64);
  out.resize(static_cast<std::size_t>(qur::wireMessageEncode(&message, out.data(), out.size())));
  return out;
}

std::vector<std::uint8_t> voiceMessage(std::uint32_t n) {
  auto packet = qur::makeOpusPacket(100);
  packet->dataLength = 100;
  std::fill(packet->data, packet->data + 100, static_cast<std::uint8_t>(n));
  packet->frameCount = 2880;
  packet->packetNumber = n;
  QURWireMessage message;
  qur::wireMessageMakeOpusPayload(&message, packet.get());
  std::vector<std::uint8_t> out(512);
  out.resize(static_cast<std::size_t>(qur::wireMessageEncode(&message, out.data(), out.size())));
  return out;
}

struct Phase {
  double growth = 0;
  std::uint64_t framesSent = 0;
  std::uint64_t delivered = 0;
  int joins = 0;
};

template <class Send>
Phase run(std::uint16_t port, Receiver& receiver, Send send) {
  Phase phase;
  const double before = residentMiB();
  const auto deliveredBefore = receiver.messages.load();
  const auto end = Clock::now() + 10s;
  Flooder flooder;
  while (Clock::now() < end) {
    if (!flooder.join(port)) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    ++phase.joins;
    while (Clock::now() < end && send(flooder, phase.framesSent)) ++phase.framesSent;
  }
  std::this_thread::sleep_for(500ms);
  phase.growth = residentMiB() - before;
  phase.delivered = receiver.messages.load() - deliveredBefore;
  return phase;
}

}  // namespace

int main() {
  qur::setLogLevel(qur::LogLevelInfo);
  // Count log lines instead of printing them.
  struct Counter : qur::Logger {
    std::atomic<std::uint64_t> lines{0};
    void logMessage(const qur::LogMessage&) override { ++lines; }
  };
  auto counter = std::make_shared<Counter>();
  qur::addLogger(counter);

  auto session = qur::PeerSession::create(qur::PeerID("receiver"),
                                          qur::MultipeerSessionController::sessionOptions());
  if (!session) return 1;
  auto split = std::make_shared<qur::MultipeerSessionSplitDelegate>();
  auto receiver = std::make_shared<Receiver>();
  split->addDataReceiptDelegate(receiver);
  session->setDelegate(split);
  session->setInvitationHandler(qur::acceptAllInvitations());
  const auto port = session->port();

  auto print = [&](const char* name, const Phase& p, std::uint64_t lines) {
    std::printf(
        "%-28s rss growth %7.2f MiB  frames sent %9llu  delivered %9llu  joins %5d  log lines "
        "%llu\n",
        name, p.growth, static_cast<unsigned long long>(p.framesSent),
        static_cast<unsigned long long>(p.delivered), p.joins,
        static_cast<unsigned long long>(lines));
  };

  auto lines0 = counter->lines.load();
  const auto baseline = run(port, *receiver, [](Flooder& f, std::uint64_t n) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000000 / 17));
    return f.write(qur::peers::encodeFrame(qur::peers::FrameType::Data,
                                           voiceMessage(static_cast<std::uint32_t>(n))));
  });
  print("voice rate (baseline)", baseline, counter->lines.load() - lines0);

  lines0 = counter->lines.load();
  const std::vector<std::uint8_t> garbage(7, 0xFF);
  const auto garbageFrame = qur::peers::encodeFrame(qur::peers::FrameType::Data, garbage);
  const auto junk =
      run(port, *receiver, [&](Flooder& f, std::uint64_t) { return f.write(garbageFrame); });
  print("12-byte garbage frames", junk, counter->lines.load() - lines0);

  lines0 = counter->lines.load();
  const auto started = qur::peers::encodeFrame(qur::peers::FrameType::Data, statusMessage(1));
  const auto stopped = qur::peers::encodeFrame(qur::peers::FrameType::Data, statusMessage(0));
  const auto statuses = run(port, *receiver, [&](Flooder& f, std::uint64_t n) {
    return f.write(n % 2 ? stopped : started);
  });
  print("start/stop status flood", statuses, counter->lines.load() - lines0);

  const double base = std::max(baseline.growth, 0.25);
  std::printf("growth ratio against baseline: garbage %.2f, statuses %.2f (bound: 16 MiB each)\n",
              junk.growth / base, statuses.growth / base);
  session.reset();
  qur::removeAllLoggers();
  return junk.growth < 16 && statuses.growth < 16 ? 0 : 1;
}
