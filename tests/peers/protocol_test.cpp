// Frame splitting, the hello and introduction codecs, display names.
#include "peers/protocol.h"
#include "peers/handshake.h"

#include <gtest/gtest.h>

#include <random>

#include "peers/peer_id.h"

namespace qur::peers {
namespace {

std::vector<std::uint8_t> bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(PeerFrames, SplitsFramesWhateverTheChunking) {
  std::vector<std::uint8_t> stream;
  std::vector<std::vector<std::uint8_t>> sent;
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<std::uint8_t> payload(random() % 300);
    for (auto& b : payload) b = static_cast<std::uint8_t>(random());
    sent.push_back(payload);
    auto frame = encodeFrame(FrameType::Data, payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (std::size_t chunk : {1u, 2u, 5u, 64u, 4096u}) {
    FrameParser parser;
    std::vector<std::vector<std::uint8_t>> got;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      parser.feed(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
      Frame frame;
      while (parser.next(&frame) == FrameParser::Status::Frame) {
        EXPECT_EQ(frame.type, FrameType::Data);
        got.push_back(frame.payload);
      }
    }
    EXPECT_EQ(got, sent) << "chunk " << chunk;
    EXPECT_EQ(parser.buffered(), 0u);
  }
}

TEST(PeerFrames, RejectsOversizedEmptyAndUnknownFrames) {
  {
    FrameParser parser(100);
    auto ok = encodeFrame(FrameType::Data, std::vector<std::uint8_t>(100));
    auto big = encodeFrame(FrameType::Data, std::vector<std::uint8_t>(101));
    parser.feed(ok);
    Frame frame;
    EXPECT_EQ(parser.next(&frame), FrameParser::Status::Frame);
    // Only the header of the oversized frame is needed to refuse it.
    parser.feed(std::span(big).first(4));
    EXPECT_EQ(parser.next(&frame), FrameParser::Status::Error);
    EXPECT_NE(parser.error().find("over the limit"), std::string::npos);
    parser.feed(ok);
    EXPECT_EQ(parser.next(&frame), FrameParser::Status::Error) << "stays failed";
  }
  {
    FrameParser parser;
    const std::uint8_t zero[] = {0, 0, 0, 0};
    parser.feed(zero);
    Frame frame;
    EXPECT_EQ(parser.next(&frame), FrameParser::Status::Error);
  }
  {
    FrameParser parser;
    const std::uint8_t unknown[] = {0, 0, 0, 1, 99};
    parser.feed(unknown);
    Frame frame;
    EXPECT_EQ(parser.next(&frame), FrameParser::Status::Error);
    // A length prefix of 0xFFFFFFFF must not wrap around.
    FrameParser huge;
    const std::uint8_t max[] = {0xFF, 0xFF, 0xFF, 0xFF, 7};
    huge.feed(max);
    EXPECT_EQ(huge.next(&frame), FrameParser::Status::Error);
  }
}

TEST(PeerHandshake, HelloRoundTripAndRefusals) {
  Hello hello;
  hello.identifier[0] = 0xAB;
  hello.identifier[15] = 0x01;
  hello.listenPort = 40001;
  hello.displayName = "Küchen-Laptop";
  HelloError error;
  auto decoded = decodeHello(encodeHello(hello), &error);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->identifier, hello.identifier);
  EXPECT_EQ(decoded->listenPort, 40001);
  EXPECT_EQ(decoded->displayName, hello.displayName);

  auto wrongVersion = encodeHello(hello);
  wrongVersion[5] = 1;  // a peer still speaking clear text
  EXPECT_FALSE(decodeHello(wrongVersion, &error));
  EXPECT_EQ(error, HelloError::WrongVersion);

  auto badMagic = encodeHello(hello);
  badMagic[0] = 'X';
  EXPECT_FALSE(decodeHello(badMagic, &error));
  EXPECT_EQ(error, HelloError::BadMagic);

  auto truncated = encodeHello(hello);
  truncated.pop_back();
  EXPECT_FALSE(decodeHello(truncated, &error));
  EXPECT_EQ(error, HelloError::Malformed);

  hello.displayName = std::string("evil\x1b[2Jname");
  EXPECT_FALSE(decodeHello(encodeHello(hello), &error));
  EXPECT_EQ(error, HelloError::BadName);
}

TEST(PeerHandshake, IntroductionRoundTripAndRefusals) {
  Introduction in;
  in.identifier.fill(3);
  in.address = {10, 213, 0, 2};
  in.port = 5000;
  in.displayName = "b";
  auto decoded = decodeIntroduction(encodeIntroduction(in));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->address, in.address);
  EXPECT_EQ(decoded->port, 5000);
  in.port = 0;
  EXPECT_FALSE(decodeIntroduction(encodeIntroduction(in)));
  EXPECT_FALSE(decodeIntroduction(bytes("short")));
  EXPECT_FALSE(decodeJoin(bytes("short")));
}

TEST(PeerHandshake, FramesAllowedOnlyInTheirPhase) {
  EXPECT_TRUE(frameAllowed(ConnectionPhase::AwaitingHello, FrameType::Hello, true));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::AwaitingHello, FrameType::Ping, true));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::AwaitingRequest, FrameType::Data, true));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::AwaitingRequest, FrameType::Accept, true));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::AwaitingAnswer, FrameType::Invite, false));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::AwaitingDecision, FrameType::Data, true));
  EXPECT_TRUE(frameAllowed(ConnectionPhase::Connected, FrameType::Data, false));
  EXPECT_FALSE(frameAllowed(ConnectionPhase::Connected, FrameType::Hello, false));
}

