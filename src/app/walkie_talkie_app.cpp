#include "app/walkie_talkie_app.h"

#include <net/if.h>

#include <algorithm>
#include <cstdlib>

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
#include "peers/known_peers.h"
#include "peers/peer_browser.h"
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

StartError usage(std::string message) {
  return {StartError::Kind::Usage, std::move(message)};
}

StartError failure(std::string message) {
  return {StartError::Kind::Failure, std::move(message)};
}

}  // namespace

const char* acceptPolicyName(AcceptPolicy policy) {
  switch (policy) {
    case AcceptPolicy::Auto:
      return "auto";
    case AcceptPolicy::Never:
      return "never";
    case AcceptPolicy::Ask:
      break;
  }
  return "ask";
}

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
  // Unanswered invitations are declined rather than left hanging.
  for (auto& pending : _pendingTable) pending.reply(false);
}

bool WalkieTalkieApp::launch(RunOptions options, StartError* error) {
  _options = std::move(options);
  if (_options.mainQueue) setMainQueue(_options.mainQueue);

  // A name cut or cleaned without notice would not be the one the user
  // tells others to look for.
  if (_options.name.size() > peers::kMaxDisplayNameBytes) {
    *error = usage("--name is " + std::to_string(_options.name.size()) + " bytes long; at most " +
                   std::to_string(peers::kMaxDisplayNameBytes) + " are allowed");
    return false;
  }
  if (!_options.name.empty() && peers::sanitizeDisplayName(_options.name) != _options.name) {
    *error = usage("--name may not hold control characters or invalid UTF-8");
    return false;
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

  auto identity = DeviceIdentity::loadOrCreate(_options.configDirectory);
  if (!identity) {
    *error = failure("cannot load or store the device key (the log says why)");
    return false;
  }
  _knownPeers = std::make_unique<KnownPeers>(_options.configDirectory);
  Application::Options appOptions;
  appOptions.peerName = _options.name;
  appOptions.identity = std::move(identity);
  appOptions.audioDevice = std::move(device);
  appOptions.voiceProcessing = _options.voiceProcessing;
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

  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  controller->multipeerController()->setInvitationHandler(
      [weakSelf](const PeerID& peer, std::function<void(bool)> reply) {
        auto self = weakSelf.lock();
        if (!self) return reply(false);
        // Read here: the session forgets the address once the invitation ends.
        const auto details = self->controller()->multipeerController()->pendingInvitation(peer);
        self->post([peer, details, reply = std::move(reply)](WalkieTalkieApp& app) mutable {
          app.invitationArrived(peer, details ? details->address : std::string(), std::move(reply));
        });
      });
  controller->multipeerController()->startAdvertising();
  if (engine()->inputEnabled()) {
    _inputMeter = std::make_shared<InputLevelMeter>(engine()->audioDescription());
    engine()->addInputReceiver(_inputMeter);
  }
  attach();
  return true;
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
          auto subscription = peer->transmitting().subscribeNext([weakSelf, id](const bool& t) {
            if (auto self = weakSelf.lock())
              self->post([id, t](WalkieTalkieApp& app) { app.peerTalking(id, t); });
          });
          // The peer's signal ends with the peer; this only frees the
          // subscription with the application.
          self->post(
              [subscription](WalkieTalkieApp& app) { app._subscriptions.push_back(subscription); });
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
          app.invitationEnded(result.peer, result.invitedUs, invitationOutcomeKey(result.outcome));
        });
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
  // Without a screen that admits one peer at a time, the session may gather
  // as many as it holds.
  _browser->setMaximumNumberOfPeers(PeerSession::kMaximumPeers);
  std::weak_ptr<WalkieTalkieApp> weakSelf = weak_from_this();
  _browser->setNearbyPeersChangedHandler([weakSelf](const std::vector<NearbyPeer>& nearby) {
    auto self = weakSelf.lock();
    if (!self) return;
    std::vector<std::pair<PeerID, std::string>> list;
    for (const auto& peer : nearby) list.emplace_back(peer.peer, peer.peer.displayName());
    self->post([list = std::move(list)](WalkieTalkieApp& app) { app.nearbyChanged(list); });
  });
  _browser->start();
  // Read on a later turn of the loop, never inside start(): a device already
  // known to the responder may be listed at once, and its event must reach
  // whoever subscribes right after start() returns.
  post([browser](WalkieTalkieApp& app) {
    if (app._browser != browser) return;
    std::vector<std::pair<PeerID, std::string>> list;
    for (const auto& peer : browser->nearbyPeers())
      list.emplace_back(peer.peer, peer.peer.displayName());
    app.nearbyChanged(list);
  });
}

