#include "app/walkie_talkie_app.h"

#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "app/app_event_lines.h"
#include "app/application.h"
#include "app/dynamic_range_compressor.h"
#include "app/file_microphone.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/peak_meter.h"
#include "log/log.h"
#include "peers/device_identity.h"
#include "peers/discovery.h"
#include "peers/display_name.h"
#include "peers/peer_browser.h"
#include "peers/private_files.h"
#include "peers/protocol.h"
#include "peers/session_controller.h"
#include "signals/scheduler.h"
#include "signals/signal_operators.h"

namespace qur {

// The microphone's level as the input path delivers it to the encoder.
class InputLevelMeter : public AudioReceiver {
 public:
  explicit InputLevelMeter(const AudioStreamBasicDescription& format) : _format(format) {}
  AudioEngineReceiverCallback receiverCallback() const override { return &received; }
  float level() const { return _meter.level(); }

 private:
  static void received(AudioReceiver* receiver, AudioEngine*, int source, const AudioTimeStamp*,
                       UInt32 frames, const AudioBufferList* audio) {
    if (source != kAudioEngineSourceInput) return;
    auto* self = static_cast<InputLevelMeter*>(receiver);
    self->_meter.measure(audio, self->_format, frames);
  }

  const AudioStreamBasicDescription _format;
  PeakMeter _meter;
};

namespace {

// Gives the end of a transmission time to leave before the session closes.
constexpr double kTransmissionDrainSeconds = 0.3;
// Gives the goodbye announcement and the Bye time to leave before the end.
constexpr double kGoodbyeSeconds = 0.25;

std::vector<std::string> networkInterfaces() {
  std::vector<std::string> names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (auto* item = list; item->if_index != 0; ++item) names.emplace_back(item->if_name);
    if_freenameindex(list);
  }
  return names;
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

std::vector<std::string> names(const std::vector<std::pair<PeerID, std::string>>& table) {
  std::vector<std::string> out;
  for (const auto& entry : table) out.push_back(entry.second);
  return out;
}

// Event values are keys, not the session's words: "timed out" is "timed_out".
std::string invitationOutcomeKey(InvitationOutcome outcome) {
  std::string key = invitationOutcomeName(outcome);
  std::replace(key.begin(), key.end(), ' ', '_');
  return key;
}

// The latest talking status of one peer, and whether a hand-over of it to
// the main thread is on its way.
struct TalkingState {
  std::atomic<bool> value{false};
  // A start since the last hand-over: a talk that began and ended between
  // two hand-overs is still told, as a start and an end.
  std::atomic<bool> started{false};
  std::atomic<bool> posted{false};
};

std::string disconnectReasonKey(PeerDisconnectReason reason) {
  switch (reason) {
    case PeerDisconnectReason::Local:
      return {};
    case PeerDisconnectReason::Left:
      return "left";
    case PeerDisconnectReason::NoAnswer:
      return "no_answer";
    case PeerDisconnectReason::Broken:
      return "connection_lost";
    case PeerDisconnectReason::Other:
      break;
  }
  return "closed";
}

StartError usage(std::string message) {
  return {StartError::Kind::Usage, std::move(message)};
}

StartError failure(std::string message) {
  return {StartError::Kind::Failure, std::move(message)};
}

}  // namespace

std::shared_ptr<WalkieTalkieApp> WalkieTalkieApp::start(RunOptions options, StartError* error) {
  std::shared_ptr<WalkieTalkieApp> app(new WalkieTalkieApp());
  if (!app->launch(std::move(options), error)) return nullptr;
  return app;
}

WalkieTalkieApp::~WalkieTalkieApp() {
  for (auto& subscription : _subscriptions) {
    if (subscription) subscription->dispose();
  }
  if (_audioClockTimer) _audioClockTimer->dispose();
  if (_audioHealthTimer) _audioHealthTimer->dispose();
  if (_browser) _browser->setNearbyPeersChangedHandler(nullptr);
}

bool WalkieTalkieApp::launch(RunOptions options, StartError* error) {
  _options = std::move(options);
  if (_options.mainQueue) setMainQueue(_options.mainQueue);

  // A name cut or cleaned without notice would not be the one the user
  // tells others to look for; its normal form looks the same.
  if (!_options.name.empty()) {
    peers::NameProblem problem;
    auto name = peers::normalizeDisplayName(_options.name, &problem);
    if (!name && problem == peers::NameProblem::TooLong) {
      *error = usage("--name is " + std::to_string(_options.name.size()) + " bytes long; at most " +
                     std::to_string(peers::kMaxDisplayNameBytes) + " are allowed");
      return false;
    }
    if (!name) {
      *error = usage(std::string("--name ") + peers::nameProblemText(problem));
      return false;
    }
    _options.name = std::move(*name);
  }

  std::string audio = _options.audio;
  const bool files = !_options.micFile.empty() || !_options.speakerFile.empty();
  if (audio.empty() && files) audio = "virtual";
  if (_options.micFromTalk && _options.micFile.empty()) {
    *error = usage("--mic-from-talk needs --mic");
    return false;
  }

  std::unique_ptr<AudioDevice> device;
  // What the user asked for, to name it if it does not open.
  std::string requestedDevice;
  if (audio == "virtual") {
    VirtualDeviceOptions deviceOptions;
    deviceOptions.clock = VirtualDeviceOptions::Clock::RealTime;
    AudioBufferListPtr micAudio;
    std::uint64_t frames = 0;
    std::string reason;
    if (!_options.micFile.empty()) {
      micAudio = FileMicrophone::load(_options.micFile, &frames, &reason);
      if (!micAudio) {
        *error = failure(reason);
        return false;
      }
    }
    _microphone =
        std::make_shared<FileMicrophone>(std::move(micAudio), frames, _options.micFromTalk);
    deviceOptions.input = VirtualDeviceOptions::Input::Feed;
    deviceOptions.feed = [microphone = _microphone](std::int16_t* samples, std::uint32_t count,
                                                    int channels) {
      microphone->fill(samples, count, channels);
    };
    if (!_options.speakerFile.empty()) {
      if (!FileMicrophone::checkSpeakerFile(_options.speakerFile, &reason)) {
        *error = failure(reason);
        return false;
      }
      deviceOptions.output = VirtualDeviceOptions::Output::WavFile;
      deviceOptions.outputFile = _options.speakerFile;
    }
    device = std::make_unique<VirtualDevice>(deviceOptions);
  } else if (!audio.empty()) {
    if (files) {
      *error = usage("--mic and --speaker need --audio virtual");
      return false;
    }
    std::string reason;
    auto choice =
        audio.rfind("virtual", 0) != 0 ? parseAudioDeviceChoice(audio, &reason) : std::nullopt;
    if (!choice) {
      *error =
          usage("unknown audio device '" + audio + "': " +
                (reason.empty() ? "use pulse[:DEVICE], portaudio[:DEVICE] or virtual" : reason));
      return false;
    }
    requestedDevice = choice->deviceName;
    device = createAudioDevice(*choice);
  } else if (!_options.inputDevice.empty() || !_options.outputDevice.empty()) {
    requestedDevice = _options.outputDevice;
    device = createAudioDevice(_options.outputDevice, _options.inputDevice);
  }

  if (!_options.networkInterface.empty()) {
    const auto interfaces = networkInterfaces();
    if (std::find(interfaces.begin(), interfaces.end(), _options.networkInterface) ==
        interfaces.end()) {
      *error = usage("no network interface '" + _options.networkInterface +
                     "' (interfaces: " + joined(interfaces, ", ") + ")");
      return false;
    }
    DiscoveryOptions discovery;
    discovery.allowInterfaces = {_options.networkInterface};
    Discovery::configure(discovery);
  }

  // One program per key folder: a second one would advertise the same key,
  // and no device lists its own key.
  const std::filesystem::path configDirectory =
      _options.configDirectory.empty() ? peers::defaultConfigDirectory()
                                       : std::filesystem::path(_options.configDirectory);
  std::string problem;
  if (!peers::ensurePrivateDirectory(configDirectory, &problem) ||
      !(_instanceLock = peers::InstanceLock::acquire(configDirectory, &problem))) {
    *error = failure(problem);
    return false;
  }
  DeviceIdentity::LoadReport keyReport;
  auto identity = DeviceIdentity::loadOrCreate(configDirectory, &keyReport);
  if (!identity) {
    *error = failure(keyReport.problem.empty() ? "cannot load or store the device key"
                                               : keyReport.problem);
    return false;
  }
  // Events are told on the main thread, where the gatekeeper lives.
  _gatekeeper = std::make_shared<Gatekeeper>(
      configDirectory, _options.accept, [this](const AppEvent& event) { emit(event); },
      [this] { refreshNearbyDevices(); });
  if (const std::string pins = _gatekeeper->pinsProblem(); !pins.empty()) {
    *error = failure(pins);
    return false;
  }
  _localFingerprint = identity->fingerprint();
  Application::Options appOptions;
  appOptions.peerName = _options.name;
  appOptions.identity = std::move(identity);
  appOptions.audioDevice = std::move(device);
  appOptions.voiceProcessing = _options.voiceProcessing;
  appOptions.frameMilliseconds = _options.frameMilliseconds;
  appOptions.installLoggers = _options.installLoggers;
  // Invitations need our handler before anyone can see us.
  appOptions.startAdvertising = false;
  _application = std::make_unique<Application>(std::move(appOptions));
  _application->launch();
  auto controller = _application->walkieTalkie();
  if (!controller) {
    *error = failure("could not start the walkie-talkie (the log says why)");
    return false;
  }
  if (!_application->audioStarted() && !_options.continueWithoutAudio) {
    std::string message = requestedDevice.empty()
                              ? std::string("cannot open the default sound device")
                              : "cannot open the sound device '" + requestedDevice + "'";
    // The devices of the kind that failed to open.
    std::vector<std::string> devices;
    if (audio.rfind("portaudio", 0) == 0) {
      devices = listPortAudioDevices();
    } else if (audio.rfind("virtual", 0) != 0) {
      for (const auto& d : soundDevices()) {
        if (d.outputChannels > 0) devices.push_back(d.label());
      }
    }
    if (audio.rfind("virtual", 0) != 0) {
      message +=
          devices.empty() ? "; no sound devices found" : "; devices: " + joined(devices, "; ");
    }
    *error = failure(message + " (--continue-without-audio runs on without sound)");
    _application->shutdown();
    return false;
  }

  installGatekeeper();
  controller->multipeerController()->startAdvertising();
  if (!keyReport.replacedKeptAs.empty()) {
    // Posted: whoever subscribes right after start() hears it.
    post([fingerprint = peers::fingerprintForIdentifier(
              controller->multipeerController()->peerID().identifier()),
          keptAs = keyReport.replacedKeptAs.string()](WalkieTalkieApp& app) {
      app.emit({.kind = AppEvent::Kind::KeyReplaced, .fingerprint = fingerprint, .reason = keptAs});
    });
  }
  if (engine()->inputEnabled()) {
    _inputMeter = std::make_shared<InputLevelMeter>(engine()->audioDescription());
    engine()->addInputReceiver(_inputMeter);
  }
  attach();
  return true;
}

// Every way into the session asks the gatekeeper: invitations, introduced
// devices, and the devices we invite once they say who they are.
void WalkieTalkieApp::installGatekeeper() {
  auto multipeer = controller()->multipeerController();
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  multipeer->setInvitationHandler([weakSelf](const PeerID& peer, std::function<void(bool)> reply) {
    auto self = weakSelf.lock();
    if (!self) return reply(false);
    // Read here: the session forgets the address once the invitation ends.
    const auto details = self->controller()->multipeerController()->pendingInvitation(peer);
    self->post([peer, details, reply = std::move(reply)](WalkieTalkieApp& app) mutable {
      if (app._shutDown) return reply(false);
      app._gatekeeper->requestArrived({peer, details ? details->address : std::string(), {}},
                                      std::move(reply));
    });
  });
  multipeer->setIntroductionHandler(
      [weakSelf](const IntroductionRequest& request, std::function<void(bool)> reply) {
        auto self = weakSelf.lock();
        if (!self) return reply(false);
        self->post([request, reply = std::move(reply)](WalkieTalkieApp& app) mutable {
          if (app._shutDown) return reply(false);
          app._gatekeeper->requestArrived({request.peer, request.address, request.member},
                                          std::move(reply));
        });
      });
  std::weak_ptr<Gatekeeper> weakGatekeeper = _gatekeeper;
  multipeer->setInviteeCheck([weakGatekeeper](const PeerID& invitee) {
    auto gatekeeper = weakGatekeeper.lock();
    return gatekeeper && gatekeeper->inviteeAllowed(invitee);
  });
  // Pending connections that proved a pinned key keep their place when a
  // flood of others wants it.
  multipeer->setKnownKeyCheck([weakGatekeeper](const peers::Identifier& id) {
    auto gatekeeper = weakGatekeeper.lock();
    return gatekeeper && gatekeeper->isPinned(id);
  });
}

void WalkieTalkieApp::post(std::function<void(WalkieTalkieApp&)> block) {
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  mainQueue().post([weakSelf, block = std::move(block)] {
    if (auto self = weakSelf.lock()) block(*self);
  });
}

void WalkieTalkieApp::emit(AppEvent event) {
  _events->sendNext(event);
}

void WalkieTalkieApp::attach() {
  auto controller = this->controller();
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();

  _subscriptions.push_back(controller->connectedValues().subscribeNext([weakSelf](const bool& c) {
    if (auto self = weakSelf.lock())
      self->post([c](WalkieTalkieApp& app) { app.connectedChanged(c); });
  }));
  // Main thread already: the controller's transmission state is set there.
  _subscriptions.push_back(
      controller->transmittingValues().subscribeNext([weakSelf](const bool& transmitting) {
        if (auto self = weakSelf.lock()) self->transmittingChanged(transmitting);
      }));
  // Session queue. New peers' talking signals are subscribed here, before
  // any data of theirs is handled on this queue.
  auto known = std::make_shared<std::map<PeerID, std::weak_ptr<WalkieTalkiePeer>>>();
  _subscriptions.push_back(controller->connectedPeersSignal().subscribeNext(
      [weakSelf, known](const WalkieTalkieController::PeerTableSnapshot& table) {
        auto self = weakSelf.lock();
        if (!self) return;
        std::vector<std::pair<PeerID, std::string>> peers;
        std::map<PeerID, std::weak_ptr<WalkieTalkiePeer>> current;
        // Named copies, not structured bindings: lambdas below capture them.
        for (const auto& entry : *table) {
          const PeerID id = entry.first;
          const auto& peer = entry.second;
          peers.emplace_back(id, id.displayName());
          current[id] = peer;
          const auto it = known->find(id);
          if (it != known->end() && it->second.lock() == peer) continue;
          // A talking state, not a queue of statuses: however fast a peer
          // sends them, at most one hand-over per peer waits for the main thread.
          auto talking = std::make_shared<TalkingState>();
          auto subscription =
              peer->transmitting().subscribeNext([weakSelf, id, talking](const bool& t) {
                if (t) talking->started.store(true);
                talking->value.store(t);
                if (talking->posted.exchange(true)) return;
                auto self = weakSelf.lock();
                if (!self) return;
                self->post([id, talking](WalkieTalkieApp& app) {
                  talking->posted.store(false);
                  const bool started = talking->started.exchange(false);
                  const bool now = talking->value.load();
                  if (started && !now) app.peerTalking(id, true);
                  app.peerTalking(id, now);
                });
              });
          auto links = peer->linkReports().subscribeNext([weakSelf, id](const LinkReport& r) {
            const PeerLink link{id.displayName(), r.jitterMeanMs,     r.jitterP95Ms,
                                r.lossFraction,   r.targetMs,         r.concealed,
                                r.recoveredByFec, r.endOfTransmission};
            if (auto self = weakSelf.lock())
              self->post([id, link](WalkieTalkieApp& app) { app.linkReported(id, link); });
          });
          // The peer's signals end with the peer; this only frees the
          // subscriptions with the application.
          self->post([subscription, links](WalkieTalkieApp& app) {
            app._subscriptions.push_back(subscription);
            app._subscriptions.push_back(links);
          });
        }
        *known = std::move(current);
        self->post(
            [peers = std::move(peers)](WalkieTalkieApp& app) { app.peerTableChanged(peers); });
      }));
  // Network thread.
  _subscriptions.push_back(controller->multipeerController()->invitationResults().subscribeNext(
      [weakSelf](const InvitationResult& result) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->post([result](WalkieTalkieApp& app) {
          app.invitationEnded(result.peer, result.invitedUs, invitationOutcomeKey(result.outcome),
                              result.detail);
        });
      }));
  // Network thread, before the peer's state change: the reason is here first.
  _subscriptions.push_back(controller->multipeerController()->peerDisconnects().subscribeNext(
      [weakSelf](const PeerDisconnect& disconnect) {
        if (auto self = weakSelf.lock())
          self->post([disconnect](WalkieTalkieApp& app) { app.peerDisconnected(disconnect); });
      }));
  _subscriptions.push_back(
      controller->multipeerController()->sessionProperty().values().subscribeNext(
          [weakSelf](const std::shared_ptr<PeerSession>&) {
            // The browser is replaced together with the session, after the
            // session's notification.
            if (auto self = weakSelf.lock())
              self->post([](WalkieTalkieApp& app) { app.watchBrowser(); });
          }));
  watchBrowser();
  if (_microphone) watchAudioClock();
  watchAudioHealth();
}

