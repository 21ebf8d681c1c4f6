// qur-wtalkie-cli run: the same core the screen uses, driven from a terminal
// or a script. Commands arrive on standard input, one a line; events go to
// standard output, as text or as one JSON object per line.
#include "app/cli/run_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "analytics/analytics_tracker.h"
#include "app/application.h"
#include "app/cli/cli_support.h"
#include "app/dynamic_range_compressor.h"
#include "app/opus_stream_receiver.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_encoder.h"
#include "peers/advertiser.h"
#include "peers/discovery.h"
#include "peers/peer_browser.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"
#include "signals/scheduler.h"
#include "signals/signal_operators.h"

namespace qur::cli {

namespace {

constexpr const char* kRunHelp =
    "usage: qur-wtalkie-cli run [options]\n"
    "\n"
    "Runs the walkie-talkie on this device: it advertises itself, finds nearby\n"
    "devices, accepts or sends invitations and talks to every connected peer.\n"
    "\n"
    "options:\n"
    "  --name NAME           name other devices see (default: the host name)\n"
    "  --audio portaudio[:DEVICE]\n"
    "                        a real sound device (DEVICE: part of its name)\n"
    "  --audio virtual       a device without hardware, in real time\n"
    "  --mic FILE.wav        virtual microphone: the file, looped from the moment\n"
    "                        the engine starts (implies --audio virtual)\n"
    "  --speaker FILE.wav    record everything the engine plays, 44.1 kHz 16-bit\n"
    "                        stereo (implies --audio virtual)\n"
    "  --accept ask|auto|never\n"
    "                        invitations: ask on standard input (default), accept\n"
    "                        all, or decline all\n"
    "  --interface IFACE     discover peers on this network interface only\n"
    "  --events json         one JSON object per line on standard output for every\n"
    "                        event, with \"t\" (seconds since start) and \"time_ms\"\n"
    "                        (wall clock, ms since the epoch)\n"
    "\n"
    "commands on standard input, one a line:\n"
    "  peers                 nearby and connected peers\n"
    "  invite NAME           invite a nearby peer into the session\n"
    "  accept | decline      answer the pending invitation\n"
    "  talk on | talk off    start or end a transmission (refused while no peer\n"
    "                        is connected)\n"
    "  talk SECONDS          transmit for that long\n"
    "  disconnect            leave the session\n"
    "  gain DB               microphone gain, -40 to 40 dB (start: 15)\n"
    "  volume X              output volume, 0 to 1\n"
    "  status                connection, talkers and own transmission\n"
    "  quit                  end (so does the end of standard input, once a\n"
    "                        running 'talk SECONDS' is over)\n"
    "\n"
    "events: ready, audio_clock, peer_found, peer_lost, invitation, invitation_answered,\n"
    "peer_connected, peer_disconnected, connected, peer_talking, transmitting,\n"
    "talk_refused, peers, status, error. Unknown commands and bad arguments give\n"
    "one error line and change nothing.\n"
    "\n"
    "Environment: QUR_WTALKIE_SOUNDS (sound folder), QUR_WTALKIE_AUDIO (device\n"
    "when --audio is not given), QUR_WTALKIE_ANALYTICS_FILE (local JSON-lines\n"
    "record of screen views and events; nothing is sent anywhere).\n";

using Clock = std::chrono::steady_clock;

std::string jsonString(const std::string& text) {
  return "\"" + AnalyticsTracker::jsonEscape(text) + "\"";
}

std::string formatSeconds(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
  return buffer;
}

// One writer for every thread that reports: the session queue, the
// transport thread and the main thread.
class EventWriter {
 public:
  EventWriter(bool json, bool statusLine) : _json(json), _statusLine(statusLine) {}

  // fields: pre-rendered JSON members ("\"peer\":\"A\""); text: the human form.
  void event(const std::string& name, const std::string& fields, const std::string& text) {
    std::lock_guard lock(_mutex);
    if (_json) {
      const double t = std::chrono::duration<double>(Clock::now() - _start).count();
      const long long wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
      std::string line = "{\"event\":" + jsonString(name) + ",\"t\":" + formatSeconds(t) +
                         ",\"time_ms\":" + std::to_string(wall);
      if (!fields.empty()) line += "," + fields;
      line += "}\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
      if (text.empty()) return;
      if (_statusLine) std::fputs("\r\033[K", stdout);
      std::fputs(text.c_str(), stdout);
      std::fputc('\n', stdout);
      if (_statusLine) std::fputs(_status.c_str(), stdout);
    }
    std::fflush(stdout);
  }

