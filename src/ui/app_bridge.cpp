#include "ui/app_bridge.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "analytics/analytics_tracker.h"
#include "app/application.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_device.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "log/log.h"
#include "peers/advertiser.h"
#include "peers/device_identity.h"
#include "peers/discovery.h"
#include "peers/known_peers.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"
#include "signals/signal_operators.h"

namespace qur {

// ---- AppBridge -------------------------------------------------------------

AppBridge::AppBridge(std::shared_ptr<WalkieTalkieController> controller)
    : _controller(std::move(controller)) {}

Signal<bool> AppBridge::connectedValues() const {
  return _controller->connectedValues();
}

Signal<std::size_t> AppBridge::connectedPeersCount() const {
  return _controller->connectedPeersCountSignal();
}

std::size_t AppBridge::connectedPeerCount() const {
  return _controller->connectedPeers()->size();
}

std::optional<ConnectedPeerInfo> AppBridge::firstConnectedPeer() const {
  const auto table = _controller->connectedPeers();
  if (!table || table->empty()) return std::nullopt;
  const auto& peer = table->begin()->second;
  return ConnectedPeerInfo{peer->peerID().displayName(), peer->transmitting()};
}

std::shared_ptr<Command<Unit>> AppBridge::disconnectCommand() const {
  return _controller->disconnectCommand();
}

void AppBridge::setTransmitting(bool transmitting) {
  _controller->setTransmitting(transmitting);
}
bool AppBridge::isTransmitting() const {
  return _controller->isTransmitting();
}
Signal<bool> AppBridge::transmittingValues() const {
  return _controller->transmittingValues();
}

void AppBridge::toggleAdvertisingWithSignal(const Signal<bool>& advertise) {
  _controller->multipeerController()->toggleAdvertisingWithSignal(advertise);
}

std::shared_ptr<PeerBrowser> AppBridge::peerBrowser() const {
  return _controller->multipeerController()->browserViewController();
}

std::string AppBridge::localName() const {
  return _controller->multipeerController()->peerID().displayName();
}

void AppBridge::setScreenName(const std::string& name) {
  AnalyticsTracker::sharedInstance().setScreenName(name);
}
void AppBridge::trackScreenView() {
  AnalyticsTracker::sharedInstance().trackScreenView();
}
void AppBridge::trackEvent(const std::string& category, const std::string& action,
                           const std::string& label, std::optional<std::int64_t> value) {
  AnalyticsTracker::sharedInstance().trackEvent(category, action, label, value);
}

// ---- options -----------------------------------------------------------------

const char* launchHelpText() {
  return "usage: qur-wtalkie [options]\n"
         "\n"
         "The walkie-talkie window: hold the round button or Space to talk to the\n"
         "connected peer; 'Connect' lists nearby devices to invite.\n"
         "\n"
         "options:\n"
         "  --name NAME           name other devices see (default: the host name)\n"
         "  --audio portaudio[:DEVICE]\n"
         "                        a real sound device (default: the system's)\n"
         "  --audio virtual       a device without hardware, in real time\n"
         "  --mic FILE.wav        virtual microphone, looped (implies --audio virtual)\n"
         "  --speaker FILE.wav    record everything played (implies --audio virtual)\n"
         "  --accept ask|auto|never\n"
         "                        invitations: ask in a dialog (default), accept all,\n"
         "                        or decline all\n"
         "  --interface IFACE     discover peers on this network interface only\n"
         "  --events json         one JSON object per line on standard output per event\n"
         "  --help                this text\n"
         "\n"
         "Qt's own options (-platform, -display, ...) follow ours.\n";
}

std::optional<LaunchOptions> parseLaunchOptions(std::vector<std::string>& args,
                                                std::string* error) {
  static const std::vector<std::string> valued = {"--name",      "--audio",  "--mic",   "--speaker",
                                                  "--interface", "--accept", "--events"};
  LaunchOptions options;
  std::vector<std::string> rest;
  auto fail = [&](const std::string& message) -> std::optional<LaunchOptions> {
    if (error) *error = message;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (i == 0) {
      rest.push_back(arg);
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    // Qt reads single-dash options; ours are taken in either spelling first.
    std::string key = arg;
    std::optional<std::string> inlineValue;
    if (const auto eq = key.find('='); eq != std::string::npos) {
      inlineValue = key.substr(eq + 1);
      key = key.substr(0, eq);
    }
    if (key.size() > 1 && key[0] == '-' && key[1] != '-') key = "-" + key;
    const bool ours = std::find(valued.begin(), valued.end(), key) != valued.end();
    if (!ours) {
      rest.push_back(arg);
      continue;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return fail(key + " needs a value");
    }
    if (key == "--name") options.name = value;
    if (key == "--audio") options.audio = value;
    if (key == "--mic") options.micFile = value;
    if (key == "--speaker") options.speakerFile = value;
    if (key == "--interface") options.interface = value;
    if (key == "--events") {
      if (value != "json") return fail("--events takes 'json'");
      options.jsonEvents = true;
    }
    if (key == "--accept") {
      if (value == "ask") {
        options.accept = LaunchOptions::AcceptPolicy::Ask;
      } else if (value == "auto") {
        options.accept = LaunchOptions::AcceptPolicy::Auto;
      } else if (value == "never") {
        options.accept = LaunchOptions::AcceptPolicy::Never;
      } else {
        return fail("--accept takes ask, auto or never");
      }
    }
  }
  if (options.audio.empty() && (!options.micFile.empty() || !options.speakerFile.empty())) {
    options.audio = "virtual";
  }
  if (options.audio != "virtual" && (!options.micFile.empty() || !options.speakerFile.empty())) {
    return fail("--mic and --speaker need --audio virtual");
  }
  if (!options.audio.empty() && options.audio != "virtual" &&
      options.audio.rfind("portaudio", 0) != 0) {
    return fail("unknown audio device '" + options.audio + "': use portaudio[:DEVICE] or virtual");
  }
  args = std::move(rest);
  return options;
}

// ---- CoreLauncher --------------------------------------------------------------

struct CoreLauncher::State : std::enable_shared_from_this<CoreLauncher::State> {
  LaunchOptions options;
  std::unique_ptr<Application> application;
  InvitationPrompt prompt;
  // Keys the user accepted, by name (the device's configuration folder).
  KnownPeers knownPeers;
  std::mutex writeMutex;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::vector<DisposablePtr> subscriptions;

  void event(const std::string& name, const std::string& fields) {
    if (!options.jsonEvents) return;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", t);
    std::string line = "{\"event\":\"" + AnalyticsTracker::jsonEscape(name) +
                       "\",\"t\":" + seconds + ",\"time_ms\":" + std::to_string(wall);
    if (!fields.empty()) line += "," + fields;
    line += "}\n";
    std::lock_guard lock(writeMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  // Main thread.
  void invitationArrived(const std::string& peer, const peers::Identifier& identifier,
                         std::function<void(bool)> reply) {
    auto accept = options.accept;
    const KeyTrust trust = knownPeers.lookup(peer, identifier);
    const std::string fingerprint = peers::fingerprintForIdentifier(identifier);
    // Someone else may be using the name: only the user may let it in.
    if (trust == KeyTrust::KeyChanged) {
      QUR_LOG_ERROR("Key changed for %s: it now has fingerprint %s, not the pinned key",
                    peer.c_str(), fingerprint.c_str());
      if (accept == LaunchOptions::AcceptPolicy::Auto) accept = LaunchOptions::AcceptPolicy::Ask;
    }
    const char* policy = accept == LaunchOptions::AcceptPolicy::Auto    ? "auto"
                         : accept == LaunchOptions::AcceptPolicy::Never ? "never"
                                                                        : "ask";
    const char* trustName = trust == KeyTrust::Match        ? "known"
                            : trust == KeyTrust::KeyChanged ? "key changed"
                                                            : "new";
    event("invitation", "\"peer\":" + quoted(peer) + ",\"policy\":\"" + policy +
                            "\",\"fingerprint\":" + quoted(fingerprint) + ",\"trust\":\"" +
                            trustName + "\"");
    std::weak_ptr<State> weakSelf = weak_from_this();
    auto answer = [weakSelf, peer, identifier, pinned = trust == KeyTrust::Match,
                   reply = std::move(reply), answered = false](bool accept) mutable {
      // A prompt that answers twice must not reply twice.
      if (answered) return;
      answered = true;
      if (auto self = weakSelf.lock()) {
        self->event("invitation_answered",
                    "\"peer\":" + quoted(peer) + ",\"accepted\":" + (accept ? "true" : "false"));
        // Accepting is trusting this key for the name from now on.
        if (accept && !pinned) self->knownPeers.pin(peer, identifier);
      }
      reply(accept);
    };
    if (accept == LaunchOptions::AcceptPolicy::Ask && prompt) {
      const std::string shown =
          trust == KeyTrust::KeyChanged
              ? peer + " (WARNING: key changed, now " + fingerprint + ")"
              : peer + " (key " + fingerprint + (trust == KeyTrust::Match ? ")" : ", new)");
      prompt(shown, std::move(answer));
      return;
    }
    // Nobody to ask about a changed key: it stays out.
    answer(trust != KeyTrust::KeyChanged && accept != LaunchOptions::AcceptPolicy::Never);
  }

  static std::string quoted(const std::string& text) {
    return "\"" + AnalyticsTracker::jsonEscape(text) + "\"";
  }
};

CoreLauncher::CoreLauncher(LaunchOptions options) : _state(std::make_shared<State>()) {
  _state->options = std::move(options);
}

CoreLauncher::~CoreLauncher() {
  for (auto& subscription : _state->subscriptions) subscription->dispose();
  Advertiser::setDefaultInvitationHandler(nullptr);
}

void CoreLauncher::setInvitationPrompt(InvitationPrompt prompt) {
  _state->prompt = std::move(prompt);
}

void CoreLauncher::event(const std::string& name, const std::string& fields) {
  _state->event(name, fields);
}

bool CoreLauncher::launch(std::string* error) {
  const LaunchOptions& options = _state->options;
  std::unique_ptr<AudioDevice> device;
  if (options.audio == "virtual") {
    VirtualDeviceOptions virtualOptions;
    virtualOptions.clock = VirtualDeviceOptions::Clock::RealTime;
    if (!options.micFile.empty()) {
      if (access(options.micFile.c_str(), R_OK) != 0) {
        *error = "cannot read microphone file " + options.micFile;
        return false;
      }
      virtualOptions.input = VirtualDeviceOptions::Input::WavFile;
      virtualOptions.inputFile = options.micFile;
      virtualOptions.loopInputFile = true;
    }
    if (!options.speakerFile.empty()) {
      virtualOptions.output = VirtualDeviceOptions::Output::WavFile;
      virtualOptions.outputFile = options.speakerFile;
    }
    device = std::make_unique<VirtualDevice>(virtualOptions);
  } else if (!options.audio.empty()) {
    std::string reason;
    auto choice = parseAudioDeviceChoice(options.audio, &reason);
    if (!choice) {
      *error = "unknown audio device '" + options.audio + "': " + reason;
      return false;
    }
    device = createAudioDevice(*choice);
  }
  if (!options.interface.empty()) {
    DiscoveryOptions discovery;
    discovery.allowInterfaces = {options.interface};
    Discovery::configure(discovery);
  }

  std::weak_ptr<State> weakState = _state;
  Advertiser::setDefaultInvitationHandler(
      [weakState](const PeerID& peer, std::function<void(bool)> reply) {
        auto state = weakState.lock();
        if (!state) return reply(false);
        // Transport thread: the answer is given on the main thread.
        mainQueue().post([weakState, name = peer.displayName(), identifier = peer.identifier(),
                          reply = std::move(reply)]() mutable {
          if (auto state = weakState.lock()) {
            state->invitationArrived(name, identifier, std::move(reply));
          } else {
            reply(false);
          }
        });
      });

  Application::Options appOptions;
  appOptions.identity = DeviceIdentity::loadOrCreate();
  if (!appOptions.identity) {
    *error = "cannot load or store the device key (see the log above)";
    return false;
  }
  appOptions.peerName = options.name;
  appOptions.audioDevice = std::move(device);
  _state->application = std::make_unique<Application>(std::move(appOptions));
  _state->application->launch();
  auto controller = _state->application->walkieTalkie();
  if (!controller) {
    *error = "could not start the walkie-talkie (see the log above)";
    return false;
  }
  auto engine = _state->application->audioController();
  const std::string name = controller->multipeerController()->peerID().displayName();
  _state->event(
      "ready",
      "\"name\":" + State::quoted(name) +
          ",\"audio\":" + State::quoted(engine->device() ? engine->device()->name() : "none") +
          ",\"audio_started\":" + (_state->application->audioStarted() ? "true" : "false"));
  if (_state->options.jsonEvents) {
    auto state = _state.get();
    _state->subscriptions.push_back(
        controller->connectedValues().distinctUntilChanged().skip(1).subscribeNext(
            [state](const bool& connected) {
              state->event("connected", std::string("\"value\":") + (connected ? "true" : "false"));
            }));
    _state->subscriptions.push_back(
        controller->transmittingValues().distinctUntilChanged().skip(1).subscribeNext(
            [state](const bool& transmitting) {
              state->event("transmitting",
                           std::string("\"value\":") + (transmitting ? "true" : "false"));
            }));
  }
  return true;
}

std::unique_ptr<AppBridge> CoreLauncher::makeBridge() const {
  if (!_state->application || !_state->application->walkieTalkie()) return nullptr;
  return std::make_unique<AppBridge>(_state->application->walkieTalkie());
}

void CoreLauncher::shutdown() {
  if (_state->application) _state->application->shutdown();
}

}  // namespace qur
