#include "ui/app_bridge.h"

#include "analytics/analytics_tracker.h"
#include "app/app_event_lines.h"
#include "app/application.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"
#include "signals/signal_operators.h"

namespace qur {

namespace {

ConnectedPeerInfo peerInfo(const PeerID& id, WalkieTalkiePeer& peer) {
  const std::string name = id.displayName();
  return ConnectedPeerInfo{name, id.identifierString(), peer.transmitting(),
                           peer.linkReports().map([name](const LinkReport& r) {
                             return PeerLink{
                                 name,       r.jitterMeanMs, r.jitterP95Ms,    r.lossFraction,
                                 r.targetMs, r.concealed,    r.recoveredByFec, r.endOfTransmission};
                           })};
}

}  // namespace

// ---- AppBridge -------------------------------------------------------------

AppBridge::AppBridge(std::shared_ptr<WalkieTalkieApp> app)
    : _app(std::move(app)), _controller(_app->controller()) {
  const std::weak_ptr<WalkieTalkieApp> weakApp = _app;
  _disconnect =
      std::make_shared<Command<Unit>>(_controller->connectedValues(), [weakApp](const Unit&) {
        return Signal<Unit>::create([weakApp](const SubscriberPtr<Unit>& subscriber) {
          std::string ignored;  // nobody left to disconnect from is no news
          if (auto app = weakApp.lock()) app->disconnect(&ignored);
          subscriber->sendCompleted();
          return DisposablePtr();
        });
      });
}

AppBridge::AppBridge(std::shared_ptr<WalkieTalkieController> controller)
    : _controller(std::move(controller)), _disconnect(_controller->disconnectCommand()) {}

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
  return peerInfo(peer->peerID(), *peer);
}

std::vector<ConnectedPeerInfo> AppBridge::connectedPeers() const {
  std::vector<ConnectedPeerInfo> peers;
  const auto table = _controller->connectedPeers();
  if (!table) return peers;
  for (const auto& [id, peer] : *table) peers.push_back(peerInfo(id, *peer));
  return peers;
}

std::shared_ptr<Command<Unit>> AppBridge::disconnectCommand() const {
  return _disconnect;
}

void AppBridge::setTransmitting(bool transmitting) {
  if (!_app) return _controller->setTransmitting(transmitting);
  // Refusals are the application's events; the screen shows the state.
  std::string ignored;
  if (transmitting) {
    if (!_app->isTransmitting()) _app->startTalking(&ignored);
  } else if (_app->isTransmitting()) {
    _app->stopTalking(&ignored);
  }
}