void WalkieTalkieApp::watchBrowser() {
  if (_shutDown) return;
  auto browser = controller()->multipeerController()->browserViewController();
  if (!browser || browser == _browser) return;
  if (_browser) {
    _browser->setNearbyPeersChangedHandler(nullptr);
    _browser->stop();
  }
  _browser = browser;
  // The CLI and the window alike gather as many peers as a session holds.
  _browser->setMaximumNumberOfPeers(PeerSession::kMaximumPeers);
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  _browser->setNearbyPeersChangedHandler([weakSelf](const std::vector<NearbyPeer>& nearby) {
    if (auto self = weakSelf.lock())
      self->post([nearby](WalkieTalkieApp& app) { app.nearbyChanged(nearby); });
  });
  _browser->start();
  // Read on a later turn of the loop, never inside start(): a device already
  // known to the responder may be listed at once, and its event must reach
  // whoever subscribes right after start() returns.
  post([browser](WalkieTalkieApp& app) {
    if (app._browser == browser) app.nearbyChanged(browser->nearbyPeers());
  });
}

void WalkieTalkieApp::nearbyChanged(const std::vector<NearbyPeer>& nearby) {
  auto contains = [](const std::vector<std::pair<PeerID, std::string>>& table, const PeerID& id) {
    return std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.first == id; });
  };
  const auto previous = std::move(_nearbyTable);
  _nearbyTable.clear();
  for (const auto& peer : nearby) _nearbyTable.emplace_back(peer.peer, peer.peer.displayName());
  _nearbyPeers = nearby;
  // The advertised identifier is the key's hash: the fingerprint and the
  // trust are known before any connection, to compare with what an
  // invitation shows.
  const auto devices = _gatekeeper->describe(nearby);
  for (std::size_t i = 0; i < nearby.size(); ++i) {
    if (contains(previous, nearby[i].peer)) continue;
    const NearbyDevice& device = devices[i];
    emit({.kind = AppEvent::Kind::PeerFound,
          .peer = device.name,
          .fingerprint = device.fingerprint,
          .identifier = device.identifier,
          .trust = device.trust.words()});
  }
  for (const auto& [id, name] : previous) {
    if (!contains(_nearbyTable, id)) {
      emit({.kind = AppEvent::Kind::PeerLost,
            .peer = name,
            .fingerprint = peers::fingerprintForIdentifier(id.identifier()),
            .identifier = id.identifierString()});
    }
  }
  _nearby.set(names(_nearbyTable));
  _nearbyDevices.set(devices);
}

