// The controller over real parts: virtual audio devices in real time, real
// peer sessions connected over loopback TCP, the generated sounds.
#include "app/walkie_talkie_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/opus_stream_receiver.h"
#include "app/recording_analysis.h"
#include "app/walkie_talkie_peer.h"
#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/audio_file_player.h"
#include "audio/engine/virtual_device.h"
#include "audio/media_reader.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "audio/sound_resources.h"
#include "peers/message_sink.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "signals/signal_operators.h"
#include "support/test_main.h"
#include "wire/wire_message.h"
#include "wire/wire_message_stream.h"

namespace qur {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kMemoryFrames = 44100 * 30;

struct Device {
  std::shared_ptr<AudioEngine> engine;
  VirtualDevice* device = nullptr;
  std::shared_ptr<WalkieTalkieController> controller;

  std::shared_ptr<PeerSession> session() const {
    return controller->multipeerController()->session();
  }
  void acceptInvitations() const { session()->setInvitationHandler(acceptAllInvitations()); }
  std::size_t peerCount() const { return controller->connectedPeers()->size(); }
  std::shared_ptr<WalkieTalkiePeer> peer(const Device& other) const {
    const auto table = controller->connectedPeers();
    const auto it = table->find(other.session()->myPeerID());
    return it == table->end() ? nullptr : it->second;
  }
  bool hasChannel(const std::shared_ptr<AudioPlayable>& channel) const {
    for (const auto& c : engine->channels())
      if (c == channel) return true;
    return false;
  }
};

Device makeDevice(const std::string& name, double toneHz = 440.0) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::RealTime;
  options.input = VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = toneHz;
  options.toneAmplitude = 0.3;
  options.output = VirtualDeviceOptions::Output::Memory;
  options.memoryCapacityFrames = kMemoryFrames;
  auto device = std::make_unique<VirtualDevice>(options);
  Device result;
  result.device = device.get();
  result.engine = std::make_shared<AudioEngine>(
      AudioEngine::interleaved16BitStereoAudioDescription(), true, false, std::move(device));
  result.controller = WalkieTalkieController::create(result.engine, name);
  EXPECT_TRUE(result.controller);
  EXPECT_TRUE(result.engine->start());
  return result;
}

bool spinUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s) {
  return testing::mainLoop().runUntil(predicate, timeout) || predicate();
}

// from invites to, which accepts; both controllers then hold each other.
void connect(const Device& from, const Device& to) {
  to.acceptInvitations();
  from.session()->invitePeer({"127.0.0.1", to.session()->port()}, to.session()->myPeerID());
  ASSERT_TRUE(spinUntil([&] { return from.peer(to) && to.peer(from); }))
      << "the two sessions never connected";
}

AnalysisSignal spokenBy(const Device& device) {
  const auto samples = device.device->capturedOutput();
  return analysisSignalFromInt16(samples.data(), samples.size() / 2, 2, 44100.0);
}

// Collects every value a signal sends, from any thread.
template <class T>
struct Recorder {
  std::mutex mutex;
  std::vector<T> values;
  DisposablePtr subscription;
  explicit Recorder(const Signal<T>& signal) {
    subscription = signal.subscribeNext([this](const T& value) {
      std::lock_guard lock(mutex);
      values.push_back(value);
    });
  }
  ~Recorder() {
    if (subscription) subscription->dispose();
  }
  std::vector<T> get() {
    std::lock_guard lock(mutex);
    return values;
  }
  std::size_t size() { return get().size(); }
};

// Holds a serial queue busy until released, so a test can look at the state
// between a call and the callbacks it causes.
class QueueGate {
 public:
  explicit QueueGate(SerialQueue& queue) {
    // The state outlives the gate: the blocked operation wakes after open().
    queue.addOperation([state = _state] {
      std::unique_lock lock(state->mutex);
      state->cv.wait(lock, [&] { return state->open; });
    });
  }
  ~QueueGate() { open(); }
  void open() {
    std::lock_guard lock(_state->mutex);
    _state->open = true;
    _state->cv.notify_all();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
  };
  std::shared_ptr<State> _state = std::make_shared<State>();
};

