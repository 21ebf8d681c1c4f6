// A walkie-talkie core for screen tests: a controller over an engine with a
// real-time virtual device (a tone in, nothing out), and the way one core
// invites another over loopback TCP, as a device on the network would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/walkie_talkie_controller.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "ui_test_support.h"

namespace qur::testing {

struct Core {
  std::shared_ptr<AudioEngine> engine;
  std::shared_ptr<WalkieTalkieController> controller;

  explicit Core(const std::string& name) {
    VirtualDeviceOptions options;
    options.clock = VirtualDeviceOptions::Clock::RealTime;
    options.input = VirtualDeviceOptions::Input::Tone;
    options.toneAmplitude = 0.3;
    options.output = VirtualDeviceOptions::Output::Discard;
    engine = std::make_shared<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                           true, false, std::make_unique<VirtualDevice>(options));
    controller = WalkieTalkieController::create(engine, name);
    EXPECT_TRUE(controller);
    EXPECT_TRUE(engine->start());
  }
  ~Core() {
    if (controller) controller->multipeerController()->disconnect();
    engine->stop();
  }
  std::shared_ptr<PeerSession> session() const {
    return controller->multipeerController()->session();
  }
};

// The remote core invites the local one, which accepts; true once both
// count each other as connected.
inline bool connectCores(Core& local, Core& remote) {
  local.session()->setInvitationHandler(acceptAllInvitations());
  remote.session()->invitePeer({"127.0.0.1", local.session()->port()}, local.session()->myPeerID());
  const auto id = remote.session()->myPeerID();
  return spinUntil([&] {
    const auto peers = local.session()->connectedPeers();
    return std::find(peers.begin(), peers.end(), id) != peers.end() &&
           remote.controller->isConnected();
  });
}

}  // namespace qur::testing
