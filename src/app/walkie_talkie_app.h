// The walkie-talkie as its faces see it. The command-line program and the
// window both drive this one object: it starts the core from the run
// options, keeps the nearby and connected peers, the pending invitations and
// who is talking, and reports every change as an event.
//
// Threads: every call, every event and every property value is on the main
// thread (the installed MainQueue: our MainLoop or the Qt event loop). What
// the session queue and the transport thread report is posted there first,
// in the order it happened. Nothing here prints.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/gatekeeper.h"
#include "peers/peer_id.h"
#include "peers/peer_session.h"
#include "signals/disposable.h"
#include "signals/main_queue.h"
#include "signals/property.h"
#include "signals/signal.h"
#include "signals/subject.h"

namespace qur {

class Application;
class AudioEngine;
class DynamicRangeCompressor;
class FileMicrophone;
class InputLevelMeter;
class PeerBrowser;
class WalkieTalkieController;
namespace peers {
class InstanceLock;
}

struct RunOptions {
  // What other devices show for this one; empty: the host name.
  std::string name;
  // "" (QUR_WTALKIE_AUDIO, else the sound server's default sink and source
  // where a server answers, else PortAudio's default device; "virtual" when
  // a mic or speaker file is given), "virtual", "pulse[:DEVICE]" or
  // "portaudio[:DEVICE]".
  std::string audio;
  // With `audio` empty: devices by name (the window's remembered choice),
  // the sound server's where one answers, else PortAudio's; empty: the
  // system default.
  std::string inputDevice;
  std::string outputDevice;
  // Virtual microphone: the file, looped; with micFromTalk it restarts at
  // every transmission and is silent in between.
  std::string micFile;
  bool micFromTalk = false;
  // Records everything played (44.1 kHz 16-bit stereo WAV).
  std::string speakerFile;
  // Discover peers on this network interface only; empty: all.
  std::string networkInterface;
  AcceptPolicy accept = AcceptPolicy::Ask;
  // Echo cancellation, noise suppression and high-pass on the microphone;
  // unset: on with a real sound device, off with the virtual one.
  std::optional<bool> voiceProcessing;
  // Length of the Opus packets we send, in milliseconds (10, 20, 40 or 60).
  int frameMilliseconds = 20;
  // Run on when the sound device cannot be opened (peers can still connect).
  bool continueWithoutAudio = false;
  // Installed as the process's main queue; null keeps the installed one.
  std::shared_ptr<MainQueue> mainQueue;
  // Console and system-log loggers (off for callers that install their own).
  bool installLoggers = false;
  // Where the device key and the pinned peers live; empty:
  // $QUR_WTALKIE_CONFIG_DIR, else $XDG_CONFIG_HOME/qur-wtalkie.
  std::string configDirectory;
};

// Why the application did not start, in words for the user.
struct StartError {
  enum class Kind { Usage, Failure };
  Kind kind = Kind::Failure;
  std::string message;
};

// How a connected peer's voice reaches us, as its receiver last reported.
struct PeerLink {
  std::string peer;
  double jitterMeanMs = 0;
  double jitterP95Ms = 0;
  double lossFraction = 0;  // of the last report's interval
  double targetMs = 0;      // the delay the playout buffer aims at
  std::uint64_t concealed = 0;
  std::uint64_t recoveredByFec = 0;
  bool endOfTransmission = false;
};
// "good", "fair" or "poor": what the window's indicator shows.
const char* linkQuality(const PeerLink& link);

struct AppStatus {
  std::string name;
  bool connected = false;
  std::vector<std::string> peers;
  std::vector<std::string> talking;
  bool transmitting = false;
  double gainDb = 0;
  double volume = 0;
  std::string audioDevice;  // "none" without a device
  bool audioRunning = false;
  // Connected peers that have talked since they connected.
  std::vector<PeerLink> links;
};

struct AppEvent {
  enum class Kind {
    PeerFound,  // peer, fingerprint, identifier, trust
    PeerLost,   // peer, fingerprint, identifier
    // An invitation, or a device a member introduced (introducedBy), with
    // the policy it is answered by; under Ask it waits for the user
    // (invitation.waiting questions before it).
    Invitation,
    InvitationAnswered,  // invitation, value: accepted
    InvitationShown,     // invitation: the waiting question now asked
    // How an invitation ended that was not answered here: peer; reason:
    // "accepted", "declined", "timed_out", "unreachable", "refused" (the
    // device that answered is not one the user may invite unasked; detail
    // says why) or "withdrawn"; value: it was the peer's invitation to us
    // (which then is gone, and invitation says which).
    InvitationResult,
    // Another key answers to a name the user trusts (or to a look-alike of
    // it): nothing was sent; invitation describes the device, which
    // confirmInvite() invites anyway.
    InviteUnconfirmed,
    PeerConnected,  // peer
    // peer; reason: "left" (said goodbye), "no_answer" (silent for
    // silenceMs), "connection_lost" (closed without a goodbye), "closed"
    // (refused for what it sent), or empty when we ended it.
    PeerDisconnected,
    Connected,     // value
    PeerTalking,   // peer, value
    Transmitting,  // value; reason when it ended on its own
    TalkRefused,   // reason
    AudioClock,    // firstCycleUs: wall-clock time of the first device cycle
    AudioStopped,  // the device stopped delivering cycles
    // The device key was damaged and replaced at start: fingerprint (the new
    // key), reason (where the old file is kept). Peers that pinned the old
    // key will see "key changed".
    KeyReplaced,
    Link,  // peer, link: about once a second while a peer talks
  };
  Kind kind;
  std::string peer;
  // PeerFound, PeerLost: the device's key fingerprint, when known, its
  // identifier (hex; also for PeerConnected, PeerDisconnected and
  // InvitationResult) and, for PeerFound, Trust::words().
  std::string fingerprint;
  std::string identifier;
  std::string trust;
  // InvitationResult "refused": why, in words ("Alpha's key does not match
  // the one it advertises").
  std::string detail;
  bool value = false;
  std::string reason;
  Invitation invitation;
  AcceptPolicy policy = AcceptPolicy::Ask;
  long long firstCycleUs = 0;
  PeerLink link;
  int silenceMs = 0;
};

class WalkieTalkieApp : public std::enable_shared_from_this<WalkieTalkieApp> {
 public:
  static constexpr float kDefaultGainDb = 15.0f;
  static constexpr double kMinGainDb = -40, kMaxGainDb = 40;