TEST(WalkieTalkieController, RefusesToTransmitWhileNoPeerIsConnected) {
  Device a = makeDevice("alpha");
  Recorder<bool> transmitting(a.controller->transmittingValues());
  a.controller->startTransmission();
  EXPECT_FALSE(a.controller->isTransmitting());
  EXPECT_FALSE(a.controller->opusEncoder()->isEncoding());
  // Not even the start beep went into the mix.
  EXPECT_TRUE(a.engine->channels().empty());
  a.controller->setTransmitting(true);
  a.controller->endTransmission();
  EXPECT_FALSE(a.controller->opusEncoder()->isEncoding());
  for (bool value : transmitting.get()) EXPECT_FALSE(value);
}

TEST(WalkieTalkieController, ConnectedPeerGetsAChannelATableEntryAndOnePublication) {
  Device a = makeDevice("alpha");
  Device b = makeDevice("bravo");
  Recorder<WalkieTalkieController::PeerTableSnapshot> tables(a.controller->connectedPeersSignal());
  Recorder<std::size_t> counts(a.controller->connectedPeersCountSignal());
  // The current (empty) table arrives at once.
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_TRUE(tables.get()[0]->empty());
  EXPECT_EQ(counts.get(), std::vector<std::size_t>{0});

  connect(a, b);
  ASSERT_TRUE(spinUntil([&] { return a.controller->isConnected(); }));
  auto peer = a.peer(b);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->peerID().displayName(), "bravo");
  EXPECT_TRUE(a.hasChannel(peer->decoder()));
  const auto published = tables.get();
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[1]->size(), 1u);
  EXPECT_EQ(counts.get(), (std::vector<std::size_t>{0, 1}));
  // A subscriber arriving now sees the table with the peer first.
  Recorder<std::size_t> late(a.controller->connectedPeersCountSignal());
  EXPECT_EQ(late.get(), std::vector<std::size_t>{1});
}

TEST(WalkieTalkieController, TransmissionReachesThePeerWithStatusesAndSessionSounds) {
  Device a = makeDevice("alpha", 500);
  Device b = makeDevice("bravo");
  connect(a, b);
  ASSERT_TRUE(
      spinUntil([&] { return a.controller->isConnected() && b.controller->isConnected(); }));
  auto alphaAtB = b.peer(a);
  ASSERT_TRUE(alphaAtB);
  Recorder<bool> talking(alphaAtB->transmitting());

  a.controller->startTransmission();
  EXPECT_TRUE(a.controller->isTransmitting());
  EXPECT_TRUE(a.controller->opusEncoder()->isEncoding());
  ASSERT_TRUE(spinUntil([&] { return talking.size() >= 1; }));
  testing::mainLoop().runFor(1200ms);
  a.controller->endTransmission();
  EXPECT_FALSE(a.controller->opusEncoder()->isEncoding());
  ASSERT_TRUE(spinUntil([&] { return alphaAtB->decoder()->sessionEndsPlayed() >= 1; }));
  EXPECT_EQ(talking.get(), (std::vector<bool>{true, false}));
  // About 1.2 s of 60 ms packets arrived.
  EXPECT_GE(alphaAtB->streamReceiver()->audioPacketsReceived(), 15u);

  // What B played: the start sound, the tone, the end sound.
  testing::mainLoop().runFor(300ms);
  auto beep = loadAnalysisSignal(soundResourcePath("beep"));
  ASSERT_TRUE(beep);
  const HeardReport report = analyseTransmission(spokenBy(b), *beep);
  EXPECT_TRUE(report.inOrder());
  EXPECT_NEAR(report.voiceLength(), 1.2, 0.35);
}

