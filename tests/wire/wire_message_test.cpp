// Wire message layout, the sink and source around it, and agreement with
// Google's protoc reading the same wire.proto.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/wire_test_support.h"
#include "wire/playthrough_message_sink.h"
#include "wire/wire_message_stream.h"

namespace qur {
namespace {

using testing::Bytes;
using testing::LogCapture;
using testing::RecordingSink;
using testing::RecordingWireDelegate;

OpusPacketPtr packetWith(std::uint32_t frameCount, std::uint32_t timestamp,
                         std::uint32_t sessionNumber, std::uint32_t packetNumber,
                         const Bytes& data) {
  OpusPacketPtr packet = makeOpusPacket(static_cast<std::uint32_t>(data.size()));
  packet->frameCount = frameCount;
  packet->timestamp = timestamp;
  packet->sessionNumber = sessionNumber;
  packet->packetNumber = packetNumber;
  packet->dataLength = static_cast<std::uint32_t>(data.size());
  std::copy(data.begin(), data.end(), packet->data);
  return packet;
}

Bytes patternBytes(std::size_t n, std::uint8_t seed = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

// Everything a sink wrote, encoded by our wire message sink.
struct Encoder {
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  WireMessageStreamSink wire{sink};

  Bytes status(int status) {
    wire.sendStreamStatus(status);
    return sink->messages.empty() ? Bytes{} : sink->messages.back();
  }
  Bytes audio(const OpusPacket* packet) {
    EXPECT_TRUE(wire.sendOpusPayload(packet));
    return sink->messages.back();
  }
};

// A wire message source with a delegate that records what it heard.
struct Decoder {
  std::shared_ptr<RecordingWireDelegate> delegate = std::make_shared<RecordingWireDelegate>();
  WireMessageStreamSource source;
  Decoder() { source.setDelegate(delegate); }
  void feed(const Bytes& bytes) { source.gotMessage(ByteMessage(bytes.data(), bytes.size())); }
};

// ---- protoc --------------------------------------------------------------

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/qur_wire_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    path = name;
  }
  ~TempFile() { std::remove(path.c_str()); }
  void write(const std::string& contents) const {
    std::ofstream(path, std::ios::binary) << contents;
  }
  std::string read() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path;
};

// Runs protoc --encode or --decode on the input; the exit status must be 0.
std::string protoc(const std::string& mode, const std::string& input) {
  TempFile in, out;
  in.write(input);
  const std::string command = std::string(QUR_PROTOC) + " -I" + QUR_WIRE_PROTO_DIR + " --" + mode +
                              "=QURWireMessage wire.proto < " + in.path + " > " + out.path;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return out.read();
}

std::string asString(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
Bytes asBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// ---- Layout ----------------------------------------------------------------

TEST(WireMessageFormat, StatusMessagesHaveTheirExactBytes) {
  Encoder e;
  EXPECT_EQ(e.status(1), (Bytes{0x12, 0x02, 0x08, 0x01}));
  EXPECT_EQ(e.status(0), (Bytes{0x12, 0x02, 0x08, 0x00}));

  // Anything but stopped and started is never put on the wire.
  for (const int bad : {2, -1, 7, 1 << 20}) {
    EXPECT_FALSE(e.wire.sendStreamStatus(bad)) << bad;
  }
  EXPECT_EQ(e.sink->messages.size(), 2u);
}

TEST(WireMessageFormat, AudioWritesEveryNumberEvenWhenZeroAndAnEmptyPayload) {
  Encoder e;
  const auto packet = packetWith(0, 0, 0, 0, {});
  EXPECT_EQ(e.audio(packet.get()),
            (Bytes{0x0A, 0x0A, 0x08, 0x00, 0x10, 0x00, 0x18, 0x00, 0x20, 0x00, 0x7A, 0x00}));
}

TEST(WireMessageFormat, LargeNumbersAndLongPayloadsUseMultiByteVarints) {
  Encoder e;
  const Bytes data = patternBytes(128);
  const auto packet = packetWith(2880, 300, 1, 0xFFFFFFFF, data);
  const Bytes encoded = e.audio(packet.get());
  // Sub-message: 3 + 3 + 2 + 6 + (1 + 2 + 128) = 145 bytes, a two-byte length.
  const Bytes head{0x0A, 0x91, 0x01, 0x08, 0xC0, 0x16, 0x10, 0xAC, 0x02, 0x18,
                   0x01, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x7A, 0x80, 0x01};
  ASSERT_EQ(encoded.size(), head.size() + data.size());
  EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + head.size()), head);
  EXPECT_EQ(Bytes(encoded.begin() + head.size(), encoded.end()), data);
}

