// The main screen: the round talk button whose lower quarter hangs below the
// bottom edge, Connect, Settings, Disconnect and a menu, one pulsing dot and
// name per connected peer stacked above the button, and lines that say what
// went wrong (no sound device, a peer that left or was lost, a refused
// invitation). It owns no audio logic: a fixed graph of signals, built once,
// turns presses (mouse, Space, the global talk key or the tray) into the
// core's transmission state and mirrors the core's connection and
// transmission state in colours, enabled states, the label and the pulses.
// Main thread.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "signals/disposable.h"
#include "signals/property.h"
#include "signals/scheduler.h"
#include "signals/signal.h"
#include "ui/app_bridge.h"
#include "ui/application_background_view.h"
#include "ui/banner_stack.h"
#include "ui/peer_dot_view.h"
#include "ui/peer_list_dialog.h"
#include "ui/pulsating_button.h"

namespace qur {

class IdleInhibitor;

class WalkieTalkieScreen : public ApplicationBackgroundView {
  Q_OBJECT

 public:
  static constexpr int kTalkButtonSize = 250;
  // A quarter of the button lies below the bottom edge.
  static constexpr double kTalkButtonOverhang = kTalkButtonSize * 0.25;
  // A low window gets a smaller button, never smaller than this.
  static constexpr int kSmallestTalkButton = 180;
  static constexpr int kPeerDotGap = 80;
  static constexpr int kSmallestPeerDotGap = 12;
  static constexpr int kPeerDotHeight = 40;
  static constexpr int kMinimumWidth = 280;
  static constexpr int kMinimumHeight = 420;
  // What the window still works at when the screen is too small for the
  // usual minimum (a large scale factor on a small screen).
  static constexpr int kSmallestHeight = 330;
  static constexpr double kReadyGateSeconds = 0.75;
  static constexpr double kPressPulseInterval = 2.0 / 3.0;
  static constexpr double kIdlePulseInterval = 3.0;

  struct Options {
    // Runs the pulse timers; null: a new background scheduler per pulse signal.
    SchedulerPtr pulseScheduler;
    // Runs the 0.75 s gate after a press; null: the main-thread scheduler.
    SchedulerPtr gateScheduler;
    // Keep the desktop from idling while connected (where the session offers it).
    bool inhibitIdle = true;
    // Where "Visible to others" and the first-start guidance are remembered;
    // null: nowhere (visible, guided until the first connection of this run).
    std::shared_ptr<QSettings> settings;
  };

  // What holds the talk button down; the press ends when the last lets go.
  enum class Hold : unsigned { Space = 1, TalkKey = 2, Latch = 4 };

  static constexpr const char* kVisibleKey = "peer/visibleToOthers";
  static constexpr const char* kGuidedKey = "ui/hasConnected";

  explicit WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, QWidget* parent = nullptr);
  WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, Options options, QWidget* parent = nullptr);
  ~WalkieTalkieScreen() override;

  PulsatingButton* talkButton() const { return _talkButton; }
  QPushButton* connectButton() const { return _connectButton; }
  QPushButton* disconnectButton() const { return _disconnectButton; }
  QPushButton* settingsButton() const { return _settingsButton; }
  QToolButton* menuButton() const { return _menuButton; }
  QMenu* menu() const { return _menu; }
  // The first peer's strip, where a single peer's has always been.
  PeerDotView* peerDotView() const;
  // One strip per connected peer, in the order they connected.
  std::vector<PeerDotView*> peerDotViews() const;
  // "+2 more" when not every strip fits; hidden otherwise.
  QLabel* morePeersLabel() const { return _morePeers; }
  PeerListDialog* peerList() const { return _peerList; }
  BannerStack* banners() const { return _banners; }
  QLabel* guidanceLabel() const { return _guidance; }
  const std::shared_ptr<AppBridge>& bridge() const { return _bridge; }

  // The settings screen to open (the settings button stays hidden without one).
  void setSettingsHandler(std::function<void()> handler);
  // Ctrl+Q and the menu's Quit; unset: the window closes.
  void setQuitHandler(std::function<void()> handler);
  // Asked when the window is closed: false keeps the program running (in
  // the tray); unset: the window closes.
  void setCloseHandler(std::function<bool()> handler);
  void openSettings();
  void quit();

  // Shows a note for a few seconds (the newest on top).
  void showMessage(const QString& text);
  // The newest line's text label, or null.
  QLabel* messageLabel() const;
  // Closes whatever the screen presented and names the screen again.
  void dismissPresented();

  // "Visible to others": advertising follows it alone; remembered.
  QAction* visibleAction() const { return _visibleAction; }
  bool isVisibleToOthers() const { return _visible.get(); }
  void setVisibleToOthers(bool visible);

  // Holds or lets go of the talk button for the keyboard, the global talk
  // key or the tray's toggle. A hold refused (not connected, the 0.75 s
  // gate) counts for nothing.
  void beginHold(Hold hold);
  void endHold(Hold hold);
  bool isHeld(Hold hold) const { return (_holds & unsigned(hold)) != 0; }

  // A pulse signal: one value at once (the date `startingIn` from now), then
  // one every interval.
  Signal<SchedulerTime> pulseSignal(double interval, double startingIn = 0.0) const;

  // The size the window opens at on a screen with this much room.
  static QSize preferredSize(const QSize& available);
  static QSize minimumSizeFor(const QSize& available);

  static QString talkButtonLabelMarkup();
  static QString guidanceText();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  std::vector<const PulsatingButton*> rippleButtons() const override;

 private:
  struct PeerStrip {
    std::string identifier;
    QPointer<PeerDotView> view;
  };

  void buildControls();
  void buildLabel();
  void connectSignals();
  void watchEvents();
  void eventArrived(const AppEvent& event);
  void connectionChanged(bool connected);
  void syncPeerStrips();
  PeerDotView* addPeerStrip(const ConnectedPeerInfo& peer);
  void removePeerStrip(PeerStrip& strip);
  void presentPeerList();
  void layOut();
  int layOutTopControls(int width);
  void routeSpace(QWidget* widget);
  void releaseSpace();
  void endSpacePress();
  void updateAnimationPause();
  void showAudioProblem();
  void updateGuidance();

  std::shared_ptr<AppBridge> _bridge;
  Options _options;
  PulsatingButton* _talkButton;
  QPushButton* _connectButton;
  QPushButton* _disconnectButton;
  QPushButton* _settingsButton;
  QToolButton* _menuButton;
  QMenu* _menu;
  QAction* _visibleAction;
  QAction* _settingsAction;
  QAction* _quitAction;
  std::vector<PeerStrip> _strips;
  QLabel* _morePeers;
  QPointer<PeerListDialog> _peerList;
  BannerStack* _banners;
  QLabel* _guidance;
  bool _guided = false;
  bool _connected = false;
  std::unique_ptr<IdleInhibitor> _idleInhibitor;
  // The browser holds its delegate weakly.
  std::shared_ptr<PeerBrowserDelegate> _browserDelegate;
  std::function<void()> _settingsHandler;
  std::function<void()> _quitHandler;
  std::function<bool()> _closeHandler;
  Property<bool> _visible{true};
  unsigned _holds = 0;
  bool _spaceHeld = false;
  // A release waits this long for the press that X11 auto-repeat pairs with it.
  static constexpr int kSpaceReleaseGraceMs = 30;
  QTimer* _spaceRelease = nullptr;
  unsigned long long _spaceReleaseTimestamp = 0;
  std::shared_ptr<CompoundDisposable> _subscriptions = CompoundDisposable::create();
  Lifetime _lifetime;
};

}  // namespace qur