std::vector<NearbyDevice> WalkieTalkieApp::connectedDevices() const {
  std::vector<NearbyPeer> connected;
  for (const auto& [id, name] : _connectedTable) connected.push_back({id, {}, name});
  return _gatekeeper->describe(connected);
}

void WalkieTalkieApp::refreshNearbyDevices() {
  _nearbyDevices.set(_gatekeeper->describe(_nearbyPeers));
}

const Property<std::vector<Invitation>>& WalkieTalkieApp::pendingInvitations() const {
  return _gatekeeper->pendingInvitations();
}

bool WalkieTalkieApp::answerInvitation(bool accept, std::uint64_t id, std::string* error) {
  return _gatekeeper->answerInvitation(accept, id, error);
}

bool WalkieTalkieApp::answerInvitationFrom(bool accept, const std::string& who,
                                           std::string* error) {
  return _gatekeeper->answerInvitation(accept, who, error);
}

void WalkieTalkieApp::invitationEnded(const PeerID& peer, bool invitedUs,
                                      const std::string& outcome, const std::string& detail) {
  if (_shutDown) return;
  if (invitedUs) return _gatekeeper->requestEnded(peer, outcome);
  std::erase(_outgoing, peer);
  AppEvent event{.kind = AppEvent::Kind::InvitationResult,
                 .peer = peer.displayName(),
                 .identifier = peer.identifierString()};
  event.reason = outcome;
  if (outcome == "accepted") _gatekeeper->inviteAccepted(peer);
  // We hung up on the device that answered: not unreachable, refused.
  const std::string refusal = _gatekeeper->refusal(peer.identifier());
  if (outcome == "unreachable" && !refusal.empty()) {
    event.reason = "refused";
    event.detail = refusal;
  } else if (outcome == "refused") {
    event.detail = detail;
  }
  emit(event);
}

