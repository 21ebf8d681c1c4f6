// Start-up over real parts: a virtual audio device (working or lost), the
// dynamics processor, advertising through the embedded mDNS responder and a
// real peer session on loopback.
#include "app/application.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/dynamic_range_compressor.h"
#include "app/file_microphone.h"
#include "app/opus_stream_receiver.h"
#include "app/walkie_talkie_app.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_encoder.h"
#include "peers/advertiser.h"
#include "peers/device_identity.h"
#include "peers/discovery.h"
#include "peers/known_peers.h"
#include "peers/session_controller.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<VirtualDevice> toneDevice(bool unplugged) {
  VirtualDeviceOptions options;
  options.input = VirtualDeviceOptions::Input::Tone;
  auto device = std::make_unique<VirtualDevice>(options);
  device->setUnplugged(unplugged);
  return device;
}

std::unique_ptr<Application> launch(const std::string& name, bool unplugged) {
  Application::Options options;
  options.peerName = name;
  options.audioDevice = toneDevice(unplugged);
  options.installLoggers = false;
  auto application = std::make_unique<Application>(std::move(options));
  EXPECT_TRUE(application->launch());
  return application;
}

class ApplicationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DiscoveryOptions discovery;
    discovery.allowInterfaces = {"lo"};
    Discovery::configure(discovery);
    Advertiser::setDefaultInvitationHandler(acceptAllInvitations());
  }
};

TEST_F(ApplicationTest, LaunchBuildsTheChainWithTheMicrophoneGainAndAdvertises) {
  auto application = launch("alpha", false);
  ASSERT_TRUE(application->walkieTalkie());
  EXPECT_TRUE(application->audioStarted());
  EXPECT_TRUE(application->audioController()->isRunning());
  auto compressor = application->dynamicRangeCompressor();
  ASSERT_TRUE(compressor);
  EXPECT_FLOAT_EQ(compressor->masterGain(), 15.0f);
  EXPECT_TRUE(application->walkieTalkie()->multipeerController()->isAdvertising());
  const auto format = application->audioController()->audioDescription();
  EXPECT_EQ(format.mSampleRate, 44100.0);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  EXPECT_EQ(format.mBitsPerChannel, 16u);
  // A second launch changes nothing.
  auto engine = application->audioController();
  EXPECT_TRUE(application->launch());
  EXPECT_EQ(application->audioController(), engine);
}

TEST_F(ApplicationTest, FailedAudioStartStillLetsPeersConnectAndSendsOnlyStatuses) {
  testing::LogCapture log;
  auto alpha = launch("alpha", true);
  EXPECT_FALSE(alpha->audioStarted());
  EXPECT_TRUE(log.contains("Failed to start audio controller"));
  auto controller = alpha->walkieTalkie();
  ASSERT_TRUE(controller);
  EXPECT_TRUE(controller->multipeerController()->isAdvertising());

  auto bravo = launch("bravo", false);
  auto bravoSession = bravo->walkieTalkie()->multipeerController()->session();
  auto alphaSession = controller->multipeerController()->session();
  bravoSession->invitePeer({"127.0.0.1", alphaSession->port()}, alphaSession->myPeerID());
  ASSERT_TRUE(testing::mainLoop().runUntil(
      [&] { return controller->isConnected() && bravo->walkieTalkie()->isConnected(); }, 10s));

  const auto table = bravo->walkieTalkie()->connectedPeers();
  ASSERT_EQ(table->size(), 1u);
  auto alphaAtBravo = table->begin()->second;
  controller->startTransmission();
  EXPECT_TRUE(controller->isTransmitting());
  testing::mainLoop().runFor(500ms);
  controller->endTransmission();
  auto receiver = alphaAtBravo->streamReceiver();
  ASSERT_TRUE(
      testing::mainLoop().runUntil([&] { return receiver->transmissionsStopped() == 1; }, 5s));
  EXPECT_EQ(receiver->transmissionsStarted(), 1u);
  EXPECT_EQ(receiver->audioPacketsReceived(), 0u);
}