  // Main thread (the queue in options, when given, becomes the main queue
  // first). Checks the options, opens the files and the device, starts
  // the engine, the session and advertising. Null with *error when an
  // option is wrong or a file, the interface or the device cannot be used.
  static std::shared_ptr<WalkieTalkieApp> start(RunOptions options, StartError* error);
  ~WalkieTalkieApp();
  WalkieTalkieApp(const WalkieTalkieApp&) = delete;
  WalkieTalkieApp& operator=(const WalkieTalkieApp&) = delete;

  // ---- everything below: main thread -------------------------------------

  // Every change, in order. Subscribe right after start(): nothing is lost
  // before the main loop runs.
  Signal<AppEvent> events() const { return _events; }

  // Observable state, for bindings. Values arrive on the main thread.
  const Property<bool>& connected() const { return _connected; }
  const Property<bool>& transmitting() const { return _transmitting; }
  const Property<std::vector<std::string>>& nearbyPeers() const { return _nearby; }
  // The nearby devices with their keys and trust, one entry per device
  // (two devices of one name are two entries).
  const Property<std::vector<NearbyDevice>>& nearbyDevices() const { return _nearbyDevices; }
  const Property<std::vector<std::string>>& connectedPeers() const { return _connectedPeers; }
  const Property<std::vector<std::string>>& talkingPeers() const { return _talking; }
  // The connected peers as devices (name, key, trust).
  std::vector<NearbyDevice> connectedDevices() const;
  const Property<std::vector<Invitation>>& pendingInvitations() const;
  // The link of the connected peer of that name; nullopt before it talked.
  std::optional<PeerLink> linkOf(const std::string& name) const;

  // The name other devices see.
  std::string localName() const;
  // This device's key fingerprint, as peers see it: "ABCD EFGH IJKL MNOP".
  const std::string& localFingerprint() const { return _localFingerprint; }
  AppStatus status() const;

  // Each returns false with a user-facing reason in *error.
  // target: a name (a pinned one reaches only its key), or the first hex
  // digits of a device's identifier. A device whose key changed, or that
  // looks like a pinned name, is held (InviteUnconfirmed) for confirmInvite.
  bool invite(const std::string& target, std::string* error);
  bool confirmInvite(std::string* error);
  // Gives up our unanswered invitations to the target (a name or an
  // identifier prefix; empty: all of them); the invited devices are told.
  bool withdrawInvitation(const std::string& target, std::string* error);
  // id 0: the question asked now (the first one waiting).
  bool answerInvitation(bool accept, std::uint64_t id, std::string* error);
  // The waiting question from that name or identifier prefix.
  bool answerInvitationFrom(bool accept, const std::string& who, std::string* error);
  // Transmitting is connected-and-talking: refused (TalkRefused event)
  // while no peer is connected, and ended (Transmitting false, reason "no
  // peer connected") when the last peer leaves.
  bool startTalking(std::string* error);
  bool stopTalking(std::string* error);
  bool isTransmitting() const { return _transmitting.get(); }
  bool disconnect(std::string* error);
  bool setMicGain(double db, std::string* error);
  double micGain() const;
  bool setOutputVolume(double volume, std::string* error);
  double outputVolume() const;