void WalkieTalkieApp::connectedChanged(bool connected) {
  if (connected == _isConnected) return;
  _isConnected = connected;
  emit({.kind = AppEvent::Kind::Connected, .value = connected});
  _connected.set(connected);
  // Transmitting means connected and talking: nobody is left to hear it.
  if (!connected && controller()->isTransmitting()) {
    _transmissionEndReason = "no peer connected";
    controller()->endTransmission();
  }
}

void WalkieTalkieApp::peerTableChanged(const std::vector<std::pair<PeerID, std::string>>& peers) {
  auto contains = [](const std::vector<std::pair<PeerID, std::string>>& table, const PeerID& id) {
    return std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.first == id; });
  };
  const auto previous = std::move(_connectedTable);
  _connectedTable = peers;
  for (const auto& [id, name] : previous) {
    if (contains(peers, id)) continue;
    _talkingTable.erase(std::remove(_talkingTable.begin(), _talkingTable.end(), id),
                        _talkingTable.end());
    std::erase_if(_linkTable, [&gone = id](const auto& entry) { return entry.first == gone; });
    AppEvent event{.kind = AppEvent::Kind::PeerDisconnected,
                   .peer = name,
                   .identifier = id.identifierString()};
    if (const auto why = _disconnectReasons.find(id); why != _disconnectReasons.end()) {
      event.reason = disconnectReasonKey(why->second.reason);
      event.silenceMs = why->second.silenceMs;
      _disconnectReasons.erase(why);
    }
    emit(event);
  }
  for (const auto& [id, name] : peers) {
    if (contains(previous, id)) continue;
    // A reason is told with the departure it explains, never with a later one.
    _disconnectReasons.erase(id);
    emit(
        {.kind = AppEvent::Kind::PeerConnected, .peer = name, .identifier = id.identifierString()});
  }
  _connectedPeers.set(names(_connectedTable));
  std::vector<std::string> talking;
  for (const auto& id : _talkingTable) talking.push_back(id.displayName());
  _talking.set(talking);
}

