#include "app/cli/run_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <set>

#include "app/app_event_lines.h"
#include "signals/scheduler.h"

namespace qur::cli {

namespace {

std::string jsonBool(bool value) {
  return value ? "true" : "false";
}

std::string jsonList(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ',';
    out += jsonString(item);
  }
  return "[" + out + "]";
}

std::string textList(const std::vector<std::string>& items, const char* none) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out.empty() ? none : out;
}

// How often the running time and the meters move while someone talks.
constexpr double kMeterSeconds = 0.1;
constexpr int kMeterCells = 10;
constexpr double kMeterFloorDb = -50;

// A level as a bar of cells on a decibel scale: speech fills about half.
std::string meter(float level) {
  const double db = level > 0 ? 20 * std::log10(double(level)) : kMeterFloorDb;
  const int filled = std::clamp(
      int(std::lround((db - kMeterFloorDb) / -kMeterFloorDb * kMeterCells)), 0, kMeterCells);
  std::string out;
  for (int i = 0; i < kMeterCells; ++i) out += i < filled ? "\u2588" : "\u2591";
  return out;
}

}  // namespace

RunSession::RunSession(std::shared_ptr<MainLoop> loop, std::shared_ptr<EventWriter> events,
                       std::shared_ptr<WalkieTalkieApp> app)
    : _loop(std::move(loop)), _events(std::move(events)), _app(std::move(app)) {}

RunSession::~RunSession() {
  if (_subscription) _subscription->dispose();
  if (_meterTimer) _meterTimer->dispose();
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
  const EventLine line = appEventLine(event);
  _events->event(line.name, line.fields, line.text);
  if (event.kind == AppEvent::Kind::Transmitting && event.value) {
    _transmissionStart = std::chrono::steady_clock::now();
  }
  if (event.kind == AppEvent::Kind::Transmitting && !event.value && _timedTalk) {
    cancelTimedTalk();
    if (_inputEnded) quit();
  }
  // The application updates its state after telling of the change.
  std::weak_ptr<RunSession> weakSelf = weak_from_this();
  mainQueue().post([weakSelf] {
    if (auto self = weakSelf.lock()) self->refreshStatus();
  });
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
      // A device held back for its key is told by its own event.
      done = _app->invite(command.text, &reason) || reason.rfind("not invited:", 0) == 0;
      break;
    case Kind::Confirm:
      done = _app->confirmInvite(&reason);
      break;
    case Kind::Cancel:
      done = _app->withdrawInvitation(command.text, &reason);
      break;
    case Kind::Accept:
    case Kind::Decline: {
      const bool accept = command.kind == Kind::Accept;
      done = command.text.empty() ? _app->answerInvitation(accept, 0, &reason)
                                  : _app->answerInvitationFrom(accept, command.text, &reason);
      break;
    }
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
      if (_events->interactive()) {
        text +=
            "keys: Space on an empty line or Ctrl-T starts or ends talking; Up and\n"
            "Down recall earlier commands; Ctrl-D on an empty line quits\n";
      }
      text.pop_back();  // the writer ends the line
      _events->event("help", "\"text\":" + jsonString(text), text);
    }
      return;
    case Kind::Quit:
      return quit();
  }
  if (!done) error(reason);
}

void RunSession::toggleTalk() {
  std::string reason;
  cancelTimedTalk();
  if (_app->isTransmitting()) {
    if (!_app->stopTalking(&reason)) error(reason);
    return;
  }
  // A refusal is reported by its own event.
  if (!_app->startTalking(&reason) && _app->isTransmitting()) error(reason);
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
  // One row per device, each with its own key and trust: two devices of one
  // name stay two, told apart by their identifiers.
  const auto nearby = _app->nearbyDevices().get();
  const auto connected = _app->connectedDevices();
  std::vector<std::string> nearbyNames, connectedNames, nearbyShown, connectedShown;
  std::string keys, devices;
  std::set<std::string> keyed;
  auto list = [&](const std::vector<NearbyDevice>& from, std::vector<std::string>& names,
                  std::vector<std::string>& shown, bool isConnected) {
    for (const auto& device : from) {
      names.push_back(device.name);
      shown.push_back(deviceLine(device));
      devices += std::string(devices.empty() ? "" : ",") + "{\"name\":" + jsonString(device.name) +
                 ",\"identifier\":" + jsonString(device.identifier.substr(0, 8)) +
                 ",\"fingerprint\":" + jsonString(device.fingerprint) +
                 ",\"trust\":" + jsonString(device.trust.words()) +
                 ",\"connected\":" + jsonBool(isConnected) + "}";
      // Kept for scripts that read keys by name: the first device of each.
      if (keyed.insert(device.name).second) {
        keys += (keys.empty() ? "" : ",") + jsonString(device.name) + ":" +
                jsonString(device.fingerprint);
      }
    }
  };
  list(nearby, nearbyNames, nearbyShown, false);
  list(connected, connectedNames, connectedShown, true);
  _events->event("peers",
                 "\"nearby\":" + jsonList(nearbyNames) +
                     ",\"connected\":" + jsonList(connectedNames) + ",\"fingerprints\":{" + keys +
                     "},\"devices\":[" + devices + "]",
                 "nearby: " + textList(nearbyShown, "(none)") +
                     "; connected: " + textList(connectedShown, "(none)"));
}

