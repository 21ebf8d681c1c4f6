// Start-up over real parts: a virtual audio device (working or lost), the
// dynamics processor, advertising through the embedded mDNS responder and a
// real peer session on loopback.
#include "app/application.h"

#include <gtest/gtest.h>

#include "app/dynamic_range_compressor.h"
#include "app/opus_stream_receiver.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_encoder.h"
#include "peers/advertiser.h"
#include "peers/discovery.h"
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

}  // namespace
}  // namespace qur
