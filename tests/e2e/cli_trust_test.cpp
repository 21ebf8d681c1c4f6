// Who reaches the microphone and speaker of `qur-wtalkie-cli run`, tried as
// a stranger on the same network would: a device posing under a
// colleague's name, a member bringing strangers in, invitations crowding
// the question, and look-alike names. The program runs as a real process on
// loopback; the strangers are this test, speaking the protocol over real TLS.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "peers/advertiser.h"
#include "peers/device_identity.h"
#include "peers/discovery.h"
#include "peers/known_peers.h"
#include "peers/peer_browser.h"
#include "peers/session_support.h"
#include "support/cli_runner.h"
#include "support/json_field.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using peers::FrameType;
using testing::ChildProcess;
using testing::jsonField;
using testing::RawPeer;
using testing::Recorder;
using testing::Runner;
using testing::TempDir;
using testing::uniqueName;

constexpr const char* kService = "qur-wtalkie";

// A device key whose identifier sorts above `than`: the program then dials
// it (the smaller identifier dials an introduced device).
std::shared_ptr<const DeviceIdentity> keyAbove(const peers::Identifier& than) {
  for (;;) {
    auto key = DeviceIdentity::generate();
    if (key && than < key->identifier()) return key;
  }
}

// Counts the connections somebody opens to a port: whether a device was
// dialled at all.
class Listener {
 public:
  Listener() : _socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(_socket, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(_socket, 8);
    ::getsockname(_socket, reinterpret_cast<sockaddr*>(&address), &size);
    _port = ntohs(address.sin_port);
  }
  ~Listener() { ::close(_socket); }
  std::uint16_t port() const { return _port; }
  int accepted() {
    for (int fd; (fd = ::accept(_socket, nullptr, nullptr)) >= 0;) {
      ::close(fd);
      ++_accepted;
    }
    return _accepted;
  }

 private:
  int _socket;
  std::uint16_t _port = 0;
  int _accepted = 0;
};

// A stranger speaking the protocol by hand: it invites, answers the
// keep-alive while it waits, and keeps every frame it gets.
struct Stranger {
  Stranger(std::uint16_t port, const std::string& name, const std::string& from,
           std::uint16_t listenPort = 0)
      : raw(port, 0, from) {
    raw.sendHello(name, peers::kProtocolVersion, listenPort);
    raw.sendFrame(FrameType::Invite);
  }
  // Reads what arrived; answers Pings.
  void pump() {
    while (auto frame = raw.readFrame(2ms)) {
      if (frame->type == FrameType::Ping) raw.sendFrame(FrameType::Pong);
      frames.push_back(*frame);
    }
  }
  int count(FrameType type) const {
    int n = 0;
    for (const auto& frame : frames) n += frame.type == type;
    return n;
  }
  std::optional<peers::DeclineReason> declined() const {
    for (const auto& frame : frames)
      if (frame.type == FrameType::Decline) return peers::decodeDecline(frame.payload);
    return std::nullopt;
  }
  RawPeer raw;
  std::vector<peers::Frame> frames;
};

class CliStrangers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Discovery::configure({{"lo"}, {}}); }
  void SetUp() override { setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1); }

  // A program with its own key folder (made here, so its identifier is known).
  Runner start(const std::string& name, const std::string& accept, const std::string& folder) {
    return Runner(std::make_unique<ChildProcess>(std::vector<std::string>{
        "env", "QUR_WTALKIE_CONFIG_DIR=" + folder, QUR_CLI_PATH, "run", "--name", name, "--audio",
        "virtual", "--accept", accept, "--interface", "lo", "--events", "json"}));
  }
  std::shared_ptr<const DeviceIdentity> keyIn(const std::string& folder) {
    return DeviceIdentity::loadOrCreate(folder);
  }

  // Where a program listens, as its advertisement says.
  std::optional<PeerEndpoint> find(const PeerID& device) {
    if (!_browserSession) _browserSession = PeerSession::create(PeerID("trust-test-browser"));
    if (!_browser) {
      _browser = PeerBrowser::create(kService, _browserSession);
      _browser->start();
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& nearby : _browser->nearbyPeers())
        if (nearby.peer == device) return nearby.endpoint;
      std::this_thread::sleep_for(50ms);
    }
    return std::nullopt;
  }

  // Waits for the program's event while the strangers keep talking.
  static std::optional<std::string> wait(Runner& runner, std::vector<Stranger*> strangers,
                                         const std::string& event,
                                         const std::optional<std::string>& peer = std::nullopt,
                                         std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      for (auto* s : strangers) s->pump();
      if (auto line = runner.wait(event, peer, std::nullopt, 50ms)) return line;
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
  }
  static void pump(std::vector<Stranger*> strangers, std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      for (auto* s : strangers) s->pump();
      std::this_thread::sleep_for(20ms);
    }
  }

  TempDir dir;
  std::shared_ptr<PeerSession> _browserSession;
  std::shared_ptr<PeerBrowser> _browser;
};