void WalkieTalkieApp::peerDisconnected(const PeerDisconnect& disconnect) {
  _disconnectReasons[disconnect.peer] = disconnect;
}

void WalkieTalkieApp::peerTalking(const PeerID& peer, bool talking) {
  const auto it = std::find(_talkingTable.begin(), _talkingTable.end(), peer);
  if (talking == (it != _talkingTable.end())) return;
  const bool connected = std::any_of(_connectedTable.begin(), _connectedTable.end(),
                                     [&](const auto& entry) { return entry.first == peer; });
  if (talking && !connected) return;  // a status that outlived its peer
  if (talking) _talkingTable.push_back(peer);
  if (!talking) _talkingTable.erase(it);
  emit({.kind = AppEvent::Kind::PeerTalking, .peer = peer.displayName(), .value = talking});
  std::vector<std::string> names;
  for (const auto& id : _talkingTable) names.push_back(id.displayName());
  _talking.set(names);
}

void WalkieTalkieApp::linkReported(const PeerID& peer, const PeerLink& link) {
  // A report that was under way when the peer left finds it gone.
  if (std::none_of(_connectedTable.begin(), _connectedTable.end(),
                   [&](const auto& entry) { return entry.first == peer; })) {
    return;
  }
  const auto it = std::find_if(_linkTable.begin(), _linkTable.end(),
                               [&](const auto& entry) { return entry.first == peer; });
  if (it == _linkTable.end()) {
    _linkTable.emplace_back(peer, link);
  } else {
    it->second = link;
  }
  emit({.kind = AppEvent::Kind::Link, .peer = link.peer, .link = link});
}