void WalkieTalkieApp::nearbyChanged(const std::vector<std::pair<PeerID, std::string>>& nearby) {
  auto contains = [](const std::vector<std::pair<PeerID, std::string>>& table, const PeerID& id) {
    return std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.first == id; });
  };
  const auto previous = std::move(_nearbyTable);
  _nearbyTable = nearby;
  // The advertised identifier is the key's hash: the fingerprint is known
  // before any connection, to compare with the one an invitation shows.
  for (const auto& [id, name] : nearby) {
    if (!contains(previous, id)) {
      emit({.kind = AppEvent::Kind::PeerFound,
            .peer = name,
            .fingerprint = peers::fingerprintForIdentifier(id.identifier())});
    }
  }
  for (const auto& [id, name] : previous) {
    if (!contains(nearby, id)) {
      emit({.kind = AppEvent::Kind::PeerLost,
            .peer = name,
            .fingerprint = peers::fingerprintForIdentifier(id.identifier())});
    }
  }
  _nearby.set(names(_nearbyTable));
}

std::string WalkieTalkieApp::fingerprintOf(const std::string& name) const {
  // A connected device first: its key was proven, not only advertised.
  for (const auto* table : {&_connectedTable, &_nearbyTable}) {
    for (const auto& [id, shown] : *table) {
      if (shown == name) return peers::fingerprintForIdentifier(id.identifier());
    }
  }
  return {};
}

void WalkieTalkieApp::invitationArrived(const PeerID& peer, const std::string& address,
                                        std::function<void(bool)> reply) {
  if (_shutDown) return reply(false);
  _goneInvitation.clear();
  Invitation invitation;
  invitation.id = _nextInvitationId++;
  invitation.peer = peer.displayName();
  invitation.identifier = peer.identifierString();
  invitation.address = address;
  invitation.fingerprint = peers::fingerprintForIdentifier(peer.identifier());
  const KeyTrust trust = _knownPeers->lookup(peer.displayName(), peer.identifier());
  invitation.trust = trust == KeyTrust::Match        ? "known"
                     : trust == KeyTrust::KeyChanged ? "key changed"
                                                     : "new";
  // Someone else may be using the name: the user must look before anyone gets in.
  AcceptPolicy policy = _options.accept;
  if (trust == KeyTrust::KeyChanged) {
    QUR_LOG_ERROR("Key changed for %s: it now has fingerprint %s, not the pinned key",
                  peer.displayName().c_str(), invitation.fingerprint.c_str());
    if (policy == AcceptPolicy::Auto) policy = AcceptPolicy::Ask;
  }
  emit({.kind = AppEvent::Kind::Invitation, .invitation = invitation, .policy = policy});
  // One question at a time: a newer invitation declines an unanswered one.
  if (policy == AcceptPolicy::Ask) {
    while (!_pendingTable.empty()) answer(0, false);
  }
  _pendingTable.push_back({invitation, std::move(reply)});
  if (policy != AcceptPolicy::Ask) {
    answer(_pendingTable.size() - 1, policy == AcceptPolicy::Auto);
    return;
  }
  std::vector<Invitation> pending;
  for (const auto& item : _pendingTable) pending.push_back(item.invitation);
  _pending.set(pending);
}

void WalkieTalkieApp::answer(std::size_t index, bool accept) {
  auto pending = std::move(_pendingTable[index]);
  _pendingTable.erase(_pendingTable.begin() + std::ptrdiff_t(index));
  std::vector<Invitation> remaining;
  for (const auto& item : _pendingTable) remaining.push_back(item.invitation);
  _pending.set(remaining);
  emit({.kind = AppEvent::Kind::InvitationAnswered,
        .peer = pending.invitation.peer,
        .value = accept,
        .invitation = pending.invitation});
  // Accepting is trusting this key for the name from now on.
  if (accept && pending.invitation.trust != "known") {
    if (auto id = peers::identifierFromHex(pending.invitation.identifier))
      _knownPeers->pin(pending.invitation.peer, *id);
  }
  pending.reply(accept);
}