// The listener reports on the talker's stream about once a second; what a
// peer reports on our voice sets the encoder's redundancy, the worst peer
// counting, coming down by halves, and forgotten when the peer leaves.
TEST(WalkieTalkieController, ReceiverReportsGoBackToTheTalkerAndSetItsRedundancy) {
  Device a = makeDevice("alpha-reports", 500);
  Device b = makeDevice("bravo-reports");
  connect(a, b);
  auto alphaAtB = b.peer(a);
  auto bravoAtA = a.peer(b);
  ASSERT_TRUE(alphaAtB && bravoAtA);
  Recorder<ReceiverReport> atAlpha(bravoAtA->receiverReports());
  a.controller->startTransmission();
  testing::mainLoop().runFor(1300ms);
  a.controller->endTransmission();
  ASSERT_TRUE(spinUntil([&] { return atAlpha.size() >= 3; })) << "first, a second on, the end";
  for (const auto& r : atAlpha.get()) EXPECT_EQ(r.lossPermille, 0u) << "loopback loses nothing";
  EXPECT_EQ(a.controller->opusEncoder()->expectedLossPercent(), 0);
  EXPECT_EQ(a.controller->opusEncoder()->framesPerPacket(), 960u) << "20 ms between our devices";

  // Bravo's next reports, as its receiver would send them over a bad link.
  auto report = [&](std::uint32_t lossPermille) {
    QURWireMessage message;
    wireMessageMakeReceiverReport(&message, {lossPermille, 0, 5, 20, 40, 1000});
    std::uint8_t bytes[64];
    const auto length = wireMessageEncode(&message, bytes, sizeof bytes);
    const std::size_t before = atAlpha.size();
    PeerError error;
    ASSERT_TRUE(b.session()->sendData(std::span<const std::uint8_t>(bytes, std::size_t(length)),
                                      {a.session()->myPeerID()}, SessionSendDataMode::Reliable,
                                      &error));
    ASSERT_TRUE(spinUntil([&] { return atAlpha.size() > before; }));
  };
  const std::vector<std::pair<std::uint32_t, int>> steps{{40, 4}, {0, 2}, {0, 1}, {120, 12}};
  for (const auto& [loss, percent] : steps) {
    report(loss);
    EXPECT_EQ(a.controller->opusEncoder()->expectedLossPercent(), percent) << "after " << loss;
    EXPECT_EQ(a.controller->opusEncoder()->bitrate(), percent > 5 ? 24000 : 20000);
  }
  b.controller->disconnect();
  ASSERT_TRUE(spinUntil([&] { return !a.controller->isConnected(); }));
  EXPECT_EQ(a.controller->opusEncoder()->expectedLossPercent(), 0) << "nobody left to lose it";
  EXPECT_EQ(a.controller->reportedLoss(), 0.0);
}

// A third device joins after the first has talked twice: the sender's
// session numbers are ahead of anything the newcomer counted, and it must
// still hear start sound, voice and end sound, while the old peer goes on
// hearing every transmission.
TEST(WalkieTalkieController, DeviceJoiningAfterTwoTransmissionsHearsTheThird) {
  Device a = makeDevice("alpha-late-join", 500);
  Device b = makeDevice("bravo-late-join");
  connect(a, b);
  auto alphaAtB = b.peer(a);
  ASSERT_TRUE(alphaAtB);
  for (std::uint64_t t = 1; t <= 2; ++t) {
    a.controller->startTransmission();
    testing::mainLoop().runFor(500ms);
    a.controller->endTransmission();
    ASSERT_TRUE(spinUntil([&] { return alphaAtB->decoder()->sessionEndsPlayed() >= t; }));
  }

  Device c = makeDevice("charlie-late-join");
  connect(a, c);
  auto alphaAtC = c.peer(a);
  ASSERT_TRUE(alphaAtC);
  a.controller->startTransmission();
  testing::mainLoop().runFor(1200ms);
  a.controller->endTransmission();
  EXPECT_TRUE(spinUntil([&] { return alphaAtC->decoder()->sessionEndsPlayed() >= 1; }))
      << "the newcomer never played the end of the transmission";
  EXPECT_TRUE(spinUntil([&] { return alphaAtB->decoder()->sessionEndsPlayed() >= 3; }));
  EXPECT_EQ(alphaAtC->streamReceiver()->packetsInBuffer(), 0)
      << "records left waiting for a next transmission";

  testing::mainLoop().runFor(300ms);
  auto beep = loadAnalysisSignal(soundResourcePath("beep"));
  ASSERT_TRUE(beep);
  const HeardReport heard = analyseTransmission(spokenBy(c), *beep);
  EXPECT_TRUE(heard.inOrder()) << "start sound, voice, end sound";
  EXPECT_NEAR(heard.voiceLength(), 1.2, 0.35);

  // The newcomer leaves again: its entry goes from the sender's message
  // source while the other peer's stays.
  EXPECT_EQ(a.controller->messageSource()->peerDelegateCount(), 2u);
  c.controller->multipeerController()->disconnect();
  ASSERT_TRUE(spinUntil([&] { return a.peerCount() == 1; }));
  EXPECT_EQ(a.controller->messageSource()->peerDelegateCount(), 1u);
  EXPECT_TRUE(a.peer(b));
}