std::optional<PeerLink> WalkieTalkieApp::linkOf(const std::string& name) const {
  for (const auto& [id, link] : _linkTable) {
    if (link.peer == name) return link;
  }
  return std::nullopt;
}

const char* linkQuality(const PeerLink& link) {
  // Loss is heard at once; jitter only costs delay until it passes the
  // buffer's reach.
  if (link.lossFraction >= 0.05 || link.jitterP95Ms >= 150) return "poor";
  if (link.lossFraction >= 0.01 || link.jitterP95Ms >= 60) return "fair";
  return "good";
}

void WalkieTalkieApp::transmittingChanged(bool transmitting) {
  if (transmitting == _transmitting.get()) {
    _transmissionEndReason.clear();
    return;
  }
  if (_microphone) _microphone->talkingChanged(transmitting);
  AppEvent event{.kind = AppEvent::Kind::Transmitting, .value = transmitting};
  event.reason = std::exchange(_transmissionEndReason, std::string());
  emit(event);
  _transmitting.set(transmitting);
}

void WalkieTalkieApp::watchAudioClock() {
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  auto scheduler = Scheduler::mainThreadScheduler();
  _audioClockTimer = scheduler->afterRepeatingEvery(scheduler->now(), 0.02, 0.0, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self || !self->_audioClockTimer) return;
    const long long first = self->_microphone->firstCycleUs();
    if (first == 0) return;
    self->_audioClockTimer->dispose();
    self->_audioClockTimer = nullptr;
    self->emit({.kind = AppEvent::Kind::AudioClock, .firstCycleUs = first});
  });
}