TEST(WireMessageFormat, MessagesBeyondTheEncodeBufferAreNotSent) {
  LogCapture log(LogFlagError);
  Encoder e;
  const auto fits = packetWith(1, 2, 3, 4, patternBytes(kWireMessageBufferSize - 32));
  EXPECT_TRUE(e.wire.sendOpusPayload(fits.get()));
  const auto tooLong = packetWith(1, 2, 3, 4, patternBytes(kWireMessageBufferSize));
  EXPECT_FALSE(e.wire.sendOpusPayload(tooLong.get()));
  EXPECT_EQ(e.sink->messages.size(), 1u);
  EXPECT_EQ(log.messages().size(), 1u);

  // The failure leaves the sink usable.
  EXPECT_EQ(e.status(1), (Bytes{0x12, 0x02, 0x08, 0x01}));
}

TEST(WireMessageFormat, GoogleProtocReadsWhatWeWrite) {
  Encoder e;
  EXPECT_EQ(protoc("decode", asString(e.status(1))),
            "streamControl {\n  status: QURStreamStatusStarted\n}\n");
  EXPECT_EQ(protoc("decode", asString(e.status(0))),
            "streamControl {\n  status: QURStreamStatusStopped\n}\n");

  const auto printable = packetWith(2880, 60, 3, 7, asBytes("opus!"));
  EXPECT_EQ(protoc("decode", asString(e.audio(printable.get()))),
            "opusPayload {\n  frameCount: 2880\n  timestamp: 60\n  sessionNumber: 3\n"
            "  packetNumber: 7\n  payload: \"opus!\"\n}\n");

  // Binary payloads: protoc's reading, written back by protoc, must be our bytes.
  for (const std::size_t n : {0u, 1u, 127u, 128u, 614u, 20000u}) {
    const auto packet = packetWith(960u * static_cast<std::uint32_t>(n % 4), 1234567,
                                   static_cast<std::uint32_t>(n), 99, patternBytes(n, 200));
    const Bytes ours = e.audio(packet.get());
    EXPECT_EQ(asBytes(protoc("encode", protoc("decode", asString(ours)))), ours) << n;
  }
}

TEST(WireMessageFormat, WeReadWhatGoogleProtocWrites) {
  Decoder d;
  d.feed(asBytes(protoc("encode", "streamControl { status: QURStreamStatusStarted }")));
  d.feed(asBytes(protoc("encode",
                        "opusPayload { frameCount: 2880 timestamp: 4000000000 sessionNumber: 5 "
                        "packetNumber: 300 payload: \"\\000\\001\\377ab\" }")));
  // Codec parameters travel but are never acted on.
  d.feed(asBytes(protoc("encode", "opusParams { sampleRate: 48000 frameDuration: 0.06 }")));
  d.feed(asBytes(protoc("encode", "streamControl { status: QURStreamStatusStopped }")));

  EXPECT_EQ(d.delegate->events, (std::vector<std::string>{"status 1", "packet", "status 0"}));
  ASSERT_EQ(d.delegate->packets.size(), 1u);
  const auto& p = d.delegate->packets[0];
  EXPECT_EQ(p.frameCount, 2880u);
  EXPECT_EQ(p.timestamp, 4000000000u);
  EXPECT_EQ(p.sessionNumber, 5u);
  EXPECT_EQ(p.packetNumber, 300u);
  EXPECT_EQ(p.data, (Bytes{0x00, 0x01, 0xFF, 'a', 'b'}));
}