bool WalkieTalkieApp::answerInvitation(bool accept, std::uint64_t id, std::string* error) {
  if (_pendingTable.empty()) {
    *error = _goneInvitation.empty() ? "no invitation to answer" : _goneInvitation;
    return false;
  }
  std::size_t index = _pendingTable.size() - 1;
  if (id != 0) {
    const auto it = std::find_if(_pendingTable.begin(), _pendingTable.end(),
                                 [&](const auto& item) { return item.invitation.id == id; });
    if (it == _pendingTable.end()) {
      *error = "that invitation is no longer pending";
      return false;
    }
    index = std::size_t(it - _pendingTable.begin());
  }
  answer(index, accept);
  return true;
}

void WalkieTalkieApp::invitationEnded(const PeerID& peer, bool invitedUs,
                                      const std::string& outcome) {
  if (_shutDown) return;
  if (!invitedUs) {
    emit({.kind = AppEvent::Kind::InvitationResult, .peer = peer.displayName(), .reason = outcome});
    return;
  }
  // Our own answers were told when given; only an invitation that ended
  // while it waited for the user is news.
  if (outcome == "accepted" || outcome == "declined") return;
  const std::string identifier = peer.identifierString();
  const auto it = std::find_if(_pendingTable.begin(), _pendingTable.end(), [&](const auto& item) {
    return item.invitation.identifier == identifier;
  });
  if (it == _pendingTable.end()) return;
  const Invitation invitation = it->invitation;
  _pendingTable.erase(it);
  std::vector<Invitation> remaining;
  for (const auto& item : _pendingTable) remaining.push_back(item.invitation);
  _pending.set(remaining);
  _goneInvitation =
      "the invitation from " + peer.displayName() + " is gone: it " + invitationEndWords(outcome);
  emit({.kind = AppEvent::Kind::InvitationResult,
        .peer = peer.displayName(),
        .value = true,
        .reason = outcome,
        .invitation = invitation});
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
    emit({.kind = AppEvent::Kind::PeerDisconnected, .peer = name});
  }
  for (const auto& [id, name] : peers) {
    if (!contains(previous, id)) emit({.kind = AppEvent::Kind::PeerConnected, .peer = name});
  }
  _connectedPeers.set(names(_connectedTable));
  std::vector<std::string> talking;
  for (const auto& id : _talkingTable) talking.push_back(id.displayName());
  _talking.set(talking);
}

void WalkieTalkieApp::peerTalking(const PeerID& peer, bool talking) {
  const auto it = std::find(_talkingTable.begin(), _talkingTable.end(), peer);
  if (talking && it == _talkingTable.end()) _talkingTable.push_back(peer);
  if (!talking && it != _talkingTable.end()) _talkingTable.erase(it);
  emit({.kind = AppEvent::Kind::PeerTalking, .peer = peer.displayName(), .value = talking});
  std::vector<std::string> names;
  for (const auto& id : _talkingTable) names.push_back(id.displayName());
  _talking.set(names);
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
  return status;
}

bool WalkieTalkieApp::invite(const std::string& peerName, std::string* error) {
  if (!_browser) {
    *error = "not browsing for peers";
    return false;
  }
  // The newest announcement wins: a device that restarted under the same
  // name may still be listed under its old identity for a while.
  std::optional<PeerID> target;
  for (const auto& nearby : _browser->nearbyPeers()) {
    if (nearby.peer.displayName() == peerName) target = nearby.peer;
  }
  if (!target) {
    *error = "no nearby peer named '" + peerName + "' (try 'peers')";
    return false;
  }
  if (!_browser->invite(*target)) {
    *error = "could not invite '" + peerName + "'";
    return false;
  }
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
  for (auto& pending : _pendingTable) pending.reply(false);
  _pendingTable.clear();
  _pending.set({});
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
