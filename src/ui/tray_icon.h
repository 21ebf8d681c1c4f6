// The program's icon in the desktop's tray: its colour tells the state at a
// glance (grey alone, blue connected, crimson while we talk, blinking while
// a peer talks), its menu shows the window, switches visibility, talks
// (a toggle: a menu cannot be held) and quits. Main thread.
#pragma once

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "signals/disposable.h"

namespace qur {

class WalkieTalkieApp;

enum class TrayState { Alone, Connected, Talking, Hearing };

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  struct Actions {
    // Shows and raises the window.
    std::function<void()> show;
    // Starts (true) or ends (false) a transmission.
    std::function<void(bool)> talk;
    // Ends the program.
    std::function<void()> quit;
    // Checkable; shared with the window's own menu. Null: no such entry.
    QAction* visibleToOthers = nullptr;
  };

  explicit TrayIcon(Actions actions, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Whether the desktop shows tray icons at all.
  static bool isAvailable();
  void setVisible(bool visible);

  // Shows the application's state from now on: who is connected, whether
  // we or a peer talk.
  void follow(WalkieTalkieApp& app);
  // The state to show; connected decides whether talking is offered.
  void setState(TrayState state);
  TrayState state() const { return _state; }
  // Who is connected, for the tooltip.
  void setPeers(const QStringList& names);

  QMenu* menu() const { return _menu; }
  QAction* talkAction() const { return _talk; }
  QString toolTip() const;
  // The icon for a state; `lit` is the brighter of the two blinking frames.
  static QIcon iconFor(TrayState state, bool lit = true);
  const QIcon& currentIcon() const { return _current; }

 Q_SIGNALS:
  // The icon itself was clicked: show or hide the window.
  void toggleWindow();

 private:
  void refresh();
  void blink();

  Actions _actions;
  TrayState _state = TrayState::Alone;
  QStringList _peers;
  bool _lit = true;
  QIcon _current;
  QMenu* _menu;
  QAction* _show;
  QAction* _talk;
  QAction* _quit;
  QTimer _blinker;
  std::unique_ptr<QSystemTrayIcon> _icon;
  std::vector<DisposablePtr> _subscriptions;
};

}  // namespace qur