// ---- Source ----------------------------------------------------------------

TEST(WireMessageStreamSource, TransmissionRoundTripsThroughTheLoopback) {
  auto loopback = std::make_shared<PlaythroughMessageSink>();
  WireMessageStreamSink sink(loopback);
  auto source = std::make_shared<WireMessageStreamSource>();
  auto delegate = std::make_shared<RecordingWireDelegate>();
  source->setDelegate(delegate);
  loopback->setDelegate(source);

  EXPECT_TRUE(sink.sendStreamStatus(1));
  const std::vector<std::size_t> sizes{614, 0, 1, 127, 128, 16384};
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto p = packetWith(2880, static_cast<std::uint32_t>(60 * i), 9,
                              static_cast<std::uint32_t>(i), patternBytes(sizes[i], 1 + i));
    EXPECT_TRUE(sink.sendOpusPayload(p.get()));
  }
  EXPECT_TRUE(sink.sendStreamStatus(0));

  std::vector<std::string> expected{"status 1"};
  expected.insert(expected.end(), sizes.size(), "packet");
  expected.push_back("status 0");
  EXPECT_EQ(delegate->events, expected);
  ASSERT_EQ(delegate->packets.size(), sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto& p = delegate->packets[i];
    EXPECT_EQ(p.kind, OpusPacketKind::Audio);
    EXPECT_EQ(p.audioBufferList, nullptr);
    EXPECT_EQ(p.frameCount, 2880u);
    EXPECT_EQ(p.timestamp, 60 * i);
    EXPECT_EQ(p.sessionNumber, 9u);
    EXPECT_EQ(p.packetNumber, i);
    EXPECT_EQ(p.data, patternBytes(sizes[i], 1 + i)) << i;
  }
}

TEST(WireMessageStreamSource, EachMessageStartsFromAnEmptyPacket) {
  Decoder d;
  Encoder e;
  const auto full = packetWith(2880, 60, 3, 7, patternBytes(50));
  d.feed(e.audio(full.get()));
  // A payload sub-message with no numbers and no data field, then one with
  // only a payload: absent fields read as zero, never as the previous values.
  d.feed({0x0A, 0x00});
  d.feed({0x0A, 0x04, 0x7A, 0x02, 0xAB, 0xCD});
  ASSERT_EQ(d.delegate->packets.size(), 3u);
  for (int i = 1; i < 3; ++i) {
    const auto& p = d.delegate->packets[i];
    EXPECT_EQ(p.frameCount, 0u);
    EXPECT_EQ(p.timestamp, 0u);
    EXPECT_EQ(p.sessionNumber, 0u);
    EXPECT_EQ(p.packetNumber, 0u);
  }
  EXPECT_TRUE(d.delegate->packets[1].data.empty());
  EXPECT_EQ(d.delegate->packets[2].data, (Bytes{0xAB, 0xCD}));
}

TEST(WireMessageStreamSource, DispatchFollowsWhatIsPresent) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases{
      {"unknown top-level field is skipped", {0x20, 0x05, 0x12, 0x02, 0x08, 0x01}, {"status 1"}},
      {"unknown fields of every wire type",
       {0x12, 0x12, 0x08, 0x01, 0x10, 0x05, 0x19, 1, 2, 3, 4, 5, 6, 7, 8, 0x25, 1, 2, 3, 4},
       {"status 1"}},
      {"codec parameters alone are ignored", {0x1A, 0x03, 0x08, 0x80, 0x77}, {}},
      {"payload and control together are audio",
       {0x12, 0x02, 0x08, 0x01, 0x0A, 0x02, 0x08, 0x05},
       {"packet"}},
      {"control without a status reads as stopped", {0x12, 0x00}, {"status 0"}},
      {"an empty message says nothing", {}, {}},
  };
  for (const auto& c : cases) {
    LogCapture log(LogFlagError);
    Decoder d;
    d.feed(c.bytes);
    EXPECT_EQ(d.delegate->events, c.events) << c.name;
    EXPECT_TRUE(log.messages().empty()) << c.name;
  }
}