TEST(PeerDisplayName, ValidatesAndCleansNames) {
  EXPECT_TRUE(isValidDisplayName("laptop"));
  EXPECT_TRUE(isValidDisplayName(std::string(63, 'a')));
  EXPECT_FALSE(isValidDisplayName(std::string(64, 'a')));
  EXPECT_FALSE(isValidDisplayName(""));
  EXPECT_FALSE(isValidDisplayName("tab\there"));
  EXPECT_FALSE(isValidDisplayName("\xC3"));          // cut sequence
  EXPECT_FALSE(isValidDisplayName("\xC0\xAF"));      // overlong
  EXPECT_FALSE(isValidDisplayName("\xC2\x85"));      // C1 control
  EXPECT_FALSE(isValidDisplayName("\xED\xA0\x80"));  // surrogate

  // 31 two-byte characters are 62 bytes; a 32nd would pass 63.
  std::string umlauts;
  for (int i = 0; i < 40; ++i) umlauts += "ü";
  const auto cleaned = sanitizeDisplayName(umlauts);
  EXPECT_EQ(cleaned.size(), 62u);
  EXPECT_TRUE(isValidDisplayName(cleaned));
  EXPECT_EQ(sanitizeDisplayName("a\nb\x7f"), "ab");
  EXPECT_EQ(sanitizeDisplayName("\x01\x02"), "peer");
}

TEST(PeerDisplayName, IdentityIsTheIdentifierNotTheName) {
  const PeerID a("same");
  const PeerID b("same");
  EXPECT_NE(a, b);
  EXPECT_NE(std::hash<PeerID>{}(a), std::hash<PeerID>{}(b));
  auto copy = PeerID::fromWire("other name", a.identifier());
  ASSERT_TRUE(copy);
  EXPECT_EQ(*copy, a);
  EXPECT_EQ(std::hash<PeerID>{}(*copy), std::hash<PeerID>{}(a));
  EXPECT_FALSE(PeerID::fromWire("bad\x07", a.identifier()));
  EXPECT_TRUE(isValidDisplayName(PeerID().displayName())) << "host name default";
  EXPECT_EQ(identifierFromHex(a.identifierString()), a.identifier());
  EXPECT_FALSE(identifierFromHex("zz"));
}

TEST(PeerHandshake, StateMachineAdmitsDataOnlyAfterTheSessionsYes) {
  Identifier local{};
  local[0] = 1;
  Identifier remote{};
  remote[0] = 2;
  auto helloFrom = [](const Identifier& id) {
    Hello hello;
    hello.identifier = id;
    hello.displayName = "peer";
    return Frame{FrameType::Hello, encodeHello(hello)};
  };
  const Frame data{FrameType::Data, {1, 2, 3}};
  const Frame invite{FrameType::Invite, {}};
  using Step = Handshake::Step;

  // Incoming: hello, invite, the session's decision, then data.
  Handshake in(local, true);
  EXPECT_EQ(in.receive(helloFrom(remote)), Step::Hello);
  EXPECT_EQ(in.phase(), ConnectionPhase::AwaitingRequest);
  EXPECT_EQ(in.receive(invite), Step::Invite);
  EXPECT_EQ(in.phase(), ConnectionPhase::AwaitingDecision);
  Handshake early = in;
  EXPECT_EQ(early.receive(data), Step::Close);  // data before the user said yes
  EXPECT_EQ(early.reason(), "unexpected data before acceptance");
  EXPECT_EQ(early.receive(data), Step::Close);  // and it stays closed
  in.connected();
  EXPECT_EQ(in.receive(data), Step::Data);
  EXPECT_EQ(in.receive(Frame{FrameType::Join, std::vector<std::uint8_t>(16)}), Step::Close);

  // Outgoing: the dialled peer must be the one discovery named, and not us.
  Handshake wrong(local, false);
  wrong.expect(local);
  EXPECT_EQ(wrong.receive(helloFrom(remote)), Step::Close);
  EXPECT_EQ(wrong.reason(), "a different peer answered");
  Handshake self(local, false);
  EXPECT_EQ(self.receive(helloFrom(local)), Step::Close);
  Handshake out(local, false);
  out.expect(remote);
  EXPECT_EQ(out.receive(helloFrom(remote)), Step::Hello);
  EXPECT_EQ(out.receive(Frame{FrameType::Accept, {}}), Step::Close);  // nothing was asked yet
  Handshake asked(local, false);
  asked.receive(helloFrom(remote));
  asked.requestSent();
  EXPECT_EQ(asked.receive(Frame{FrameType::Decline, encodeDecline(DeclineReason::Busy)}),
            Step::Declined);
  EXPECT_EQ(asked.declineReason(), DeclineReason::Busy);
  EXPECT_TRUE(asked.closed());

  // A join carries a 16-byte voucher; anything else closes.
  Handshake joiner(local, true);
  joiner.receive(helloFrom(remote));
  EXPECT_EQ(joiner.receive(Frame{FrameType::Join, {1, 2}}), Step::Close);
  EXPECT_EQ(joiner.reason(), "malformed join");
  // An old peer's empty Decline, or an unknown reason, reads as a plain no.
  EXPECT_EQ(decodeDecline({}), DeclineReason::Declined);
  EXPECT_EQ(decodeDecline(std::vector<std::uint8_t>{200}), DeclineReason::Declined);
}

}  // namespace
}  // namespace qur::peers