// "invite Alpha" with Alpha pinned reaches the pinned key only: a device
// that took the name gets nothing, not even a connection, unless the user
// confirms it after the warning; the real one, renamed "Alpha #2" since the
// name was taken, is found by its key.
TEST_F(CliStrangers, InvitingAPinnedNameReachesOnlyThePinnedKey) {
  const std::string alpha = uniqueName("alpha");
  const std::string realFolder = dir.path("real"), victimFolder = dir.path("victim");
  const auto realKey = keyIn(realFolder);
  ASSERT_TRUE(realKey && keyIn(victimFolder));
  ASSERT_TRUE(KnownPeers(victimFolder).pin(alpha, realKey->identifier()));

  // The impostor takes the name first and would let anyone in.
  auto impostorId = PeerID(alpha, DeviceIdentity::generate());
  auto impostor = PeerSession::create(impostorId);
  auto heard = std::make_shared<Recorder>();
  impostor->setDelegate(heard);
  Advertiser advertisement(kService, {}, impostor);
  advertisement.setInvitationHandler(acceptAllInvitations());
  advertisement.start();

  Runner victim = start(uniqueName("victim"), "ask", victimFolder);
  const auto found = victim.wait("peer_found", alpha);
  ASSERT_TRUE(found) << victim.tail();
  EXPECT_EQ(jsonField(*found, "trust"), "key changed") << *found;
  victim.send("invite " + alpha);
  const auto held = victim.wait("invite_unconfirmed", alpha, std::nullopt, 5s);
  ASSERT_TRUE(held) << victim.tail();
  EXPECT_EQ(jsonField(*held, "identifier"), impostorId.identifierString().substr(0, 8));

  // The colleague comes; the name is taken, so it is "alpha #2" now.
  Runner real = start(alpha, "auto", realFolder);
  const auto renamed = victim.wait("peer_found", alpha + " #2");
  ASSERT_TRUE(renamed) << victim.tail();
  EXPECT_EQ(jsonField(*renamed, "trust"), "known as " + alpha) << *renamed;
  // Two devices of one name stay two rows, each with its own key.
  victim.send("peers");
  const auto listing = victim.wait("peers");
  ASSERT_TRUE(listing);
  for (const auto& [key, trust] :
       {std::pair{peers::fingerprintForIdentifier(impostorId.identifier()),
                  std::string("key changed")},
        std::pair{realKey->fingerprint(), "known as " + alpha}}) {
    EXPECT_NE(listing->find("\"fingerprint\":\"" + key + "\",\"trust\":\"" + trust + "\""),
              std::string::npos)
        << *listing;
  }

  // Its hello may still say the name it started with: the key is what counts.
  victim.send("invite " + alpha);
  const auto connected = victim.wait("peer_connected");
  ASSERT_TRUE(connected) << victim.tail();
  EXPECT_EQ(jsonField(*connected, "identifier"), realKey->identifierString().substr(0, 8));
  ASSERT_TRUE(victim.wait("connected", std::nullopt, "true")) << victim.tail();
  victim.send("talk 1");
  ASSERT_TRUE(real.wait("peer_talking", std::nullopt, "false")) << real.tail();
  EXPECT_TRUE(heard->events().empty()) << "the impostor was dialled";

  // Only an explicit confirmation reaches the other key.
  victim.send("invite " + impostorId.identifierString().substr(0, 8));
  ASSERT_TRUE(victim.wait("invite_unconfirmed", alpha, std::nullopt, 5s)) << victim.tail();
  victim.send("confirm");
  EXPECT_TRUE(heard->waitFor([](const auto& events) { return !events.empty(); }, 10s))
      << "the confirmed device was not invited";
  EXPECT_EQ(victim.process().quit(15s), 0);
  EXPECT_EQ(real.process().quit(15s), 0);
}