  void setStatus(const std::string& status) {
    std::lock_guard lock(_mutex);
    _status = status;
    if (!_statusLine) return;
    std::fputs("\r\033[K", stdout);
    std::fputs(_status.c_str(), stdout);
    std::fflush(stdout);
  }

  void finish() {
    std::lock_guard lock(_mutex);
    if (_statusLine) std::fputs("\n", stdout);
    std::fflush(stdout);
  }

  bool json() const { return _json; }

 private:
  std::mutex _mutex;
  const bool _json;
  const bool _statusLine;
  const Clock::time_point _start = Clock::now();
  std::string _status;
};

// Microphone frames from a decoded file, looped, for the device's clock
// thread (silence without a file). Notes the wall-clock time of the first
// cycle, which ties recording positions to event times.
struct LoopedMicrophone {
  AudioBufferListPtr audio;
  std::uint64_t frames = 0;
  std::uint64_t position = 0;  // clock thread only
  std::atomic<long long> firstCycleUs{0};

  void fill(std::int16_t* samples, std::uint32_t count, int channels) {
    if (firstCycleUs.load(std::memory_order_relaxed) == 0) {
      firstCycleUs.store(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count(),
                         std::memory_order_relaxed);
    }
    if (!audio) {
      std::fill(samples, samples + std::size_t(count) * std::size_t(channels), std::int16_t{0});
      return;
    }
    const auto* source = static_cast<const std::int16_t*>(audio->mBuffers[0].mData);
    for (std::uint32_t i = 0; i < count; ++i) {
      for (int c = 0; c < channels; ++c) samples[i * channels + c] = source[position * 2 + (c % 2)];
      if (++position >= frames) position = 0;
    }
  }
};

bool parseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

class RunSession : public std::enable_shared_from_this<RunSession> {
 public:
  enum class AcceptPolicy { Ask, Auto, Never };

  RunSession(std::shared_ptr<MainLoop> loop, std::shared_ptr<EventWriter> events,
             AcceptPolicy policy)
      : _loop(std::move(loop)), _events(std::move(events)), _policy(policy) {}

  InvitationHandler invitationHandler() {
    std::weak_ptr<RunSession> weakSelf = weak_from_this();
    return [weakSelf](const PeerID& peer, std::function<void(bool)> reply) {
      auto self = weakSelf.lock();
      if (!self) return reply(false);
      mainQueue().post([self, peer, reply = std::move(reply)]() mutable {
        self->invitationArrived(peer, std::move(reply));
      });
    };
  }

  void attach(Application* application) {
    _application = application;
    _controller = application->walkieTalkie();
    std::weak_ptr<RunSession> weakSelf = weak_from_this();

    // Changes only: the state at start is in the status line and `status`.
    keep(_controller->connectedValues().distinctUntilChanged().skip(1).subscribeNext(
        [weakSelf](const bool& connected) {
          if (auto self = weakSelf.lock()) self->connectedChanged(connected);
        }));
    keep(_controller->transmittingValues().distinctUntilChanged().skip(1).subscribeNext(
        [weakSelf](const bool& transmitting) {
          if (auto self = weakSelf.lock()) self->transmittingChanged(transmitting);
        }));
    keep(_controller->connectedPeersSignal().subscribeNext(
        [weakSelf](const WalkieTalkieController::PeerTableSnapshot& table) {
          if (auto self = weakSelf.lock()) self->peersChanged(table);
        }));
    keep(_controller->multipeerController()->sessionProperty().values().subscribeNext(
        [weakSelf](const std::shared_ptr<PeerSession>&) {
          // The browser is replaced together with the session, after the
          // session's notification.
          mainQueue().post([weakSelf] {
            if (auto self = weakSelf.lock()) self->watchBrowser();
          });
        }));
    watchBrowser();
    refreshStatus();
  }