bool AppBridge::isTransmitting() const {
  return _app ? _app->isTransmitting() : _controller->isTransmitting();
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

std::optional<PeerListSource> AppBridge::peerListSource(std::function<void()> finish) const {
  if (!_app) return std::nullopt;
  const std::weak_ptr<WalkieTalkieApp> weakApp = _app;
  PeerListSource source;
  source.nearby = _app->nearbyDevices().values();
  source.connected = _app->connectedPeers().values();
  source.events = _app->events();
  source.invite = [weakApp](const std::string& identifier, std::string* error) {
    auto app = weakApp.lock();
    if (!app) {
      *error = "the walkie-talkie has stopped";
      return false;
    }
    return app->invite(identifier, error);
  };
  source.confirm = [weakApp](std::string* error) {
    auto app = weakApp.lock();
    if (!app) {
      *error = "the walkie-talkie has stopped";
      return false;
    }
    return app->confirmInvite(error);
  };
  source.withdraw = [weakApp](const std::string& identifier) {
    std::string ignored;  // an answer on its way meanwhile is no news
    if (auto app = weakApp.lock()) app->withdrawInvitation(identifier, &ignored);
  };
  source.finish = std::move(finish);
  source.identity = identityText(QString::fromStdString(_app->localName()),
                                 QString::fromStdString(_app->localFingerprint()))
                        .toStdString();
  return source;
}

std::string AppBridge::localName() const {
  return _app ? _app->localName() : _controller->multipeerController()->peerID().displayName();
}

std::string AppBridge::localFingerprint() const {
  return _app ? _app->localFingerprint() : std::string();
}

std::optional<Signal<AppEvent>> AppBridge::events() const {
  if (!_app) return std::nullopt;
  return _app->events();
}

bool AppBridge::isAudioRunning() const {
  return !_app || _app->status().audioRunning;
}

Signal<bool> AppBridge::anyPeerTalking() const {
  if (!_app) return Signal<bool>::just(false);
  return _app->talkingPeers().values().map(
      [](const std::vector<std::string>& talking) { return !talking.empty(); });
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

QString identityText(const QString& name, const QString& fingerprint) {
  if (fingerprint.isEmpty()) return QObject::tr("You are %1").arg(name);
  return QObject::tr("You are %1 · key %2").arg(name, fingerprint);
}

// ---- options -----------------------------------------------------------------

const char* launchHelpText() {
  return "usage: qur-wtalkie [options]\n"
         "\n"
         "The walkie-talkie window: hold the round button or Space to talk to the\n"
         "connected peers; 'Connect' lists nearby devices to invite.\n"
         "\n"
         "options:\n"
         "  --name NAME           name other devices see (default: the host name)\n"
         "  --audio portaudio[:DEVICE]\n"
         "                        a real sound device (default: the system's)\n"
         "  --audio virtual       a device without hardware, in real time\n"
         "  --mic FILE.wav        virtual microphone, looped (implies --audio virtual)\n"
         "  --mic-from-talk       the microphone file starts over at every transmission\n"
         "  --speaker FILE.wav    record everything played (implies --audio virtual)\n"
         "  --accept ask|auto|never\n"
         "                        invitations and introduced devices: ask in a dialog\n"
         "                        (default), accept known and new keys (a changed key\n"
         "                        or a look-alike name is asked about), or decline all\n"
         "  --interface IFACE     discover peers on this network interface only\n"
         "  --voice-processing on|off\n"
         "                        echo cancellation and noise suppression on the\n"
         "                        microphone (default: on with a sound device)\n"
         "  --frame-ms 10|20|40|60\n"
         "                        length of the voice packets sent (default 20)\n"
         "  --events json         one JSON object per line on standard output per event,\n"
         "                        the same events as 'qur-wtalkie-cli run --events json'\n"
         "  --minimized           start in the tray\n"
         "  --playground          the talk button alone, with keys that fire its pulses\n"
         "  --version             the version\n"
         "  --help                this text\n"
         "\n"
         "Qt's own options (-platform, -display, ...) follow ours.\n";
}

bool takeFlag(std::vector<std::string>& args, const std::string& flag) {
  bool found = false;
  for (auto it = args.begin() + (args.empty() ? 0 : 1); it != args.end();) {
    if (*it == flag) {
      found = true;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  return found;
}

// ---- CoreLauncher --------------------------------------------------------------

CoreLauncher::CoreLauncher(ParsedRunOptions options) : _options(std::move(options)) {}

CoreLauncher::~CoreLauncher() {
  if (_subscription) _subscription->dispose();
}

void CoreLauncher::setInvitationPrompt(InvitationPrompt prompt) {
  _prompt = std::move(prompt);
}

void CoreLauncher::setClosePrompt(std::function<void(std::uint64_t)> close) {
  _closePrompt = std::move(close);
}

void CoreLauncher::setMessageHandler(std::function<void(const std::string&)> show) {
  _showMessage = std::move(show);
}

bool CoreLauncher::launch(std::string* error) {
  RunOptions options = _options.run;
  options.installLoggers = true;
  // A window without sound still shows who is near and lets peers connect;
  // "ready" says audio did not start.
  options.continueWithoutAudio = true;
  StartError startError;
  _app = WalkieTalkieApp::start(std::move(options), &startError);
  if (!_app) {
    *error = startError.message;
    return false;
  }
  // Nothing but JSON on standard output: scripts read it.
  if (_options.jsonEvents) _writer = std::make_unique<EventWriter>(true);
  if (_writer) {
    const EventLine ready = readyEventLine(*_app);
    _writer->event(ready.name, ready.fields, ready.text);
  }
  _subscription =
      _app->events().subscribeNext([this](const AppEvent& event) { eventArrived(event); });
  return true;
}

void CoreLauncher::eventArrived(const AppEvent& event) {
  const EventLine line = appEventLine(event);
  if (_writer) _writer->event(line.name, line.fields, line.text);
  // One question at a time: the first waiting one, then each in turn.
  const bool asked = (event.kind == AppEvent::Kind::Invitation &&
                      event.policy == AcceptPolicy::Ask && event.invitation.waiting == 0) ||
                     event.kind == AppEvent::Kind::InvitationShown;
  if (asked && _prompt) {
    const std::uint64_t id = event.invitation.id;
    _openPrompts.insert(id);
    const std::weak_ptr<WalkieTalkieApp> weakApp = _app;
    _prompt(event.invitation, [weakApp, id, show = _showMessage](bool accept) {
      auto app = weakApp.lock();
      std::string reason;
      if (app && !app->answerInvitation(accept, id, &reason) && show) show(reason);
    });
  }
  // How our own invitations end the screen tells itself; this is for the
  // ones we were asked, and for a key replaced at start.
  if (((event.kind == AppEvent::Kind::InvitationResult && event.value) ||
       event.kind == AppEvent::Kind::KeyReplaced) &&
      _showMessage)
    _showMessage(line.text);
  // A question answered here or gone stays open no longer.
  const bool ended = event.kind == AppEvent::Kind::InvitationAnswered ||
                     (event.kind == AppEvent::Kind::InvitationResult && event.value);
  if (ended && _openPrompts.erase(event.invitation.id) && _closePrompt) {
    _closePrompt(event.invitation.id);
  }
}

std::unique_ptr<AppBridge> CoreLauncher::makeBridge() const {
  if (!_app) return nullptr;
  return std::make_unique<AppBridge>(_app);
}

void CoreLauncher::shutdown(std::function<void()> done) {
  if (!_app) {
    if (done) done();
    return;
  }
  _app->shutdown(std::move(done));
}

}  // namespace qur
