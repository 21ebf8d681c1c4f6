#include "app/cli/run_session.h"

#include <cmath>
#include <cstdio>
#include <iostream>

#include "signals/scheduler.h"

namespace qur::cli {

namespace {

std::string jsonBool(bool value) {
  return value ? "true" : "false";
}

std::string jsonList(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + jsonString(item);
  return "[" + out + "]";
}

std::string textList(const std::vector<std::string>& items, const char* none) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out.empty() ? none : out;
}

}  // namespace

RunSession::RunSession(std::shared_ptr<MainLoop> loop, std::shared_ptr<EventWriter> events,
                       std::shared_ptr<WalkieTalkieApp> app)
    : _loop(std::move(loop)), _events(std::move(events)), _app(std::move(app)) {}

RunSession::~RunSession() {
  if (_subscription) _subscription->dispose();
  cancelTimedTalk();
}

void RunSession::attach() {
  std::weak_ptr<RunSession> weakSelf = weak_from_this();
  _subscription = _app->events().subscribeNext([weakSelf](const AppEvent& event) {
    if (auto self = weakSelf.lock()) self->eventArrived(event);
  });
  refreshStatus();
}

void RunSession::eventArrived(const AppEvent& event) {
  using Kind = AppEvent::Kind;
  const std::string peer = "\"peer\":" + jsonString(event.peer);
  switch (event.kind) {
    case Kind::PeerFound:
      _events->event("peer_found", peer, "peer found: " + event.peer);
      break;
    case Kind::PeerLost:
      _events->event("peer_lost", peer, "peer lost: " + event.peer);
      break;
    case Kind::Invitation: {
      const auto& invitation = event.invitation;
      // Enough of the identifier to tell two inviters of one name apart.
      const std::string shortId = invitation.identifier.substr(0, 8);
      std::string fields = "\"peer\":" + jsonString(invitation.peer) +
                           ",\"policy\":" + jsonString(acceptPolicyName(event.policy));
      if (!shortId.empty()) fields += ",\"identifier\":" + jsonString(shortId);
      if (!invitation.address.empty()) fields += ",\"address\":" + jsonString(invitation.address);
      fields += ",\"fingerprint\":" + jsonString(invitation.fingerprint) +
                ",\"trust\":" + jsonString(invitation.trust);
      std::string from = "invitation from " + invitation.peer;
      if (!shortId.empty() || !invitation.address.empty()) {
        from +=
            " (" + shortId + (invitation.address.empty() ? "" : " at " + invitation.address) + ")";
      }
      from += ", key " + invitation.fingerprint;
      if (invitation.trust == "key changed") {
        from = "WARNING: key changed for " + invitation.peer +
               " (another device may be using the name): " + from;
      } else if (invitation.trust == "new") {
        from += " (new)";
      }
      _events->event(
          "invitation", fields,
          event.policy == AcceptPolicy::Ask ? from + ": type 'accept' or 'decline'" : from);
      break;
    }
    case Kind::InvitationAnswered:
      _events->event(
          "invitation_answered", peer + ",\"accepted\":" + jsonBool(event.value),
          (event.value ? "accepted invitation from " : "declined invitation from ") + event.peer);
      break;
    case Kind::PeerConnected:
      _events->event("peer_connected", peer, "peer connected: " + event.peer);
      break;
    case Kind::PeerDisconnected:
      _events->event("peer_disconnected", peer, "peer disconnected: " + event.peer);
      break;
    case Kind::Connected:
      _events->event("connected", "\"value\":" + jsonBool(event.value),
                     event.value ? "connected" : "not connected");
      break;
    case Kind::PeerTalking:
      _events->event("peer_talking", peer + ",\"value\":" + jsonBool(event.value),
                     event.peer + (event.value ? " is talking" : " stopped talking"));
      break;
    case Kind::Transmitting: {
      std::string fields = "\"value\":" + jsonBool(event.value);
      if (!event.reason.empty()) fields += ",\"reason\":" + jsonString(event.reason);
      _events->event(
          "transmitting", fields,
          event.value ? "transmitting"
                      : "transmission ended" + (event.reason.empty() ? "" : ": " + event.reason));
      if (!event.value && _timedTalk) {
        cancelTimedTalk();
        if (_inputEnded) quit();
      }
      break;
    }
    case Kind::TalkRefused:
      _events->event("talk_refused", "\"reason\":" + jsonString(event.reason),
                     event.reason + ": transmission refused");
      break;
    case Kind::AudioClock:
      _events->event("audio_clock", "\"first_cycle_us\":" + std::to_string(event.firstCycleUs), "");
      break;
    case Kind::AudioStopped:
      _events->event("audio_stopped", "", "the sound device stopped: no audio in or out");
      break;
  }
  refreshStatus();
}

