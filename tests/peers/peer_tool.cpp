// A test peer driven by text lines: commands on standard input, events on
// standard output. The multi-process tests run it in network namespaces.
//
// Commands: advertise on|off, browse on|off, handler accept|decline|ask,
// answer yes|no, invite <id>, invite-at <address> <port>, send <text>,
// peers, disconnect, name, quit, exit (at once, tearing nothing down);
// as an attacker: announce <name> <id> (advertises our port under another
// device's identifier), hold <address> <port> <count> <from>... (keeps
// count idle connections open from each source address, opening a new one
// whenever one is closed), release (closes them).
// Events: ready <id> <port> <name>, found <id> <address> <port> <name>,
// lost <id>, invitation <id> <name> <address> <id prefix>, state <id> <0|1|2> <name>,
// result <id> <inviter|invited> <outcome>,
// data <id> <text>, sent ok|fail <error>, peers <count> <id>..., name <published>,
// ok, error <text>.
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "log/log.h"
#include "peers/advertiser.h"
#include "peers/discovery.h"
#include "peers/peer_browser.h"
#include "peers/peer_session.h"
#include "peers/protocol.h"

namespace {

std::mutex gOutMutex;

void emit(const std::string& line) {
  std::lock_guard lock(gOutMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class Printer : public qur::PeerSessionDelegate {
 public:
  void sessionPeerDidChangeState(const std::shared_ptr<qur::PeerSession>& session,
                                 const qur::PeerID& peer, qur::PeerSessionState state) override {
    emit("state " + peer.identifierString() + " " + std::to_string(static_cast<int>(state)) + " " +
         peer.displayName());
    // As the session controller's split delegate does for its browser.
    if (auto b = browser.lock()) b->sessionPeerDidChangeState(session, peer, state);
  }
  std::weak_ptr<qur::PeerBrowser> browser;
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<qur::PeerSession>&,
                                     std::span<const std::uint8_t> data,
                                     const qur::PeerID& peer) override {
    emit("data " + peer.identifierString() + " " +
         std::string(reinterpret_cast<const char*>(data.data()), data.size()));
  }
};

// Idle connections that take up a listener's room for pending ones.
class Holder {
 public:
  Holder() : _work(std::in_place, _io.get_executor()), _thread([this] { _io.run(); }) {}
  ~Holder() {
    release();
    _work.reset();
    _io.stop();
    _thread.join();
  }
  void hold(const std::string& address, std::uint16_t port, int count,
            const std::vector<std::string>& sources) {
    asio::post(_io, [=, this] {
      _holding = true;
      for (const auto& from : sources)
        for (int i = 0; i < count; ++i) open({asio::ip::make_address_v4(address), port}, from);
    });
  }
  void release() {
    asio::post(_io, [this] {
      _holding = false;
      for (auto& s : _sockets) {
        std::error_code ignored;
        s->close(ignored);
      }
      _sockets.clear();
    });
  }
  std::size_t opened() const { return _opened; }

 private:
  void open(asio::ip::tcp::endpoint to, const std::string& from) {
    if (!_holding) return;
    auto socket = std::make_shared<asio::ip::tcp::socket>(_io);
    std::error_code ec;
    socket->open(asio::ip::tcp::v4(), ec);
    socket->bind({asio::ip::make_address_v4(from), 0}, ec);
    _sockets.insert(socket);
    socket->async_connect(to, [=, this](const std::error_code& error) {
      if (error) return reopen(socket, to, from);
      ++_opened;
      // Says nothing and waits to be closed.
      auto buffer = std::make_shared<std::array<char, 4096>>();
      readUntilClosed(socket, buffer, to, from);
    });
  }
  void readUntilClosed(std::shared_ptr<asio::ip::tcp::socket> socket,
                       std::shared_ptr<std::array<char, 4096>> buffer, asio::ip::tcp::endpoint to,
                       std::string from) {
    socket->async_read_some(asio::buffer(*buffer),
                            [=, this](const std::error_code& error, std::size_t) {
                              if (error) return reopen(socket, to, from);
                              readUntilClosed(socket, buffer, to, from);
                            });
  }
  void reopen(const std::shared_ptr<asio::ip::tcp::socket>& socket, asio::ip::tcp::endpoint to,
              const std::string& from) {
    _sockets.erase(socket);
    if (!_holding) return;
    auto timer = std::make_shared<asio::steady_timer>(_io, std::chrono::milliseconds(5));
    timer->async_wait([=, this](const std::error_code&) { open(to, from); });
  }

  asio::io_context _io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> _work;
  std::thread _thread;
  std::set<std::shared_ptr<asio::ip::tcp::socket>> _sockets;
  bool _holding = false;
  std::atomic<std::size_t> _opened{0};
};

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  qur::DiscoveryOptions discovery;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--name") && i + 1 < argc) {
      name = argv[++i];
    } else if (!std::strcmp(argv[i], "--interfaces") && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) discovery.allowInterfaces.push_back(item);
    }
  }
  qur::setLogLevel(qur::LogLevelInfo);
  qur::addLogger(std::make_shared<qur::ConsoleLogger>());
  qur::Discovery::configure(discovery);
  // The responder claims its host name at start-up, as the application does,
  // so that advertising later only has to probe the service.
  qur::Discovery::shared();

  // As the application does: a name another device advertises is not taken.
  const qur::PeerID me(qur::Advertiser::availableDisplayName("qur-wtalkie", name));
  auto session = qur::PeerSession::create(me);
  if (!session) return 1;
  auto printer = std::make_shared<Printer>();
  session->setDelegate(printer);

  std::mutex pendingMutex;
  std::function<void(bool)> pendingReply;
  auto asking = [&](const qur::PeerID& peer, std::function<void(bool)> reply) {
    {
      std::lock_guard lock(pendingMutex);
      pendingReply = std::move(reply);
    }
    auto details = session->pendingInvitation(peer);
    emit("invitation " + peer.identifierString() + " " + peer.displayName() + " " +
         (details ? details->address + " " + details->identifierPrefix : std::string("? ?")));
  };
  session->setInvitationResultHandler([](const qur::InvitationResult& r) {
    emit("result " + r.peer.identifierString() + " " + (r.invitedUs ? "invited " : "inviter ") +
         qur::invitationOutcomeName(r.outcome));
  });
  qur::InvitationHandler handler = qur::acceptAllInvitations();

  std::unique_ptr<qur::Advertiser> advertiser;
  std::vector<std::unique_ptr<qur::Discovery::Publication>> announced;
  std::unique_ptr<Holder> holder;
  auto browser = qur::PeerBrowser::create("qur-wtalkie", session);
  printer->browser = browser;
  // Identifier -> "address port": a peer is reported again when it moves.
  std::map<std::string, std::string> known;
  std::mutex knownMutex;
  browser->setNearbyPeersChangedHandler([&](const std::vector<qur::NearbyPeer>& peers) {
    std::lock_guard lock(knownMutex);
    std::map<std::string, std::string> now;
    for (auto& p : peers) {
      const auto id = p.peer.identifierString();
      const auto where = p.endpoint.address + " " + std::to_string(p.endpoint.port);
      now[id] = where;
      auto old = known.find(id);
      if (old == known.end() || old->second != where)
        emit("found " + id + " " + where + " " + p.peer.displayName());
    }
    for (auto& [id, where] : known)
      if (!now.count(id)) emit("lost " + id);
    known = now;
  });

  emit("ready " + me.identifierString() + " " + std::to_string(session->port()) + " " +
       me.displayName());

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "advertise") {
      std::string arg;
      in >> arg;
      if (arg == "on") {
        advertiser = std::make_unique<qur::Advertiser>(
            "qur-wtalkie", std::map<std::string, std::string>{}, session);
        advertiser->setInvitationHandler(handler);
        advertiser->start();
      } else {
        advertiser.reset();
      }
      emit("ok");
    } else if (command == "browse") {
      std::string arg;
      in >> arg;
      if (arg == "on") {
        browser->start();
      } else {
        browser->stop();
        std::lock_guard lock(knownMutex);
        known.clear();
      }
      emit("ok");
    } else if (command == "handler") {
      std::string arg;
      in >> arg;
      handler = arg == "accept"    ? qur::acceptAllInvitations()
                : arg == "decline" ? qur::declineAllInvitations()
                                   : qur::InvitationHandler(asking);
      if (advertiser) {
        advertiser->stop();
        advertiser->setInvitationHandler(handler);
        advertiser->start();
      }
      emit("ok");
    } else if (command == "answer") {
      std::string arg;
      in >> arg;
      std::function<void(bool)> reply;
      {
        std::lock_guard lock(pendingMutex);
        reply = std::move(pendingReply);
      }
      if (reply) reply(arg == "yes");
      emit(reply ? "ok" : "error no invitation");
    } else if (command == "invite") {
      std::string id;
      in >> id;
      bool done = false;
      for (auto& p : browser->nearbyPeers())
        if (p.peer.identifierString() == id) done = browser->invite(p.peer);
      emit(done ? "ok" : "error cannot invite " + id);
    } else if (command == "invite-at") {
      std::string address;
      int port = 0;
      in >> address >> port;
      session->invitePeer({address, static_cast<std::uint16_t>(port)});
      emit("ok");
    } else if (command == "send") {
      std::string text;
      std::getline(in >> std::ws, text);
      qur::PeerError error;
      const bool sent = session->sendData(
          std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
          session->connectedPeers(), qur::SessionSendDataMode::Reliable, &error);
      emit(sent ? "sent ok" : "sent fail " + error.description);
    } else if (command == "peers") {
      auto peers = session->connectedPeers();
      std::string out = "peers " + std::to_string(peers.size());
      for (auto& p : peers) out += " " + p.identifierString();
      emit(out);
    } else if (command == "disconnect") {
      session->disconnect();
      emit("ok");
    } else if (command == "name") {
      emit("name " + (advertiser ? advertiser->publishedName() : std::string()));
    } else if (command == "announce") {
      std::string serviceName, id;
      in >> serviceName >> id;
      announced.push_back(qur::Discovery::shared()->publish(
          "qur-wtalkie", serviceName, session->port(),
          {"id=" + id, "v=" + std::to_string(qur::peers::kProtocolVersion)}));
      emit("ok");
    } else if (command == "hold") {
      std::string address;
      int port = 0, count = 0;
      in >> address >> port >> count;
      std::vector<std::string> sources;
      for (std::string from; in >> from;) sources.push_back(from);
      if (!holder) holder = std::make_unique<Holder>();
      holder->hold(address, static_cast<std::uint16_t>(port), count, sources);
      emit("ok");
    } else if (command == "release") {
      if (holder) emit("held " + std::to_string(holder->opened()));
      holder.reset();
      emit("ok");
    } else if (command == "quit") {
      break;
    } else if (command == "exit") {
      // Ends as the application does on a signal: nothing torn down first.
      std::fflush(stdout);
      std::exit(0);
    } else if (!command.empty()) {
      emit("error unknown command " + command);
    }
  }
  holder.reset();
  announced.clear();
  advertiser.reset();
  browser.reset();
  session.reset();
  qur::removeAllLoggers();
  return 0;
}