void WalkieTalkieApp::watchAudioHealth() {
  // A device that goes away mid-run (server gone, cable pulled) is told
  // once; the status says so from then on.
  _audioWasRunning = status().audioRunning;
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  auto scheduler = Scheduler::mainThreadScheduler();
  _audioHealthTimer = scheduler->afterRepeatingEvery(
      scheduler->now() + std::chrono::seconds(1), 1.0, 0.1, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self || self->_shutDown) return;
        const bool running = self->status().audioRunning;
        if (self->_audioWasRunning && !running) self->emit({.kind = AppEvent::Kind::AudioStopped});
        self->_audioWasRunning = running;
      });
}

std::string WalkieTalkieApp::localName() const {
  return controller()->multipeerController()->peerID().displayName();
}

AppStatus WalkieTalkieApp::status() const {
  AppStatus status;
  status.name = localName();
  status.connected = _isConnected;
  status.peers = names(_connectedTable);
  for (const auto& id : _talkingTable) status.talking.push_back(id.displayName());
  status.transmitting = isTransmitting();
  status.gainDb = micGain();
  status.volume = outputVolume();
  auto* device = engine()->device();
  status.audioDevice = device ? device->name() : "none";
  status.audioRunning = engine()->isRunning() && device && device->isHealthy();
  for (const auto& [id, link] : _linkTable) status.links.push_back(link);
  return status;
}

bool WalkieTalkieApp::invite(const std::string& target, std::string* error) {
  if (!_browser) {
    *error = "not browsing for peers";
    return false;
  }
  const auto invitee = _gatekeeper->invitee(target, _browser->nearbyPeers(), error);
  return invitee && send(*invitee, error);
}

bool WalkieTalkieApp::confirmInvite(std::string* error) {
  if (!_browser) {
    *error = "not browsing for peers";
    return false;
  }
  const auto invitee = _gatekeeper->confirm(_browser->nearbyPeers(), error);
  return invitee && send(*invitee, error);
}

bool WalkieTalkieApp::send(const NearbyPeer& invitee, std::string* error) {
  if (!_browser->invite(invitee.peer)) {
    *error = "could not invite '" + invitee.peer.displayName() + "'";
    return false;
  }
  if (std::find(_outgoing.begin(), _outgoing.end(), invitee.peer) == _outgoing.end())
    _outgoing.push_back(invitee.peer);
  return true;
}

bool WalkieTalkieApp::withdrawInvitation(const std::string& target, std::string* error) {
  std::vector<PeerID> chosen;
  for (const auto& peer : _outgoing) {
    if (target.empty() || peer.displayName() == target ||
        (target.size() >= 4 && peer.identifierString().rfind(target, 0) == 0)) {
      chosen.push_back(peer);
    }
  }
  if (chosen.empty()) {
    *error = target.empty() ? "no invitation of ours is waiting"
                            : "no invitation of ours to '" + target + "' is waiting";
    return false;
  }
  auto session = controller()->multipeerController()->session();
  if (!session) {
    *error = "the session has stopped";
    return false;
  }
  for (const auto& peer : chosen) session->withdrawInvitation(peer);
  return true;
}