// A member may bring others in only with the local user's consent: a
// client that does not listen vouches for nobody, and under --accept auto a
// changed key or a look-alike introduced by a member is asked about, never
// dialled on its own. Invitations under invisible or look-alike names fare
// no better.
TEST_F(CliStrangers, IntroducedAndLookAlikeDevicesNeedTheUser) {
  const std::string alpha = uniqueName("alpha");
  const std::string victimFolder = dir.path("victim");
  const auto victimKey = keyIn(victimFolder);
  ASSERT_TRUE(victimKey);
  ASSERT_TRUE(KnownPeers(victimFolder).pin(alpha, DeviceIdentity::generate()->identifier()));
  const PeerID victimId(uniqueName("victim"), victimKey);
  Runner victim = start(victimId.displayName(), "auto", victimFolder);
  const auto where = find(victimId);
  ASSERT_TRUE(where) << victim.tail();

  auto introduce = [](Stranger& member, const peers::Identifier& who, std::uint16_t port,
                      const std::string& name) {
    peers::Introduction in;
    in.identifier = who;
    in.address = {127, 0, 0, 1};
    in.port = port;
    in.displayName = name;
    member.raw.sendFrame(FrameType::Introduce, peers::encodeIntroduction(in));
  };
  // An invite-only client (port 0), let in as a new key, introduces Eve.
  Stranger mallory(where->port, "mallory", "127.0.0.2");
  ASSERT_TRUE(wait(victim, {&mallory}, "peer_connected", "mallory")) << victim.tail();
  Listener eve;
  introduce(mallory, keyAbove(victimId.identifier())->identifier(), eve.port(), "eve");
  // A member that listens introduces a device under the pinned name, and
  // one under a look-alike of it, each with a stranger's key.
  Stranger member(where->port, "member", "127.0.0.3", 9);
  ASSERT_TRUE(wait(victim, {&mallory, &member}, "peer_connected", "member")) << victim.tail();
  Listener fake, lookalike;
  const std::string cyrillic = "\u0430" + alpha.substr(1);  // a Cyrillic a
  introduce(member, keyAbove(victimId.identifier())->identifier(), fake.port(), alpha);
  introduce(member, keyAbove(victimId.identifier())->identifier(), lookalike.port(), cyrillic);
  for (const auto& [name, trust] :
       {std::pair{alpha, std::string("key changed")}, std::pair{cyrillic, "looks like " + alpha}}) {
    const auto asked = wait(victim, {&mallory, &member}, "invitation", name);
    ASSERT_TRUE(asked) << victim.tail();
    EXPECT_EQ(jsonField(*asked, "introduced_by"), "member") << *asked;
    EXPECT_EQ(jsonField(*asked, "trust"), trust) << *asked;
    EXPECT_EQ(jsonField(*asked, "policy"), "ask") << *asked;
  }
  pump({&mallory, &member}, 1s);
  EXPECT_EQ(eve.accepted() + fake.accepted() + lookalike.accepted(), 0)
      << "an introduced device was dialled without the user";
  // The user's answers decide, each for its own question.
  victim.send("decline " + alpha);
  victim.send("accept " + cyrillic);
  ASSERT_TRUE(wait(victim, {&mallory, &member}, "invitation_answered", cyrillic));
  pump({&mallory, &member}, 1s);
  EXPECT_EQ(fake.accepted(), 0);
  EXPECT_EQ(lookalike.accepted(), 1) << "the accepted look-alike was not dialled";
  EXPECT_EQ(eve.accepted(), 0) << "a client without a port vouched for Eve";

  // Invitations under names that hide something are refused at the hello;
  // a look-alike of the pinned name is asked about even under auto.
  std::vector<std::unique_ptr<Stranger>> hidden;
  for (const std::string& name : {alpha + "\u200B", alpha + " ", "\u202E" + alpha})
    hidden.push_back(std::make_unique<Stranger>(where->port, name, "127.0.0.4"));
  for (auto& s : hidden) EXPECT_TRUE(s->raw.waitUntilClosed(5s)) << "a hidden name got in";
  const std::string digit = "a1" + alpha.substr(2);  // a one for the l
  Stranger posing(where->port, digit, "127.0.0.5");
  const auto asked = wait(victim, {&mallory, &member, &posing}, "invitation", digit);
  ASSERT_TRUE(asked) << victim.tail();
  EXPECT_EQ(jsonField(*asked, "trust"), "looks like " + alpha);
  victim.send("talk 1");
  pump({&mallory, &member, &posing}, 2s);
  EXPECT_EQ(posing.count(FrameType::Accept) + posing.count(FrameType::Data), 0);
  EXPECT_GT(member.count(FrameType::Data), 0) << "the member itself was let in and hears";
  for (auto& s : hidden) EXPECT_EQ(s->count(FrameType::Data), 0);
  EXPECT_EQ(victim.process().quit(15s), 0);
}