  // Main thread.
  void handleLine(const std::string& line) {
    const auto words = splitWords(line);
    if (words.empty()) return;
    const std::string& command = words[0];
    const std::size_t argc = words.size() - 1;
    if (command == "peers" && argc == 0) return listPeers();
    if (command == "invite" && argc >= 1) {
      return invite(line.substr(line.find("invite") + 6));
    }
    if (command == "accept" && argc == 0) return answerInvitation(true);
    if (command == "decline" && argc == 0) return answerInvitation(false);
    if (command == "talk" && argc == 1) return talk(words[1]);
    if (command == "disconnect" && argc == 0) {
      cancelTimedTalk();
      _controller->disconnect();
      return;
    }
    if (command == "gain" && argc == 1) return setGain(words[1]);
    if (command == "volume" && argc == 1) return setVolume(words[1]);
    if (command == "status" && argc == 0) return reportStatus();
    if (command == "quit" && argc == 0) return quit();
    static const std::set<std::string> known = {"peers",  "invite",     "accept", "decline",
                                                "talk",   "disconnect", "gain",   "volume",
                                                "status", "quit"};
    if (known.count(command)) return error("wrong arguments for '" + command + "' (try --help)");
    error("unknown command '" + command + "' (try --help)");
  }

  // Main thread: standard input ended.
  void inputEnded() {
    _inputEnded = true;
    if (!_timedTalk) quit();
  }

  bool quitRequested() const { return _quit; }

  void stop() {
    std::vector<DisposablePtr> disposables;
    {
      std::lock_guard lock(_stateMutex);
      disposables.swap(_disposables);
    }
    for (auto& disposable : disposables) {
      if (disposable) disposable->dispose();
    }
    if (_browser) _browser->setNearbyPeersChangedHandler(nullptr);
  }

 private:
  void keep(DisposablePtr disposable) {
    std::lock_guard lock(_stateMutex);
    _disposables.push_back(std::move(disposable));
  }

  // ---- events ------------------------------------------------------------

  void connectedChanged(bool connected) {
    _events->event("connected", std::string("\"value\":") + (connected ? "true" : "false"),
                   connected ? "connected" : "not connected");
    refreshStatus();
  }

  void transmittingChanged(bool transmitting) {
    _events->event("transmitting", std::string("\"value\":") + (transmitting ? "true" : "false"),
                   transmitting ? "transmitting" : "transmission ended");
    refreshStatus();
  }

  // Session queue: the table changed. New peers' talking signals are
  // subscribed here, before any data of theirs is handled on this queue.
  void peersChanged(const WalkieTalkieController::PeerTableSnapshot& table) {
    std::map<PeerID, std::string> current;
    std::vector<std::pair<std::shared_ptr<WalkieTalkiePeer>, bool>> added;
    {
      std::lock_guard lock(_stateMutex);
      for (const auto& [id, peer] : *table) {
        current[id] = id.displayName();
        if (!_connectedPeers.count(id) || _connectedPeerObjects[id].lock() != peer) {
          added.emplace_back(peer, _connectedPeers.count(id) != 0);
        }
      }
      for (const auto& [id, name] : _connectedPeers) {
        if (!current.count(id)) {
          _talking.erase(id);
          _events->event("peer_disconnected", "\"peer\":" + jsonString(name),
                         "peer disconnected: " + name);
        }
      }
      _connectedPeers = current;
      _connectedPeerObjects.clear();
      for (const auto& [id, peer] : *table) _connectedPeerObjects[id] = peer;
    }
    std::weak_ptr<RunSession> weakSelf = weak_from_this();
    for (const auto& [peer, replaced] : added) {
      const std::string name = peer->peerID().displayName();
      if (!replaced) {
        _events->event("peer_connected", "\"peer\":" + jsonString(name), "peer connected: " + name);
      }
      const PeerID id = peer->peerID();
      auto subscription = peer->transmitting().subscribeNext([weakSelf, id](const bool& talking) {
        if (auto self = weakSelf.lock()) self->peerTalking(id, talking);
      });
      std::lock_guard lock(_stateMutex);
      _disposables.push_back(subscription);
    }
    refreshStatus();
  }