// ---- the facade the CLI and the window drive ---------------------------------

std::string uniqueName(const std::string& base) {
  return base + "-" + std::to_string(getpid());
}

class WalkieTalkieAppTest : public ApplicationTest {
 protected:
  // Every app keeps its own device key, as separate devices do; none
  // touches the user's.
  void SetUp() override {
    char pattern[] = "/tmp/qur-app-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    _configRoot = pattern;
    setenv("QUR_WTALKIE_CONFIG_DIR", (_configRoot / "default").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUR_WTALKIE_CONFIG_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(_configRoot, ignored);
  }
  std::filesystem::path _configRoot;

  struct Started {
    std::shared_ptr<WalkieTalkieApp> app;
    std::shared_ptr<std::vector<AppEvent>> events = std::make_shared<std::vector<AppEvent>>();
    DisposablePtr subscription;
    bool saw(AppEvent::Kind kind, const std::string& peer, bool value) const {
      for (const auto& event : *events) {
        if (event.kind == kind && event.peer == peer && event.value == value) return true;
      }
      return false;
    }
  };

  Started start(const std::string& name, AcceptPolicy accept) {
    RunOptions options;
    options.name = uniqueName(name);
    options.configDirectory = (_configRoot / name).string();
    options.audio = "virtual";
    options.accept = accept;
    StartError error;
    Started started;
    started.app = WalkieTalkieApp::start(std::move(options), &error);
    EXPECT_TRUE(started.app) << error.message;
    if (started.app) {
      auto events = started.events;
      started.subscription = started.app->events().subscribeNext(
          [events](const AppEvent& event) { events->push_back(event); });
    }
    return started;
  }

  static StartError refusal(RunOptions options) {
    StartError error;
    EXPECT_FALSE(WalkieTalkieApp::start(std::move(options), &error));
    EXPECT_FALSE(error.message.empty());
    return error;
  }

  static bool waitFor(const std::function<bool()>& predicate) {
    return testing::mainLoop().runUntil(predicate, 15s);
  }

  static bool lists(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }

  // a invites b, which holds the invitation until it is answered.
  static void connect(Started& a, Started& b) {
    const std::string bName = b.app->localName();
    ASSERT_TRUE(waitFor([&] { return lists(a.app->nearbyPeers().get(), bName); }));
    std::string error;
    ASSERT_TRUE(a.app->invite(bName, &error)) << error;
    ASSERT_TRUE(waitFor([&] { return !b.app->pendingInvitations().get().empty(); }));
    const Invitation invitation = b.app->pendingInvitations().get().front();
    EXPECT_EQ(invitation.peer, a.app->localName());
    ASSERT_TRUE(b.app->answerInvitation(true, invitation.id, &error)) << error;
    EXPECT_TRUE(b.app->pendingInvitations().get().empty());
    ASSERT_TRUE(waitFor([&] { return a.app->connected().get() && b.app->connected().get(); }));
  }
};

TEST_F(WalkieTalkieAppTest, VoiceProcessingFollowsTheChoiceAndTheDeviceDefault) {
  // The virtual device runs without it unless asked; asking switches the
  // engine's processing on for real.
  for (const std::optional<bool> choice : {std::optional<bool>(), std::optional<bool>(true)}) {
    RunOptions options;
    options.name = uniqueName("voice");
    options.audio = "virtual";
    options.voiceProcessing = choice;
    StartError error;
    auto app = WalkieTalkieApp::start(std::move(options), &error);
    ASSERT_TRUE(app) << error.message;
    EXPECT_EQ(app->engine()->isVoiceProcessingActive(), choice.value_or(false));
    bool done = false;
    app->shutdown([&done] { done = true; });
    EXPECT_TRUE(waitFor([&] { return done; }));
  }
}

TEST_F(WalkieTalkieAppTest, StartRefusesOptionsItCannotHonourInWords) {
  RunOptions options;
  options.audio = "speakers";
  EXPECT_EQ(refusal(std::move(options)).kind, StartError::Kind::Usage);

  options = {};
  options.micFromTalk = true;
  EXPECT_EQ(refusal(std::move(options)).kind, StartError::Kind::Usage);

  options = {};
  options.audio = "virtual";
  options.name = std::string(64, 'x');
  auto error = refusal(std::move(options));
  EXPECT_EQ(error.kind, StartError::Kind::Usage);
  EXPECT_NE(error.message.find("at most 63"), std::string::npos) << error.message;

  options = {};
  options.audio = "virtual";
  options.name = "tab\tname";
  EXPECT_EQ(refusal(std::move(options)).kind, StartError::Kind::Usage);

  options = {};
  options.audio = "virtual";
  options.networkInterface = "wlan9";
  error = refusal(std::move(options));
  EXPECT_EQ(error.kind, StartError::Kind::Usage);
  EXPECT_NE(error.message.find("lo"), std::string::npos) << "lists the interfaces that exist";

  options = {};
  options.micFile = "/nonexistent/mic.wav";
  error = refusal(std::move(options));
  EXPECT_EQ(error.kind, StartError::Kind::Failure);
  EXPECT_NE(error.message.find("no such file"), std::string::npos) << error.message;
  // A sound device that does not open: the device tests of the run command.
}

TEST_F(WalkieTalkieAppTest, InvitationTalkAndTheLastPeerLeavingEndTheTransmission) {
  Started alpha = start("app-alpha", AcceptPolicy::Ask);
  Started bravo = start("app-bravo", AcceptPolicy::Ask);
  ASSERT_TRUE(alpha.app && bravo.app);
  std::string error;
  EXPECT_FALSE(alpha.app->startTalking(&error));
  EXPECT_FALSE(alpha.app->isTransmitting());
  EXPECT_EQ(alpha.events->back().kind, AppEvent::Kind::TalkRefused);
  EXPECT_FALSE(alpha.app->answerInvitation(true, 0, &error));
  EXPECT_FALSE(alpha.app->disconnect(&error));

  connect(alpha, bravo);
  const std::string alphaName = alpha.app->localName();
  const std::string bravoName = bravo.app->localName();
  EXPECT_EQ(alpha.app->connectedPeers().get(), std::vector<std::string>{bravoName});
  EXPECT_TRUE(bravo.saw(AppEvent::Kind::InvitationAnswered, alphaName, true));
  EXPECT_TRUE(alpha.saw(AppEvent::Kind::PeerConnected, bravoName, false));

  ASSERT_TRUE(bravo.app->startTalking(&error)) << error;
  EXPECT_FALSE(bravo.app->startTalking(&error));
  EXPECT_EQ(error, "already transmitting");
  ASSERT_TRUE(waitFor([&] { return lists(alpha.app->talkingPeers().get(), bravoName); }));
  EXPECT_EQ(alpha.app->status().talking, std::vector<std::string>{bravoName});

  // Alpha leaves: bravo has nobody left to talk to.
  ASSERT_TRUE(alpha.app->disconnect(&error)) << error;
  ASSERT_TRUE(waitFor([&] { return !bravo.app->connected().get(); }));
  testing::mainLoop().drain();
  EXPECT_FALSE(bravo.app->isTransmitting());
  EXPECT_FALSE(bravo.app->controller()->isTransmitting());
  const auto ended = std::find_if(bravo.events->begin(), bravo.events->end(), [](const auto& e) {
    return e.kind == AppEvent::Kind::Transmitting && !e.value;
  });
  ASSERT_NE(ended, bravo.events->end());
  EXPECT_EQ(ended->reason, "no peer connected");
  EXPECT_TRUE(waitFor([&] { return alpha.app->talkingPeers().get().empty(); }));
}

TEST_F(WalkieTalkieAppTest, DeclinedAndReplacedInvitationsLeaveNoPeer) {
  Started alpha = start("app-asker", AcceptPolicy::Ask);
  Started bravo = start("app-inviter", AcceptPolicy::Never);
  ASSERT_TRUE(alpha.app && bravo.app);
  const std::string alphaName = alpha.app->localName();
  ASSERT_TRUE(waitFor([&] { return lists(bravo.app->nearbyPeers().get(), alphaName); }));
  std::string error;
  EXPECT_FALSE(bravo.app->invite("app-nobody-by-that-name", &error));
  EXPECT_NE(error.find("no nearby peer"), std::string::npos);

  ASSERT_TRUE(bravo.app->invite(alphaName, &error)) << error;
  ASSERT_TRUE(waitFor([&] { return !alpha.app->pendingInvitations().get().empty(); }));
  const auto first = alpha.app->pendingInvitations().get().front();
  EXPECT_FALSE(alpha.app->answerInvitation(true, first.id + 100, &error));
  ASSERT_TRUE(alpha.app->answerInvitation(false, first.id, &error)) << error;
  EXPECT_FALSE(alpha.app->answerInvitation(false, first.id, &error));
  testing::mainLoop().runFor(500ms);
  EXPECT_FALSE(alpha.app->connected().get());
  EXPECT_TRUE(alpha.app->connectedPeers().get().empty());
  EXPECT_FALSE(bravo.app->connected().get());
}

TEST_F(WalkieTalkieAppTest, AcceptingPinsTheKeyAndAChangedKeyIsNeverTakenAutomatically) {
  Started alpha = start("app-pinner", AcceptPolicy::Auto);
  Started bravo = start("app-pinned", AcceptPolicy::Never);
  ASSERT_TRUE(alpha.app && bravo.app);
  const std::string alphaName = alpha.app->localName();
  const std::string bravoName = bravo.app->localName();
  // The key bravo keeps in its own folder: what alpha's user should see.
  auto bravoKey = DeviceIdentity::loadOrCreate(_configRoot / "app-pinned");
  ASSERT_TRUE(bravoKey);
  auto invitations = [](const Started& s) {
    std::vector<AppEvent> out;
    for (const auto& e : *s.events)
      if (e.kind == AppEvent::Kind::Invitation) out.push_back(e);
    return out;
  };

  ASSERT_TRUE(waitFor([&] { return lists(bravo.app->nearbyPeers().get(), alphaName); }));
  std::string error;
  ASSERT_TRUE(bravo.app->invite(alphaName, &error)) << error;
  ASSERT_TRUE(waitFor([&] { return alpha.app->connected().get(); }));
  auto first = invitations(alpha);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].invitation.trust, "new");
  EXPECT_EQ(first[0].invitation.fingerprint, bravoKey->fingerprint());
  KnownPeers alphaPins(_configRoot / "app-pinner");
  EXPECT_EQ(alphaPins.pinned(bravoName), bravoKey->identifier());
  ASSERT_TRUE(alpha.app->disconnect(&error)) << error;
  ASSERT_TRUE(waitFor([&] { return !bravo.app->connected().get(); }));

  // Another device took the name: alpha has a different key pinned for it.
  auto other = DeviceIdentity::generate();
  ASSERT_TRUE(alphaPins.pin(bravoName, other->identifier()));
  const std::size_t before = alpha.events->size();
  // Both sessions renew after the last peer left, which may withdraw an
  // invitation that just landed; the user tries again until one is asked
  // and the answer reaches it.
  bool declined = false;
  for (int attempt = 0; attempt < 15 && !declined; ++attempt) {
    if (alpha.app->pendingInvitations().get().empty() &&
        lists(bravo.app->nearbyPeers().get(), alphaName)) {
      bravo.app->invite(alphaName, &error);
    }
    testing::mainLoop().runFor(1s);
    EXPECT_FALSE(alpha.app->connected().get()) << "a changed key was accepted automatically";
    const auto pending = alpha.app->pendingInvitations().get();
    if (pending.size() == 1) declined = alpha.app->answerInvitation(false, pending[0].id, &error);
  }
  ASSERT_TRUE(declined) << "no invitation with the changed key was asked about";
  const auto all = invitations(alpha);
  ASSERT_GE(all.size(), 2u);
  for (std::size_t i = 1; i < all.size(); ++i) {
    EXPECT_EQ(all[i].invitation.trust, "key changed");
    EXPECT_EQ(all[i].policy, AcceptPolicy::Ask) << "a changed key must be asked about";
  }
  for (std::size_t i = before; i < alpha.events->size(); ++i) {
    EXPECT_NE((*alpha.events)[i].kind, AppEvent::Kind::PeerConnected);
  }
  EXPECT_EQ(alphaPins.pinned(bravoName), other->identifier()) << "declining must not re-pin";
}