  // Ends a transmission, gives its end (and what peers still play) 0.3 s of
  // the main loop, withdraws the advertisement (mDNS goodbye), leaves the
  // session (Bye to every peer), gives those 0.25 s to leave and stops the
  // engine (recordings are complete). done runs on the main thread
  // afterwards; the main loop must run meanwhile. A second call only runs
  // its done.
  void shutdown(std::function<void()> done);
  bool isShutDown() const { return _shutDown; }

  // Peak meters, 0 to 1, falling back within about a tenth of a second:
  // the microphone as it is sent (after gain and compression), and the
  // loudest connected peer as we play it. Any thread.
  float inputLevel() const;
  float receivedLevel() const;

  // The core, for screens that observe it directly.
  const std::shared_ptr<WalkieTalkieController>& controller() const;
  const std::shared_ptr<DynamicRangeCompressor>& compressor() const;
  const std::shared_ptr<AudioEngine>& engine() const;
  Application& application() { return *_application; }

 private:
  WalkieTalkieApp() = default;
  bool launch(RunOptions options, StartError* error);
  void attach();
  void post(std::function<void(WalkieTalkieApp&)> block);
  void emit(AppEvent event);
  void watchBrowser();
  void nearbyChanged(const std::vector<NearbyPeer>& nearby);
  void invitationEnded(const PeerID& peer, bool invitedUs, const std::string& outcome,
                       const std::string& detail = {});
  void installGatekeeper();
  bool send(const NearbyPeer& invitee, std::string* error);
  void refreshNearbyDevices();
  void connectedChanged(bool connected);
  void peerTableChanged(const std::vector<std::pair<PeerID, std::string>>& peers);
  void peerDisconnected(const PeerDisconnect& disconnect);
  void peerTalking(const PeerID& peer, bool talking);
  void linkReported(const PeerID& peer, const PeerLink& link);
  void transmittingChanged(bool transmitting);
  void watchAudioClock();
  void watchAudioHealth();
  void finishShutdown(std::function<void()> done);

  RunOptions _options;
  // Held while the program runs: one program per key folder.
  std::unique_ptr<peers::InstanceLock> _instanceLock;
  std::unique_ptr<Application> _application;
  // Trust and the invitations waiting for the user; the session's handlers
  // hold it weakly.
  std::shared_ptr<Gatekeeper> _gatekeeper;
  std::shared_ptr<FileMicrophone> _microphone;
  std::shared_ptr<InputLevelMeter> _inputMeter;
  std::shared_ptr<PeerBrowser> _browser;
  std::shared_ptr<Subject<AppEvent>> _events = Subject<AppEvent>::create();
  std::vector<DisposablePtr> _subscriptions;

  // Main-thread state, mirrored into the properties.
  std::vector<std::pair<PeerID, std::string>> _nearbyTable;
  std::vector<NearbyPeer> _nearbyPeers;
  // Our invitations that have no outcome yet.
  std::vector<PeerID> _outgoing;
  std::vector<std::pair<PeerID, std::string>> _connectedTable;
  std::vector<PeerID> _talkingTable;
  std::vector<std::pair<PeerID, PeerLink>> _linkTable;
  // Why connected peers went away, until their table change is told.
  std::map<PeerID, PeerDisconnect> _disconnectReasons;
  std::string _localFingerprint;
  bool _isConnected = false;
  std::string _transmissionEndReason;
  DisposablePtr _audioClockTimer;
  DisposablePtr _audioHealthTimer;
  bool _audioWasRunning = false;
  bool _shutDown = false;

  Property<bool> _connected{false};
  Property<bool> _transmitting{false};
  Property<std::vector<std::string>> _nearby;
  Property<std::vector<NearbyDevice>> _nearbyDevices;
  Property<std::vector<std::string>> _connectedPeers;
  Property<std::vector<std::string>> _talking;
};

}  // namespace qur
