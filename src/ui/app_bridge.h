// Everything the window needs of the walkie-talkie core, in one place: the
// screen talks to AppBridge only, and the executable starts the application
// (the same one the command-line program runs) through CoreLauncher.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/event_writer.h"
#include "app/run_option_parser.h"
#include "app/walkie_talkie_app.h"
#include "peers/peer_browser.h"
#include "signals/command.h"
#include "signals/signal.h"
#include "ui/peer_list_dialog.h"

namespace qur {

class WalkieTalkieController;

// A connected peer as the screen shows it.
struct ConnectedPeerInfo {
  std::string name;
  // Tells apart two devices of one name.
  std::string identifier;
  // Whether the peer talks; hot (no value at subscription), any thread.
  Signal<bool> transmitting;
  // How its voice reaches us, about once a second while it talks; hot, any thread.
  Signal<PeerLink> link;
};

// The screen's view of the core. With an application, talking, inviting and
// disconnecting go through it, as the command-line program's do; with a bare
// controller (a screen over a core a test built) they go to the controller.
// Main thread unless stated.
class AppBridge {
 public:
  explicit AppBridge(std::shared_ptr<WalkieTalkieApp> app);
  explicit AppBridge(std::shared_ptr<WalkieTalkieController> controller);

  // Every peer state report (also unchanged values), current value first;
  // sends on the session's callback queue.
  Signal<bool> connectedValues() const;
  // The number of connected peers, current count first; any thread.
  Signal<std::size_t> connectedPeersCount() const;
  std::size_t connectedPeerCount() const;
  // The first entry of the peer table, or none.
  std::optional<ConnectedPeerInfo> firstConnectedPeer() const;
  // Every entry of the peer table.
  std::vector<ConnectedPeerInfo> connectedPeers() const;
  std::shared_ptr<Command<Unit>> disconnectCommand() const;

  // Refused (stays false) while no peer is connected.
  void setTransmitting(bool transmitting);
  bool isTransmitting() const;
  Signal<bool> transmittingValues() const;

  // Advertises while the signal's latest value is true.
  void toggleAdvertisingWithSignal(const Signal<bool>& advertise);
  // The nearby-peer browser of the current session (replaced on every reset).
  std::shared_ptr<PeerBrowser> peerBrowser() const;
  // The application's nearby peers and invitations for the peer list; none
  // without an application (the list then drives the browser itself).
  std::optional<PeerListSource> peerListSource(std::function<void()> finish) const;
  std::string localName() const;
  // This device's key fingerprint; empty without an application.
  std::string localFingerprint() const;
  // The application's events (main thread); none without an application.
  std::optional<Signal<AppEvent>> events() const;
  // Whether the sound device runs (always true over a bare controller,
  // whose owner decides about audio).
  bool isAudioRunning() const;
  // Whether any connected peer talks now, current value first (main thread).
  Signal<bool> anyPeerTalking() const;

  // Analytics (local only).
  void setScreenName(const std::string& name);
  void trackScreenView();
  void trackEvent(const std::string& category, const std::string& action, const std::string& label,
                  std::optional<std::int64_t> value);

  const std::shared_ptr<WalkieTalkieController>& controller() const { return _controller; }
  const std::shared_ptr<WalkieTalkieApp>& app() const { return _app; }

 private:
  std::shared_ptr<WalkieTalkieApp> _app;
  std::shared_ptr<WalkieTalkieController> _controller;
  std::shared_ptr<Command<Unit>> _disconnect;
};

// "You are NAME · key ABCD EFGH IJKL MNOP": who this device is to others.
QString identityText(const QString& name, const QString& fingerprint);

const char* launchHelpText();

// Takes every `flag` (a window-only option such as --playground) out of args
// before Qt sees them; true when there was one.
bool takeFlag(std::vector<std::string>& args, const std::string& flag);

// Starts the application for the window and turns its events into event
// lines (with --events json), questions and brief messages. Main thread,
// after the Qt main queue is installed.
class CoreLauncher {
 public:
  // Asks the user about an invitation; answer on the main thread. The
  // question is withdrawn (closePrompt) once the invitation is gone.
  using InvitationPrompt =
      std::function<void(const Invitation& invitation, std::function<void(bool)> answer)>;

  explicit CoreLauncher(ParsedRunOptions options);
  ~CoreLauncher();
  CoreLauncher(const CoreLauncher&) = delete;
  CoreLauncher& operator=(const CoreLauncher&) = delete;

  void setInvitationPrompt(InvitationPrompt prompt);
  void setClosePrompt(std::function<void(std::uint64_t id)> close);
  // A line for the user to read briefly (how an invitation ended).
  void setMessageHandler(std::function<void(const std::string&)> show);
  // False (with a message) when an option is wrong or the core does not start.
  bool launch(std::string* error);
  std::unique_ptr<AppBridge> makeBridge() const;
  // Leaves as the command-line program does (peers told, recordings
  // complete); done runs on the main thread afterwards.
  void shutdown(std::function<void()> done);
  const std::shared_ptr<WalkieTalkieApp>& app() const { return _app; }

 private:
  void eventArrived(const AppEvent& event);

  ParsedRunOptions _options;
  std::shared_ptr<WalkieTalkieApp> _app;
  std::unique_ptr<EventWriter> _writer;
  InvitationPrompt _prompt;
  std::function<void(std::uint64_t)> _closePrompt;
  std::function<void(const std::string&)> _showMessage;
  std::set<std::uint64_t> _openPrompts;
  DisposablePtr _subscription;
};

}  // namespace qur