bool WalkieTalkieApp::startTalking(std::string* error) {
  if (isTransmitting()) {
    *error = "already transmitting";
    return false;
  }
  controller()->startTransmission();
  if (controller()->isTransmitting()) return true;
  emit({.kind = AppEvent::Kind::TalkRefused, .reason = "not connected"});
  *error = "not connected";
  return false;
}

bool WalkieTalkieApp::stopTalking(std::string* error) {
  if (!isTransmitting()) {
    *error = "not transmitting";
    return false;
  }
  controller()->endTransmission();
  return true;
}

bool WalkieTalkieApp::disconnect(std::string* error) {
  if (!_isConnected && _connectedTable.empty()) {
    *error = "not connected to anyone";
    return false;
  }
  controller()->disconnect();
  return true;
}

bool WalkieTalkieApp::setMicGain(double db, std::string* error) {
  if (!(db >= kMinGainDb && db <= kMaxGainDb)) {
    *error = "gain takes decibels from -40 to 40";
    return false;
  }
  if (!compressor()) {
    *error = "no dynamics processor: the gain cannot be set";
    return false;
  }
  compressor()->setMasterGain(float(db));
  return true;
}

double WalkieTalkieApp::micGain() const {
  return compressor() ? compressor()->masterGain() : 0.0;
}

bool WalkieTalkieApp::setOutputVolume(double volume, std::string* error) {
  if (!(volume >= 0 && volume <= 1)) {
    *error = "volume takes a number from 0 to 1";
    return false;
  }
  engine()->setMasterOutputVolume(float(volume));
  return true;
}

double WalkieTalkieApp::outputVolume() const {
  return engine()->masterOutputVolume();
}

void WalkieTalkieApp::shutdown(std::function<void()> done) {
  if (_shutDown) {
    if (done) mainQueue().post(std::move(done));
    return;
  }
  _shutDown = true;
  _gatekeeper->close();
  if (isTransmitting()) controller()->endTransmission();
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  Scheduler::mainThreadScheduler()->afterDelay(kTransmissionDrainSeconds,
                                               [weakSelf, done = std::move(done)]() mutable {
                                                 if (auto self = weakSelf.lock()) {
                                                   self->finishShutdown(std::move(done));
                                                 } else if (done) {
                                                   done();
                                                 }
                                               });
}

void WalkieTalkieApp::finishShutdown(std::function<void()> done) {
  for (auto* timer : {&_audioClockTimer, &_audioHealthTimer}) {
    if (*timer) (*timer)->dispose();
    *timer = nullptr;
  }
  if (_browser) {
    _browser->setNearbyPeersChangedHandler(nullptr);
    _browser->stop();
  }
  // The mDNS goodbye and the Bye leave from other threads: a process that
  // ends at once would take them along, and others would list us for
  // minutes.
  auto multipeer = controller()->multipeerController();
  multipeer->stopAdvertising();
  multipeer->disconnect();
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  Scheduler::mainThreadScheduler()->afterDelay(kGoodbyeSeconds,
                                               [weakSelf, done = std::move(done)]() mutable {
                                                 if (auto self = weakSelf.lock())
                                                   self->_application->shutdown();
                                                 if (done) done();
                                               });
}

float WalkieTalkieApp::inputLevel() const {
  return _inputMeter ? _inputMeter->level() : 0.0f;
}

float WalkieTalkieApp::receivedLevel() const {
  float loudest = 0;
  const auto peers = controller()->connectedPeers();
  for (const auto& [id, peer] : *peers) {
    if (peer && peer->decoder()) loudest = std::max(loudest, peer->decoder()->outputLevel());
  }
  return loudest;
}

const std::shared_ptr<WalkieTalkieController>& WalkieTalkieApp::controller() const {
  return _application->walkieTalkie();
}

const std::shared_ptr<DynamicRangeCompressor>& WalkieTalkieApp::compressor() const {
  return _application->dynamicRangeCompressor();
}

const std::shared_ptr<AudioEngine>& WalkieTalkieApp::engine() const {
  return _application->audioController();
}

}  // namespace qur