void RunSession::handleLine(const std::string& line) {
  using Kind = RunCommand::Kind;
  const RunCommand command = parseRunCommand(line);
  std::string reason;
  bool done = true;
  switch (command.kind) {
    case Kind::Empty:
      return;
    case Kind::Error:
      return error(command.text);
    case Kind::Peers:
      return listPeers();
    case Kind::Invite:
      done = _app->invite(command.text, &reason);
      break;
    case Kind::Accept:
    case Kind::Decline:
      done = _app->answerInvitation(command.kind == Kind::Accept, 0, &reason);
      break;
    case Kind::TalkOn:
      cancelTimedTalk();
      // A refusal is reported by its own event.
      if (!_app->startTalking(&reason) && _app->isTransmitting()) done = false;
      break;
    case Kind::TalkOff:
      cancelTimedTalk();
      done = _app->stopTalking(&reason);
      break;
    case Kind::TalkFor:
      return talkFor(command.number);
    case Kind::Disconnect:
      cancelTimedTalk();
      done = _app->disconnect(&reason);
      break;
    case Kind::Gain:
      if (!_app->setMicGain(command.number, &reason)) return error(reason);
      return reportStatus();
    case Kind::Volume:
      if (!_app->setOutputVolume(command.number, &reason)) return error(reason);
      return reportStatus();
    case Kind::Status:
      return reportStatus();
    case Kind::Help: {
      std::string text = kRunCommandsHelp;
      text.pop_back();  // the writer ends the line
      _events->event("help", "\"text\":" + jsonString(text), text);
    }
      return;
    case Kind::Quit:
      return quit();
  }
  if (!done) error(reason);
}

void RunSession::inputEnded() {
  _inputEnded = true;
  if (!_timedTalk) quit();
}

void RunSession::quit() {
  cancelTimedTalk();
  _loop->quit();
}

void RunSession::error(const std::string& message) {
  _events->event("error", "\"message\":" + jsonString(message), "error: " + message);
}

void RunSession::listPeers() {
  const auto nearby = _app->nearbyPeers().get();
  const auto connected = _app->connectedPeers().get();
  _events->event(
      "peers", "\"nearby\":" + jsonList(nearby) + ",\"connected\":" + jsonList(connected),
      "nearby: " + textList(nearby, "(none)") + "; connected: " + textList(connected, "(none)"));
}

void RunSession::reportStatus() {
  const AppStatus status = _app->status();
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "\"gain\":%.2f,\"volume\":%.3f", status.gainDb,
                status.volume);
  _events->event("status",
                 "\"connected\":" + jsonBool(status.connected) + ",\"peers\":" +
                     jsonList(status.peers) + ",\"talking\":" + jsonList(status.talking) +
                     ",\"transmitting\":" + jsonBool(status.transmitting) + "," + numbers +
                     ",\"audio\":" + jsonString(status.audioDevice) +
                     ",\"audio_running\":" + jsonBool(status.audioRunning),
                 statusText() + "; gain " + std::to_string(int(std::lround(status.gainDb))) +
                     " dB, volume " + std::to_string(int(std::lround(status.volume * 100))) +
                     "%; sound device " + status.audioDevice);
}

void RunSession::talkFor(double seconds) {
  if (_app->isTransmitting() && !_timedTalk) return error("already transmitting");
  cancelTimedTalk();
  std::string reason;
  if (!_app->isTransmitting() && !_app->startTalking(&reason)) return;
  std::weak_ptr<RunSession> weakSelf = weak_from_this();
  const std::uint64_t generation = ++_talkGeneration;
  _timedTalk = Scheduler::mainThreadScheduler()->afterDelay(seconds, [weakSelf, generation] {
    auto self = weakSelf.lock();
    if (!self || self->_talkGeneration != generation) return;
    self->_timedTalk = nullptr;
    std::string ignored;
    if (self->_app->isTransmitting()) self->_app->stopTalking(&ignored);
    if (self->_inputEnded) self->quit();
  });
}

void RunSession::cancelTimedTalk() {
  ++_talkGeneration;
  if (_timedTalk) _timedTalk->dispose();
  _timedTalk = nullptr;
}

std::string RunSession::statusText() const {
  const AppStatus status = _app->status();
  return "[" +
         (status.peers.empty() ? std::string("not connected")
                               : "connected: " + textList(status.peers, "")) +
         " | talking: " + textList(status.talking, "nobody") +
         " | transmitting: " + (status.transmitting ? "yes" : "no") +
         " | audio: " + (status.audioRunning ? "on" : "off") + "]";
}

void RunSession::refreshStatus() {
  _events->setStatus(statusText());
}

}  // namespace qur::cli
