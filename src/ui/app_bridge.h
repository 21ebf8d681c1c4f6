// Everything the window needs of the walkie-talkie core, in one place: the
// screen talks to AppBridge only, and the executable starts the core through
// CoreLauncher. Pointing the window at another core means changing these two.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/peer_browser.h"
#include "signals/command.h"
#include "signals/signal.h"

namespace qur {

class Application;
class WalkieTalkieController;

// A connected peer as the screen shows it.
struct ConnectedPeerInfo {
  std::string name;
  // Whether the peer talks; hot (no value at subscription), any thread.
  Signal<bool> transmitting;
};

// The screen's view of the core. Main thread unless stated.
class AppBridge {
 public:
  explicit AppBridge(std::shared_ptr<WalkieTalkieController> controller);

  // Every peer state report (also unchanged values), current value first;
  // sends on the session's callback queue.
  Signal<bool> connectedValues() const;
  // The number of connected peers, current count first; any thread.
  Signal<std::size_t> connectedPeersCount() const;
  std::size_t connectedPeerCount() const;
  // The first entry of the peer table, or none.
  std::optional<ConnectedPeerInfo> firstConnectedPeer() const;
  std::shared_ptr<Command<Unit>> disconnectCommand() const;

  // Refused (stays false) while no peer is connected.
  void setTransmitting(bool transmitting);
  bool isTransmitting() const;
  Signal<bool> transmittingValues() const;

  // Advertises while the signal's latest value is true.
  void toggleAdvertisingWithSignal(const Signal<bool>& advertise);
  // The nearby-peer browser of the current session (replaced on every reset).
  std::shared_ptr<PeerBrowser> peerBrowser() const;
  std::string localName() const;

  // Analytics (local only).
  void setScreenName(const std::string& name);
  void trackScreenView();
  void trackEvent(const std::string& category, const std::string& action, const std::string& label,
                  std::optional<std::int64_t> value);

  const std::shared_ptr<WalkieTalkieController>& controller() const { return _controller; }

 private:
  std::shared_ptr<WalkieTalkieController> _controller;
};

// The executable's options, the same as the command-line program's run
// command where they make sense.
struct LaunchOptions {
  enum class AcceptPolicy { Ask, Auto, Never };
  std::string name;
  std::string audio;  // "", "virtual" or "portaudio[:DEVICE]"
  std::string micFile;
  std::string speakerFile;
  std::string interface;
  AcceptPolicy accept = AcceptPolicy::Ask;
  bool jsonEvents = false;
  bool help = false;
};

// Our options are taken out of args before Qt sees them (Qt would otherwise
// eat -name, -style and friends); what stays is for Qt. Null with *error on a
// bad option or value.
std::optional<LaunchOptions> parseLaunchOptions(std::vector<std::string>& args, std::string* error);
const char* launchHelpText();

// Starts the core for the window: device, options, invitation answers,
// events on standard output. Main thread, after the Qt main queue is installed.
class CoreLauncher {
 public:
  // Asks the user about an invitation; answer on the main thread, at most once.
  // peerName comes with the inviter's key fingerprint and, when the name's
  // pinned key differs, a warning, ready to show.
  using InvitationPrompt =
      std::function<void(const std::string& peerName, std::function<void(bool)> answer)>;

  explicit CoreLauncher(LaunchOptions options);
  ~CoreLauncher();
  CoreLauncher(const CoreLauncher&) = delete;
  CoreLauncher& operator=(const CoreLauncher&) = delete;

  void setInvitationPrompt(InvitationPrompt prompt);
  // False (with a message) when the device cannot be set up or the core does not start.
  bool launch(std::string* error);
  std::unique_ptr<AppBridge> makeBridge() const;
  // Writes one event line (JSON lines with --events json, nothing otherwise).
  void event(const std::string& name, const std::string& fields);
  // Ends a transmission and stops the engine so recordings are complete.
  void shutdown();

 private:
  struct State;
  std::shared_ptr<State> _state;
};

}  // namespace qur