  void peerTalking(const PeerID& id, bool talking) {
    {
      std::lock_guard lock(_stateMutex);
      if (talking) {
        _talking.insert(id);
      } else {
        _talking.erase(id);
      }
    }
    const std::string& name = id.displayName();
    _events->event("peer_talking",
                   "\"peer\":" + jsonString(name) + ",\"value\":" + (talking ? "true" : "false"),
                   name + (talking ? " is talking" : " stopped talking"));
    refreshStatus();
  }

  // Main thread.
  void watchBrowser() {
    auto browser = _controller->multipeerController()->browserViewController();
    if (!browser || browser == _browser) return;
    if (_browser) {
      _browser->setNearbyPeersChangedHandler(nullptr);
      _browser->stop();
    }
    _browser = browser;
    // The headless program may gather more than one peer.
    _browser->setMaximumNumberOfPeers(PeerSession::kMaximumPeers);
    std::weak_ptr<RunSession> weakSelf = weak_from_this();
    _browser->setNearbyPeersChangedHandler([weakSelf](const std::vector<NearbyPeer>& nearby) {
      if (auto self = weakSelf.lock()) self->nearbyChanged(nearby);
    });
    _browser->start();
    nearbyChanged(_browser->nearbyPeers());
  }

  void nearbyChanged(const std::vector<NearbyPeer>& nearby) {
    std::lock_guard lock(_stateMutex);
    std::map<PeerID, std::string> current;
    for (const auto& peer : nearby) current[peer.peer] = peer.peer.displayName();
    for (const auto& [id, name] : current) {
      if (!_nearby.count(id)) {
        _events->event("peer_found", "\"peer\":" + jsonString(name), "peer found: " + name);
      }
    }
    for (const auto& [id, name] : _nearby) {
      if (!current.count(id)) {
        _events->event("peer_lost", "\"peer\":" + jsonString(name), "peer lost: " + name);
      }
    }
    _nearby = std::move(current);
  }

  void invitationArrived(const PeerID& peer, std::function<void(bool)> reply) {
    const std::string name = peer.displayName();
    const std::string policy = _policy == AcceptPolicy::Auto    ? "auto"
                               : _policy == AcceptPolicy::Never ? "never"
                                                                : "ask";
    _events->event(
        "invitation", "\"peer\":" + jsonString(name) + ",\"policy\":" + jsonString(policy),
        _policy == AcceptPolicy::Ask ? "invitation from " + name + ": type 'accept' or 'decline'"
                                     : "invitation from " + name);
    if (_policy == AcceptPolicy::Ask) {
      // A newer invitation replaces an unanswered one, which is declined.
      if (_pendingReply) answer(false);
      _pendingReply = std::move(reply);
      _pendingPeer = name;
      return;
    }
    _pendingReply = std::move(reply);
    _pendingPeer = name;
    answer(_policy == AcceptPolicy::Auto);
  }

  void answer(bool accept) {
    auto reply = std::move(_pendingReply);
    _pendingReply = nullptr;
    _events->event(
        "invitation_answered",
        "\"peer\":" + jsonString(_pendingPeer) + ",\"accepted\":" + (accept ? "true" : "false"),
        (accept ? "accepted invitation from " : "declined invitation from ") + _pendingPeer);
    reply(accept);
  }

  // ---- commands (main thread) --------------------------------------------

  void error(const std::string& message) {
    _events->event("error", "\"message\":" + jsonString(message), "error: " + message);
  }

  void listPeers() {
    std::lock_guard lock(_stateMutex);
    std::string nearby, connected, text;
    for (const auto& [id, name] : _nearby) {
      nearby += (nearby.empty() ? "" : ",") + jsonString(name);
      text += (text.empty() ? "" : ", ") + name;
    }
    std::string connectedText;
    for (const auto& [id, name] : _connectedPeers) {
      connected += (connected.empty() ? "" : ",") + jsonString(name);
      connectedText += (connectedText.empty() ? "" : ", ") + name;
    }
    _events->event("peers", "\"nearby\":[" + nearby + "],\"connected\":[" + connected + "]",
                   "nearby: " + (text.empty() ? "(none)" : text) +
                       "; connected: " + (connectedText.empty() ? "(none)" : connectedText));
  }