// Invitations wait their turn: a stranger's flood, a second device of the
// colleague's name and a zero-width twin of it neither answer nor jump the
// colleague's question; `accept` answers the one shown, a withdrawal is
// told, and no Decline says whom else the user is asked about.
TEST_F(CliStrangers, InvitationsWaitTheirTurnAndNoneAnswersAnother) {
  const std::string victimFolder = dir.path("victim");
  const PeerID victimId(uniqueName("victim"), keyIn(victimFolder));
  Runner victim = start(victimId.displayName(), "ask", victimFolder);
  const std::string charlie = uniqueName("charlie");
  Runner colleague = start(charlie, "never", dir.path("charlie"));
  ASSERT_TRUE(colleague.wait("peer_found", victimId.displayName())) << colleague.tail();
  const auto where = find(victimId);
  ASSERT_TRUE(where);

  // The colleague changes its mind once: the question says so.
  colleague.send("invite " + victimId.displayName());
  ASSERT_TRUE(victim.wait("invitation", charlie)) << victim.tail();
  colleague.send("cancel");
  const auto gone = victim.wait("invitation_result", charlie);
  ASSERT_TRUE(gone) << victim.tail();
  EXPECT_EQ(jsonField(*gone, "outcome"), "withdrawn");
  colleague.send("invite " + victimId.displayName());
  const auto first = victim.wait("invitation", charlie);
  ASSERT_TRUE(first) << victim.tail();
  EXPECT_EQ(jsonField(*first, "waiting"), "0");

  Stranger twin(where->port, charlie, "127.0.0.2");
  const auto second = wait(victim, {&twin}, "invitation", charlie);
  ASSERT_TRUE(second) << victim.tail();
  EXPECT_EQ(jsonField(*second, "waiting"), "1") << *second;
  Stranger zeroWidth(where->port, charlie + "\u200B", "127.0.0.2");
  std::map<std::string, std::unique_ptr<Stranger>> flood;
  for (int i = 0; i < 5; ++i) {
    const std::string guest = "guest-" + std::to_string(i);
    flood[guest] = std::make_unique<Stranger>(where->port, guest, "127.0.0.3");
  }
  std::vector<Stranger*> all = {&twin, &zeroWidth};
  for (auto& [guest, s] : flood) all.push_back(s.get());
  pump(all, 1s);
  EXPECT_TRUE(zeroWidth.raw.waitUntilClosed(1s)) << "a zero-width twin was asked about";
  // One address may keep four questions waiting; the fifth is turned away,
  // told nothing more than no.
  std::vector<std::string> waiting;
  for (auto& [guest, s] : flood) {
    if (s->declined()) {
      EXPECT_EQ(s->declined(), peers::DeclineReason::Declined);
    } else if (victim.wait("invitation", guest, std::nullopt, 1s)) {
      waiting.push_back(guest);
    }
  }
  EXPECT_EQ(waiting.size(), 4u) << victim.tail();
  EXPECT_FALSE(twin.declined()) << "a second device of the name was turned away";

  victim.send("accept");
  ASSERT_TRUE(wait(victim, all, "peer_connected", charlie)) << victim.tail();
  ASSERT_TRUE(colleague.wait("peer_connected", victimId.displayName())) << colleague.tail();
  const auto next = wait(victim, all, "invitation_shown", charlie);
  ASSERT_TRUE(next) << victim.tail();
  EXPECT_EQ(jsonField(*next, "identifier"), twin.raw.identity().identifierString().substr(0, 8));
  victim.send("decline");
  pump(all, 500ms);
  EXPECT_EQ(twin.declined(), peers::DeclineReason::Declined);

  // The guest asked now gives up; an answer typed at that moment was meant
  // for it and lands nowhere.
  const auto asked = wait(victim, all, "invitation_shown");
  ASSERT_TRUE(asked && waiting.size() == 4u) << victim.tail();
  const std::string leaving = jsonField(*asked, "peer").value_or("");
  ASSERT_TRUE(flood.count(leaving)) << *asked;
  flood[leaving]->raw.sendFrame(FrameType::Bye);
  const auto withdrawn = wait(victim, all, "invitation_result", leaving);
  ASSERT_TRUE(withdrawn) << victim.tail();
  EXPECT_EQ(jsonField(*withdrawn, "outcome"), "withdrawn");
  victim.send("accept");
  const auto refused = wait(victim, all, "error");
  ASSERT_TRUE(refused) << victim.tail();
  EXPECT_NE(refused->find("answer again"), std::string::npos) << *refused;
  // Out of turn, by name.
  const std::string later = waiting[0] == leaving ? waiting[1] : waiting[0];
  victim.send("decline " + later);
  ASSERT_TRUE(wait(victim, all, "invitation_answered", later)) << victim.tail();

  victim.send("talk 1");
  ASSERT_TRUE(colleague.wait("peer_talking", std::nullopt, "false")) << colleague.tail();
  pump(all, 300ms);
  for (auto* s : all) {
    EXPECT_EQ(s->count(FrameType::Accept) + s->count(FrameType::Data), 0)
        << "a stranger got in or heard the talk";
  }
  EXPECT_EQ(victim.process().quit(15s), 0);
  EXPECT_EQ(colleague.process().quit(15s), 0);
}

}  // namespace
}  // namespace qur