void RunSession::reportStatus() {
  const AppStatus status = _app->status();
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "\"gain\":%.2f,\"volume\":%.3f", status.gainDb,
                status.volume);
  std::string links, linkText;
  for (const auto& link : status.links) {
    links += (links.empty() ? "{" : ",{") + linkFields(link) + "}";
    linkText += "; link from " + link.peer + " " + linkWords(link);
  }
  _events->event(
      "status",
      "\"connected\":" + jsonBool(status.connected) + ",\"peers\":" + jsonList(status.peers) +
          ",\"talking\":" + jsonList(status.talking) +
          ",\"transmitting\":" + jsonBool(status.transmitting) + "," + numbers +
          ",\"audio\":" + jsonString(status.audioDevice) +
          ",\"audio_running\":" + jsonBool(status.audioRunning) + ",\"links\":[" + links + "]",
      statusText() + "; gain " + std::to_string(int(std::lround(status.gainDb))) + " dB, volume " +
          std::to_string(int(std::lround(status.volume * 100))) + "%; sound device " +
          status.audioDevice + linkText);
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

std::string RunSession::statusRow() const {
  const AppStatus status = _app->status();
  std::vector<std::string> parts;
  if (status.transmitting) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - _transmissionStart)
                             .count();
    char time[32];
    std::snprintf(time, sizeof time, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    parts.push_back(std::string("TALKING ") + time + " mic " + meter(_app->inputLevel()));
  } else if (!status.talking.empty()) {
    parts.push_back(textList(status.talking, "") + " talking " + meter(_app->receivedLevel()));
  }
  parts.push_back(status.peers.empty() ? std::string("not connected")
                                       : "connected: " + textList(status.peers, ""));
  const auto invitations = _app->pendingInvitations().get();
  if (!invitations.empty()) {
    const Invitation& asked = invitations.front();
    std::string part = (asked.introducedBy.empty() ? "invited by " : "joining: ") + asked.peer +
                       " " + asked.identifier.substr(0, 8);
    if (invitations.size() > 1)
      part += " (+" + std::to_string(invitations.size() - 1) + " waiting)";
    parts.push_back(part);
  }
  if (!status.audioRunning) parts.push_back("audio off");
  std::string row;
  for (const auto& part : parts) row += (row.empty() ? "[" : " | ") + part;
  return row + "]";
}

void RunSession::refreshStatus() {
  if (!_events->interactive()) return _events->setStatus(statusText());
  _events->setStatus(statusRow());
  const AppStatus status = _app->status();
  _events->setPrompt(status.transmitting ? "(Space: stop) > " : "(Space: talk) > ");
  const bool moving = status.transmitting || !status.talking.empty();
  if (moving && !_meterTimer) {
    std::weak_ptr<RunSession> weakSelf = weak_from_this();
    auto scheduler = Scheduler::mainThreadScheduler();
    _meterTimer =
        scheduler->afterRepeatingEvery(scheduler->now() + secondsToDuration(kMeterSeconds),
                                       kMeterSeconds, kMeterSeconds / 5, [weakSelf] {
                                         if (auto self = weakSelf.lock()) self->refreshStatus();
                                       });
  } else if (!moving && _meterTimer) {
    _meterTimer->dispose();
    _meterTimer = nullptr;
  }
}

}  // namespace qur::cli