  void invite(std::string name) {
    const auto first = name.find_first_not_of(" \t");
    const auto last = name.find_last_not_of(" \t\r");
    name = first == std::string::npos ? "" : name.substr(first, last - first + 1);
    if (!_browser) return error("not browsing for peers");
    // The newest announcement wins: a device that restarted under the same
    // name may still be listed under its old identity for a while.
    std::optional<PeerID> target;
    for (const auto& nearby : _browser->nearbyPeers()) {
      if (nearby.peer.displayName() == name) target = nearby.peer;
    }
    if (!target) return error("no nearby peer named '" + name + "' (try 'peers')");
    if (!_browser->invite(*target)) return error("could not invite '" + name + "'");
  }

  void answerInvitation(bool accept) {
    if (!_pendingReply) return error("no invitation to answer");
    answer(accept);
  }

  void talk(const std::string& argument) {
    if (argument == "on") {
      cancelTimedTalk();
      if (_controller->isTransmitting()) return error("already transmitting");
      startTalking();
      return;
    }
    if (argument == "off") {
      cancelTimedTalk();
      if (!_controller->isTransmitting()) return error("not transmitting");
      _controller->endTransmission();
      return;
    }
    double seconds = 0;
    if (!parseNumber(argument, &seconds) || seconds <= 0 || seconds > 3600) {
      return error("talk takes on, off or a number of seconds (0 to 3600)");
    }
    if (_controller->isTransmitting() && !_timedTalk) return error("already transmitting");
    cancelTimedTalk();
    if (!_controller->isTransmitting() && !startTalking()) return;
    std::weak_ptr<RunSession> weakSelf = weak_from_this();
    const std::uint64_t generation = ++_talkGeneration;
    _timedTalk = Scheduler::mainThreadScheduler()->afterDelay(seconds, [weakSelf, generation] {
      auto self = weakSelf.lock();
      if (!self || self->_talkGeneration != generation) return;
      self->_timedTalk = nullptr;
      if (self->_controller->isTransmitting()) self->_controller->endTransmission();
      if (self->_inputEnded) self->quit();
    });
  }

  bool startTalking() {
    _controller->startTransmission();
    if (_controller->isTransmitting()) return true;
    _events->event("talk_refused", "\"reason\":\"not connected\"",
                   "not connected: transmission refused");
    return false;
  }

  void cancelTimedTalk() {
    ++_talkGeneration;
    if (_timedTalk) _timedTalk->dispose();
    _timedTalk = nullptr;
  }

  void setGain(const std::string& argument) {
    double db = 0;
    if (!parseNumber(argument, &db) || db < -40 || db > 40) {
      return error("gain takes decibels from -40 to 40");
    }
    auto compressor = _application->dynamicRangeCompressor();
    if (!compressor) return error("no dynamics processor: the gain cannot be set");
    compressor->setMasterGain(float(db));
    reportStatus();
  }

  void setVolume(const std::string& argument) {
    double volume = 0;
    if (!parseNumber(argument, &volume) || volume < 0 || volume > 1) {
      return error("volume takes a number from 0 to 1");
    }
    _application->audioController()->setMasterOutputVolume(float(volume));
    reportStatus();
  }

  void reportStatus() {
    std::lock_guard lock(_stateMutex);
    std::string connected, talking;
    for (const auto& [id, name] : _connectedPeers) {
      connected += (connected.empty() ? "" : ",") + jsonString(name);
    }
    for (const auto& id : _talking)
      talking += (talking.empty() ? "" : ",") + jsonString(id.displayName());
    auto compressor = _application->dynamicRangeCompressor();
    const double gain = compressor ? compressor->masterGain() : 0.0;
    const double volume = _application->audioController()->masterOutputVolume();
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "\"gain\":%.2f,\"volume\":%.3f", gain, volume);
    _events->event("status",
                   std::string("\"connected\":") + (_controller->isConnected() ? "true" : "false") +
                       ",\"peers\":[" + connected + "],\"talking\":[" + talking +
                       "],\"transmitting\":" + (_controller->isTransmitting() ? "true" : "false") +
                       "," + numbers,
                   statusText() + "; gain " + std::to_string(int(std::lround(gain))) +
                       " dB, volume " + std::to_string(int(std::lround(volume * 100))) + "%");
  }