TEST(WireMessageStreamSource, BadInputIsLoggedOnceAndDropped) {
  Bytes oversized{0x0A, 0x89, 0xA0, 0x06, 0x7A, 0x85, 0xA0, 0x06};  // payload of 102405 bytes
  oversized.resize(oversized.size() + 102405, 0x55);
  Bytes truncatedAudio;
  {
    Encoder e;
    const auto p = packetWith(2880, 1, 2, 3, patternBytes(100));
    truncatedAudio = e.audio(p.get());
    truncatedAudio.resize(truncatedAudio.size() - 1);
  }
  const std::vector<std::pair<const char*, Bytes>> cases{
      {"unknown status value", {0x12, 0x02, 0x08, 0x07}},
      {"status beyond 32 bits",
       {0x12, 0x0B, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
      {"payload beyond the receive packet", oversized},
      {"truncated audio message", truncatedAudio},
      {"sub-message longer than the message", {0x0A, 0x10, 0x08, 0x01}},
      {"string length beyond the sub-message", {0x0A, 0x03, 0x7A, 0x05, 0x00}},
      {"varint that never ends", Bytes(12, 0xFF)},
      {"field number zero", {0x00, 0x00}},
      {"end-group wire type", {0x0C}},
      {"status sent with a fixed-width wire type", {0x12, 0x05, 0x0D, 1, 0, 0, 0}},
  };
  for (const auto& [name, bytes] : cases) {
    // A malformed message is an error of the file it came from; a status a
    // peer may send (one it does not know) is a warning.
    LogCapture log(LogFlagError | LogFlagWarning);
    Decoder d;
    d.feed(bytes);
    EXPECT_TRUE(d.delegate->events.empty()) << name;
    EXPECT_EQ(log.messages().size(), 1u) << name;
    // The source is not left in a bad state.
    d.feed({0x12, 0x02, 0x08, 0x01});
    EXPECT_EQ(d.delegate->events, (std::vector<std::string>{"status 1"})) << name;
  }
}

TEST(WireMessageStreamSource, PayloadUpToTheReceiveCapacityIsDelivered) {
  // No sender of ours writes this much, but the receiving limit is the packet's.
  Bytes message{0x0A, 0x84, 0xA0, 0x06, 0x7A, 0x80, 0xA0, 0x06};  // 102400 bytes of data
  const Bytes data = patternBytes(kWireMessageReceiveCapacity, 3);
  message.insert(message.end(), data.begin(), data.end());
  Decoder d;
  d.feed(message);
  ASSERT_EQ(d.delegate->packets.size(), 1u);
  EXPECT_EQ(d.delegate->packets[0].data, data);
}

TEST(WireMessageStreamSource, VanishedDelegateReceivesNothing) {
  WireMessageStreamSource source;
  {
    auto delegate = std::make_shared<RecordingWireDelegate>();
    source.setDelegate(delegate);
  }
  const Bytes started{0x12, 0x02, 0x08, 0x01};
  const Bytes audio{0x0A, 0x02, 0x08, 0x05};
  source.gotMessage(started);
  source.gotMessage(audio);
  EXPECT_EQ(source.delegate(), nullptr);
}

TEST(WireMessageStreamSource, StatusSignalFollowsTheDelegateAndEndsWithTheSource) {
  auto d = std::make_unique<Decoder>();
  std::vector<int> early;
  bool completed = false;
  d->source.statusSignal().subscribeNext(
      [&](const int& status) {
        early.push_back(status);
        d->delegate->events.push_back("signal " + std::to_string(status));
      },
      [&] { completed = true; });
  d->feed({0x12, 0x02, 0x08, 0x01});
  d->feed({0x12, 0x02, 0x08, 0x07});  // unknown: neither told nor signalled
  d->feed({0x0A, 0x02, 0x08, 0x05});  // audio: no status

  // A late subscriber sees only what comes after it.
  std::vector<int> late;
  d->source.statusSignal().subscribeNext([&](const int& status) { late.push_back(status); });
  d->feed({0x12, 0x02, 0x08, 0x00});

  EXPECT_EQ(d->delegate->events,
            (std::vector<std::string>{"status 1", "signal 1", "packet", "status 0", "signal 0"}));
  EXPECT_EQ(early, (std::vector<int>{1, 0}));
  EXPECT_EQ(late, (std::vector<int>{0}));
  EXPECT_FALSE(completed);
  d.reset();
  EXPECT_TRUE(completed);
}

TEST(WireMessageStreamSource, StatusSignalWorksWithoutADelegate) {
  WireMessageStreamSource source;
  std::vector<int> statuses;
  source.statusSignal().subscribeNext([&](const int& s) { statuses.push_back(s); });
  const Bytes started{0x12, 0x02, 0x08, 0x01};
  const Bytes stopped{0x12, 0x02, 0x08, 0x00};
  source.gotMessage(started);
  source.gotMessage(stopped);
  EXPECT_EQ(statuses, (std::vector<int>{1, 0}));
}

TEST(PlaythroughMessageSink, HandsTheSameBytesOverSynchronouslyOrDropsThem) {
  auto loopback = std::make_shared<PlaythroughMessageSink>();
  const Bytes message{1, 2, 3};
  EXPECT_FALSE(loopback->writeMessage(message));  // nobody listening

  auto delegate = std::make_shared<testing::RecordingMessageDelegate>();
  loopback->setDelegate(delegate);
  EXPECT_TRUE(loopback->writeMessage(message));
  EXPECT_EQ(delegate->taken(), std::vector<Bytes>{message});

  delegate.reset();
  EXPECT_FALSE(loopback->writeMessage(message));
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// The listener's report on a talker's stream: written for protoc to read,
// read from protoc, and dropped (with one line per 10 s) when it claims a
// loss above everything.
TEST(WireReceiverReport, TravelsBothWaysAndOutOfRangeOnesAreDropped) {
  auto sink = std::make_shared<RecordingSink>();
  WireMessageStreamSink wire(sink);
  ASSERT_TRUE(wire.sendReceiverReport({25, 3, 7, 19, 40, 1000}));
  EXPECT_EQ(protoc("decode", asString(sink->messages.back())),
            "receiverReport {\n  lossPermille: 25\n  latePackets: 3\n  jitterMeanMs: 7\n"
            "  jitterP95Ms: 19\n  targetDelayMs: 40\n  intervalMs: 1000\n}\n");

  Decoder d;
  std::vector<ReceiverReport> heard;
  d.source.receiverReportSignal().subscribeNext(
      [&](const ReceiverReport& r) { heard.push_back(r); });
  struct Case {
    const char* name;
    std::string text;
    bool delivered;
  };
  const std::vector<Case> cases{
      {"all figures",
       "receiverReport { lossPermille: 1000 latePackets: 4000000000 jitterMeanMs: 1 "
       "jitterP95Ms: 2 targetDelayMs: 400 intervalMs: 999 }",
       true},
      {"absent figures read as 0", "receiverReport { }", true},
      {"a loss above all packets", "receiverReport { lossPermille: 1001 }", false},
      {"another one soon after", "receiverReport { lossPermille: 4000000000 }", false},
  };
  LogCapture log(LogFlagWarning);
  for (const auto& c : cases) {
    const std::size_t before = heard.size();
    d.feed(asBytes(protoc("encode", c.text)));
    EXPECT_EQ(heard.size(), before + (c.delivered ? 1 : 0)) << c.name;
  }
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0], (ReceiverReport{1000, 4000000000u, 1, 2, 400, 999}));
  EXPECT_EQ(heard[1], ReceiverReport{});
  EXPECT_EQ(log.count("Ignoring receiver report"), 1) << "one line for a burst of bad reports";
  EXPECT_TRUE(d.delegate->events.empty()) << "a report is neither audio nor a status";
}

}  // namespace
}  // namespace qur
