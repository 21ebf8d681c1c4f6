// The main screen: the round talk button whose lower quarter hangs below the
// bottom edge, connect and disconnect buttons, and while a peer is connected
// a pulsing dot naming it. It owns no audio logic: a fixed graph of signals,
// built once, turns presses (mouse or Space) into the core's transmission
// state and mirrors the core's connection state in colours, enabled states,
// the label and the pulses. Main thread.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>

#include "signals/disposable.h"
#include "signals/scheduler.h"
#include "signals/signal.h"
#include "ui/app_bridge.h"
#include "ui/application_background_view.h"
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
  static constexpr int kPeerDotGap = 80;
  static constexpr int kPeerDotHeight = 40;
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
  };

  explicit WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, QWidget* parent = nullptr);
  WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, Options options, QWidget* parent = nullptr);
  ~WalkieTalkieScreen() override;

  PulsatingButton* talkButton() const { return _talkButton; }
  QPushButton* connectButton() const { return _connectButton; }
  QPushButton* disconnectButton() const { return _disconnectButton; }
  QPushButton* settingsButton() const { return _settingsButton; }
  PeerDotView* peerDotView() const { return _peerDotView; }
  PeerListDialog* peerList() const { return _peerList; }
  const std::shared_ptr<AppBridge>& bridge() const { return _bridge; }

  // The settings screen to open (the settings button stays hidden without one).
  void setSettingsHandler(std::function<void()> handler);
  // Shows a line for a few seconds above the buttons (the newest replaces it).
  void showMessage(const QString& text);
  QLabel* messageLabel() const { return _message; }
  // Closes whatever the screen presented and names the screen again.
  void dismissPresented();

  // A pulse signal: one value at once (the date `startingIn` from now), then
  // one every interval.
  Signal<SchedulerTime> pulseSignal(double interval, double startingIn = 0.0) const;

  static QString talkButtonLabelMarkup();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintAboveBackground(QPainter& painter) override;

 private:
  void buildLabel();
  void connectSignals();
  void connectionChanged(bool connected);
  void showPeerDot(const ConnectedPeerInfo& peer);
  void removePeerDot();
  void presentPeerList();
  void layOut();
  void releaseSpace();
  void endSpacePress();

  std::shared_ptr<AppBridge> _bridge;
  Options _options;
  PulsatingButton* _talkButton;
  QPushButton* _connectButton;
  QPushButton* _disconnectButton;
  QPushButton* _settingsButton;
  QPointer<PeerDotView> _peerDotView;
  QPointer<PeerListDialog> _peerList;
  static constexpr int kMessageMs = 4000;
  QLabel* _message = nullptr;
  QTimer* _messageTimer = nullptr;
  std::unique_ptr<IdleInhibitor> _idleInhibitor;
  // The browser holds its delegate weakly.
  std::shared_ptr<PeerBrowserDelegate> _browserDelegate;
  std::function<void()> _settingsHandler;
  bool _spaceHeld = false;
  // A release waits this long for the press that X11 auto-repeat pairs with it.
  static constexpr int kSpaceReleaseGraceMs = 30;
  QTimer* _spaceRelease = nullptr;
  unsigned long long _spaceReleaseTimestamp = 0;
  std::shared_ptr<CompoundDisposable> _subscriptions = CompoundDisposable::create();
  Lifetime _lifetime;
};

}  // namespace qur