TEST(WalkieTalkieController, LastPeerLeavingRenewsTheSessionStopsEncodingAndHangsUpOnce) {
  Device a = makeDevice("alpha");
  Device b = makeDevice("bravo");
  connect(a, b);
  ASSERT_TRUE(spinUntil([&] { return a.controller->isConnected(); }));
  const auto decoder = a.peer(b)->decoder();
  const auto oldSession = a.session();
  Recorder<bool> connected(a.controller->connectedValues());
  a.controller->startTransmission();
  ASSERT_TRUE(a.controller->opusEncoder()->isEncoding());

  b.controller->multipeerController()->disconnect();
  ASSERT_TRUE(spinUntil([&] { return !a.controller->isConnected(); }));
  EXPECT_EQ(a.peerCount(), 0u);
  EXPECT_FALSE(a.hasChannel(decoder));
  EXPECT_EQ(a.controller->messageSource()->peerDelegateCount(), 0u);
  EXPECT_NE(a.session(), oldSession);
  // The reset stopped the encoder; the flag waits for the next request.
  EXPECT_FALSE(a.controller->opusEncoder()->isEncoding());
  EXPECT_TRUE(a.controller->isTransmitting());
  a.controller->endTransmission();
  EXPECT_FALSE(a.controller->isTransmitting());

  testing::mainLoop().runFor(2500ms);
  auto hangup = loadAnalysisSignal(soundResourcePath("hangup"));
  ASSERT_TRUE(hangup);
  EXPECT_EQ(findSound(spokenBy(a), *hangup, 0.7).size(), 1u);
  const auto values = connected.get();
  ASSERT_FALSE(values.empty());
  EXPECT_FALSE(values.back());

  // The renewed session takes a new invitation, and audio flows again.
  Device c = makeDevice("charlie");
  connect(c, a);
  ASSERT_TRUE(spinUntil([&] { return a.controller->isConnected(); }));
  auto alphaAtC = c.peer(a);
  ASSERT_TRUE(alphaAtC);
  a.controller->startTransmission();
  testing::mainLoop().runFor(600ms);
  a.controller->endTransmission();
  ASSERT_TRUE(spinUntil([&] { return alphaAtC->streamReceiver()->transmissionsStopped() == 1; }));
  EXPECT_GE(alphaAtC->streamReceiver()->audioPacketsReceived(), 5u);
}