  // With _stateMutex held or not: builds the one-line summary.
  std::string statusText() {
    std::string peers, talking;
    for (const auto& [id, name] : _connectedPeers) peers += (peers.empty() ? "" : ", ") + name;
    for (const auto& id : _talking) talking += (talking.empty() ? "" : ", ") + id.displayName();
    return "[" + (peers.empty() ? std::string("not connected") : "connected: " + peers) +
           " | talking: " + (talking.empty() ? std::string("nobody") : talking) +
           " | transmitting: " + (_controller->isTransmitting() ? "yes" : "no") + "]";
  }

  void refreshStatus() {
    std::lock_guard lock(_stateMutex);
    _events->setStatus(statusText());
  }

  void quit() {
    _quit = true;
    cancelTimedTalk();
    _loop->quit();
  }

  std::shared_ptr<MainLoop> _loop;
  std::shared_ptr<EventWriter> _events;
  const AcceptPolicy _policy;
  Application* _application = nullptr;
  std::shared_ptr<WalkieTalkieController> _controller;
  std::shared_ptr<PeerBrowser> _browser;

  std::recursive_mutex _stateMutex;  // the tables below, written on several threads
  std::map<PeerID, std::string> _nearby;
  std::map<PeerID, std::string> _connectedPeers;
  std::map<PeerID, std::weak_ptr<WalkieTalkiePeer>> _connectedPeerObjects;
  std::set<PeerID> _talking;
  std::vector<DisposablePtr> _disposables;

  // Main thread only.
  std::function<void(bool)> _pendingReply;
  std::string _pendingPeer;
  DisposablePtr _timedTalk;
  std::uint64_t _talkGeneration = 0;
  bool _inputEnded = false;
  bool _quit = false;
};

}  // namespace