TEST_F(WalkieTalkieAppTest, ShutdownTellsThePeerStopsTheEngineAndCallsBackOnce) {
  Started alpha = start("app-leaver", AcceptPolicy::Ask);
  Started bravo = start("app-stayer", AcceptPolicy::Ask);
  ASSERT_TRUE(alpha.app && bravo.app);
  connect(alpha, bravo);
  std::string error;
  ASSERT_TRUE(alpha.app->startTalking(&error)) << error;
  int done = 0;
  alpha.app->shutdown([&] { ++done; });
  EXPECT_FALSE(alpha.app->isTransmitting());
  ASSERT_TRUE(waitFor([&] { return done == 1; }));
  EXPECT_FALSE(alpha.app->engine()->isRunning());
  EXPECT_FALSE(alpha.app->controller()->multipeerController()->isAdvertising());
  ASSERT_TRUE(waitFor([&] { return !bravo.app->connected().get(); }));
  // Bravo heard the transmission end before the session did.
  EXPECT_TRUE(bravo.saw(AppEvent::Kind::PeerTalking, alpha.app->localName(), false));
  alpha.app->shutdown([&] { ++done; });
  ASSERT_TRUE(waitFor([&] { return done == 2; }));
}

// The microphone file of a scripted talker.
TEST(FileMicrophoneTest, FollowingTalkItIsSilentBetweenAndStartsOverAtEachTransmission) {
  constexpr std::uint32_t kFrames = 100;
  AudioBufferListPtr audio(audioBufferListCreate(2, 4, true, kFrames));
  ASSERT_TRUE(audio);
  auto* samples = static_cast<std::int16_t*>(audio->mBuffers[0].mData);
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    samples[2 * i] = std::int16_t(i + 1);
    samples[2 * i + 1] = std::int16_t(-int(i) - 1);
  }
  FileMicrophone microphone(std::move(audio), kFrames, true);
  std::vector<std::int16_t> out(2 * 60);
  microphone.fill(out.data(), 60, 2);
  EXPECT_NE(microphone.firstCycleUs(), 0);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::int16_t s) { return s == 0; }));

  microphone.talkingChanged(true);
  microphone.fill(out.data(), 60, 2);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], -1);
  EXPECT_EQ(out[2 * 59], 60);
  // It loops while the talk lasts longer than the file.
  microphone.fill(out.data(), 60, 2);
  EXPECT_EQ(out[0], 61);
  EXPECT_EQ(out[2 * 40], 1);

  microphone.talkingChanged(false);
  microphone.fill(out.data(), 60, 2);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::int16_t s) { return s == 0; }));
  // A new transmission starts from the file's first frame, even when the
  // end and the start fall between two device cycles.
  microphone.talkingChanged(true);
  microphone.talkingChanged(false);
  microphone.talkingChanged(true);
  microphone.fill(out.data(), 60, 2);
  EXPECT_EQ(out[0], 1);

  // Without following talk the file simply loops from the first cycle.
  AudioBufferListPtr looped(audioBufferListCreate(2, 4, true, 2));
  auto* two = static_cast<std::int16_t*>(looped->mBuffers[0].mData);
  two[0] = two[1] = 5;
  two[2] = two[3] = 7;
  FileMicrophone always(std::move(looped), 2, false);
  std::vector<std::int16_t> mono(3);
  always.fill(mono.data(), 3, 1);
  EXPECT_EQ(mono, (std::vector<std::int16_t>{5, 7, 5}));
}

}  // namespace
}  // namespace qur