TEST(WalkieTalkieController, DisconnectDropsEveryPeerAndPublishesTheEmptyTableOnce) {
  Device a = makeDevice("alpha");
  Device b = makeDevice("bravo");
  Device c = makeDevice("charlie");
  connect(a, b);
  connect(a, c);
  ASSERT_TRUE(spinUntil([&] { return a.peerCount() == 2 && a.controller->isConnected(); }));
  const auto decoderB = a.peer(b)->decoder();
  const auto decoderC = a.peer(c)->decoder();
  Recorder<WalkieTalkieController::PeerTableSnapshot> tables(a.controller->connectedPeersSignal());
  const auto before = a.controller->connectedPeers();

  {
    QueueGate gate(a.controller->multipeerController()->sessionDelegates()->operationQueue());
    a.controller->disconnect();
    EXPECT_EQ(a.peerCount(), 0u);
    EXPECT_FALSE(a.hasChannel(decoderB));
    EXPECT_FALSE(a.hasChannel(decoderC));
    // No peer state report has been handled yet.
    EXPECT_TRUE(a.controller->isConnected());
    const auto published = tables.get();
    ASSERT_EQ(published.size(), 2u);
    EXPECT_TRUE(published[1]->empty());
    // The table published before is a snapshot: it still holds both.
    EXPECT_EQ(before->size(), 2u);
  }
  EXPECT_TRUE(spinUntil([&] { return !a.controller->isConnected(); }));
  // The reports for B and C found nobody to drop: no further publication.
  testing::mainLoop().runFor(300ms);
  EXPECT_EQ(tables.size(), 2u);
  auto hangup = loadAnalysisSignal(soundResourcePath("hangup"));
  testing::mainLoop().runFor(2000ms);
  ASSERT_TRUE(hangup);
  EXPECT_EQ(findSound(spokenBy(a), *hangup, 0.7).size(), 1u);
}