int runCommand(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  if (const auto status = parseCommandArguments(
          "run", args,
          {"--name", "--audio", "--mic", "--speaker", "--accept", "--interface", "--events"},
          kRunHelp, false, &parsed)) {
    return *status;
  }
  std::string error;
  auto option = [&](const char* name) -> std::string {
    const auto it = parsed.options.find(name);
    return it == parsed.options.end() ? std::string() : it->second;
  };

  const std::string events = option("--events");
  if (!events.empty() && events != "json") {
    printError("--events takes 'json'");
    return kExitUsage;
  }
  RunSession::AcceptPolicy policy = RunSession::AcceptPolicy::Ask;
  const std::string accept = option("--accept");
  if (accept == "auto") {
    policy = RunSession::AcceptPolicy::Auto;
  } else if (accept == "never") {
    policy = RunSession::AcceptPolicy::Never;
  } else if (!accept.empty() && accept != "ask") {
    printError("--accept takes ask, auto or never");
    return kExitUsage;
  }

  const std::string micPath = option("--mic");
  const std::string speakerPath = option("--speaker");
  std::string audio = option("--audio");
  if (audio.empty() && (!micPath.empty() || !speakerPath.empty())) audio = "virtual";
  std::unique_ptr<AudioDevice> device;
  std::shared_ptr<LoopedMicrophone> microphone;
  if (audio == "virtual") {
    VirtualDeviceOptions options;
    options.clock = VirtualDeviceOptions::Clock::RealTime;
    microphone = std::make_shared<LoopedMicrophone>();
    options.input = VirtualDeviceOptions::Input::Feed;
    options.feed = [microphone](std::int16_t* samples, std::uint32_t frames, int channels) {
      microphone->fill(samples, frames, channels);
    };
    if (!micPath.empty()) {
      microphone->audio = readMicrophoneFile(micPath, &microphone->frames);
      if (!microphone->audio) return kExitFailure;
    }
    if (!speakerPath.empty()) {
      if (!checkSpeakerFile(speakerPath)) return kExitFailure;
      options.output = VirtualDeviceOptions::Output::WavFile;
      options.outputFile = speakerPath;
    }
    device = std::make_unique<VirtualDevice>(options);
  } else if (!audio.empty()) {
    if (!micPath.empty() || !speakerPath.empty()) {
      printError("--mic and --speaker need --audio virtual");
      return kExitUsage;
    }
    if (audio.rfind("portaudio", 0) != 0) {
      printError("unknown audio device '" + audio + "': use portaudio[:DEVICE] or virtual");
      return kExitUsage;
    }
    auto choice = parseAudioDeviceChoice(audio, &error);
    if (!choice) {
      printError("unknown audio device '" + audio + "': " + error);
      return kExitUsage;
    }
    device = createAudioDevice(*choice);
  }

  const std::string interface = option("--interface");
  if (!interface.empty()) {
    DiscoveryOptions discovery;
    discovery.allowInterfaces = {interface};
    Discovery::configure(discovery);
  }

  addLogger(std::make_shared<SystemLogger>());
  auto errors = installLoggers();
  auto loop = std::make_shared<MainLoop>();

  const bool json = events == "json";
  const bool terminal = !json && isatty(STDOUT_FILENO) && isatty(STDIN_FILENO);
  auto writer = std::make_shared<EventWriter>(json, terminal);
  auto session = std::make_shared<RunSession>(loop, writer, policy);
  Advertiser::setDefaultInvitationHandler(session->invitationHandler());

  Application::Options options;
  options.mainQueue = loop;
  options.peerName = option("--name");
  options.audioDevice = std::move(device);
  options.installLoggers = false;  // installed above, with the error counter
  Application application(std::move(options));
  application.launch();
  if (!application.walkieTalkie()) {
    printError("could not start the walkie-talkie (see the log above)");
    return kExitFailure;
  }
  application.setScreenName("Home Screen");
  application.trackScreenView();

  session->attach(&application);
  auto engine = application.audioController();
  const std::string name =
      application.walkieTalkie()->multipeerController()->peerID().displayName();
  writer->event("ready",
                "\"name\":" + jsonString(name) + ",\"audio\":" +
                    jsonString(engine->device() ? engine->device()->name() : "none") +
                    ",\"audio_started\":" + (application.audioStarted() ? "true" : "false"),
                "ready as '" + name + "' on " +
                    (engine->device() ? engine->device()->name() : std::string("no audio device")) +
                    (application.audioStarted() ? "" : " (audio did not start)"));

  if (microphone) {
    // Recording positions count from the first device cycle.
    auto clockReported = std::make_shared<DisposablePtr>();
    *clockReported = Scheduler::mainThreadScheduler()->afterRepeatingEvery(
        Scheduler::mainThreadScheduler()->now(), 0.02, 0.0, [microphone, writer, clockReported] {
          const long long first = microphone->firstCycleUs.load();
          if (first == 0 || !*clockReported) return;
          writer->event("audio_clock", "\"first_cycle_us\":" + std::to_string(first), "");
          (*clockReported)->dispose();
          *clockReported = nullptr;
        });
  }

  // The reader may stay blocked past the end of the program (an input pipe
  // that stays open), so it must not keep the session, and through it the
  // engine and its recording, alive.
  std::thread input([weakSession = std::weak_ptr<RunSession>(session)] {
    std::string line;
    while (std::getline(std::cin, line)) {
      mainQueue().post([weakSession, line] {
        if (auto session = weakSession.lock()) session->handleLine(line);
      });
    }
    mainQueue().post([weakSession] {
      if (auto session = weakSession.lock()) session->inputEnded();
    });
  });
  input.detach();  // a blocked read must not hold up the end of the program

  loop->run();

  // Leave cleanly: the end of a transmission goes out before the session
  // closes, and the recording gets its last frames.
  auto controller = application.walkieTalkie();
  if (controller->isTransmitting()) controller->endTransmission();
  loop->runFor(std::chrono::milliseconds(300));
  session->stop();
  application.shutdown();
  loop->drain();
  writer->finish();
  // Logged errors (a lost peer, a late packet) are part of a normal run.
  return kExitOK;
}

}  // namespace qur::cli