TEST(WalkieTalkieController, EveryPeerStateReportNotifiesConnectedEvenWithoutChange) {
  Device a = makeDevice("alpha");
  Recorder<bool> connected(a.controller->connectedValues());
  ASSERT_EQ(connected.get(), std::vector<bool>{false});
  const PeerID stranger("stranger");
  a.controller->sessionPeerDidChangeState(a.session(), stranger, PeerSessionState::Connecting);
  a.controller->sessionPeerDidChangeState(a.session(), stranger, PeerSessionState::NotConnected);
  EXPECT_EQ(connected.get(), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(a.peerCount(), 0u);
  EXPECT_TRUE(a.engine->channels().empty());
}

TEST(WalkieTalkieController, DisconnectCommandIsEnabledOnlyWhileConnected) {
  Device a = makeDevice("alpha");
  Device b = makeDevice("bravo");
  auto command = a.controller->disconnectCommand();
  EXPECT_NE(command, a.controller->disconnectCommand());
  Recorder<bool> enabled(command->enabled());
  ASSERT_TRUE(spinUntil([&] { return !enabled.get().empty(); }));
  EXPECT_FALSE(enabled.get().back());

  connect(a, b);
  ASSERT_TRUE(spinUntil([&] { return !enabled.get().empty() && enabled.get().back(); }));
  bool completed = false;
  command->execute(Unit{}).subscribeCompleted([&] { completed = true; });
  ASSERT_TRUE(spinUntil([&] { return completed; }));
  EXPECT_EQ(a.peerCount(), 0u);
  EXPECT_TRUE(spinUntil([&] { return !enabled.get().back(); }));

  // A command that outlives its controller does nothing when executed.
  auto orphan = a.controller->disconnectCommand();
  std::weak_ptr<WalkieTalkieController> weak = a.controller;
  a.controller.reset();
  b.controller.reset();
  ASSERT_TRUE(spinUntil([&] { return weak.expired(); }, 5s));
  bool orphanDone = false;
  orphan->execute(Unit{}).subscribeNext(
      [](const Unit&) {}, [&](const Error&) { orphanDone = true; }, [&] { orphanDone = true; });
  EXPECT_TRUE(spinUntil([&] { return orphanDone; }));
}

TEST(WalkieTalkieController, EndReceivingBeepIsTheStartBeepBackwardsAtAQuarterLevel) {
  Device a = makeDevice("alpha");
  const AudioBufferList* start = a.controller->startReceivingBeep();
  const AudioBufferList* end = a.controller->endReceivingBeep();
  ASSERT_TRUE(start && end);
  const AudioStreamBasicDescription codec = codecAudioDescription();
  AudioBufferListPtr original(
      MediaReader::createRawPCMOfAssetAtURL(soundResourcePath("beep"), &codec));
  ASSERT_TRUE(original);
  ASSERT_EQ(start->mBuffers[0].mDataByteSize, original->mBuffers[0].mDataByteSize);
  ASSERT_EQ(end->mBuffers[0].mDataByteSize, start->mBuffers[0].mDataByteSize);
  const auto* s = static_cast<const std::int16_t*>(start->mBuffers[0].mData);
  const auto* e = static_cast<const std::int16_t*>(end->mBuffers[0].mData);
  const auto* o = static_cast<const std::int16_t*>(original->mBuffers[0].mData);
  const std::size_t frames = start->mBuffers[0].mDataByteSize / 4;
  int loud = 0;
  for (std::size_t f = 0; f < frames; ++f) {
    for (int c = 0; c < 2; ++c) {
      ASSERT_EQ(s[f * 2 + c], std::int16_t(o[f * 2 + c] * 0.25f)) << "frame " << f;
      ASSERT_EQ(e[f * 2 + c], s[(frames - 1 - f) * 2 + c]) << "frame " << f;
      loud += std::abs(s[f * 2 + c]) > 1000;
    }
  }
  EXPECT_GT(loud, 0);
}

TEST(WalkieTalkiePeer, TransmittingFollowsStatusMessagesFromTheSubscriptionOn) {
  const AudioStreamBasicDescription format = AudioEngine::interleaved16BitStereoAudioDescription();
  AudioBufferListPtr beep(audioBufferListCreateForFormat(codecAudioDescription(), 480));
  std::memset(beep->mBuffers[0].mData, 0, beep->mBuffers[0].mDataByteSize);
  auto peer = WalkieTalkiePeer::create(format, PeerID("remote"), beep.get(), beep.get());
  ASSERT_TRUE(peer);

  // Status messages as the remote sends them, through a wire sink.
  struct Capture : StreamSink {
    std::vector<std::vector<std::uint8_t>> messages;
    bool writeMessage(ByteMessage message) override {
      messages.emplace_back(message.begin(), message.end());
      return true;
    }
  };
  auto capture = std::make_shared<Capture>();
  WireMessageStreamSink sink(capture);
  sink.sendStreamStatus(1);
  sink.sendStreamStatus(0);
  sink.sendStreamStatus(1);
  ASSERT_EQ(capture->messages.size(), 3u);

  Recorder<bool> early(peer->transmitting());
  peer->wireMessageSource()->gotMessage(capture->messages[0]);
  // Joining in the middle of a transmission: nothing until the next status.
  Recorder<bool> late(peer->transmitting());
  EXPECT_TRUE(late.get().empty());
  peer->wireMessageSource()->gotMessage(capture->messages[1]);
  peer->wireMessageSource()->gotMessage(capture->messages[2]);
  EXPECT_EQ(early.get(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(late.get(), (std::vector<bool>{false, true}));
  // The start and end signals went to the receiver as well.
  EXPECT_EQ(peer->streamReceiver()->transmissionsStarted(), 2u);

  bool completed = false;
  auto done = peer->transmitting().subscribeCompleted([&] { completed = true; });
  peer.reset();
  EXPECT_TRUE(completed);
}

TEST(WalkieTalkieControllerConcurrency, PublishedTablesNeverChangeUnderTheirReaders) {
  Device a = makeDevice("alpha");
  Device b = makeDevice("bravo");
  std::atomic<bool> stop{false};
  std::atomic<int> inconsistent{0};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const auto table = a.controller->connectedPeers();
      const std::size_t size = table->size();
      std::size_t walked = 0;
      for (const auto& [id, peer] : *table) walked += peer && peer->decoder() ? 1 : 0;
      if (walked != size || table->size() != size) inconsistent.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int round = 0; round < 3; ++round) {
    connect(a, b);
    a.controller->disconnect();
    ASSERT_TRUE(
        spinUntil([&] { return !a.controller->isConnected() && !b.controller->isConnected(); }));
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace qur
