// A screen for trying the talk button's look on its own: the button where
// the main screen has it (and a sample peer dot above it), a strip with
// "Dismiss" along the bottom edge, and keys that fire each of the main
// screen's pulse kinds by hand:
//   P  pressed (talk button)        I  idle (talk button)
//   D  peer idle (peer dot)         T  peer talking (peer dot)
//   C  cycles the button's colour   Escape  dismisses
// Main thread.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>

#include "ui/application_background_view.h"
#include "ui/peer_dot_view.h"
#include "ui/pulsating_button.h"

namespace qur {

class DebugPlayground : public ApplicationBackgroundView {
  Q_OBJECT

 public:
  enum class PulseKind { Pressed, Idle, PeerIdle, PeerTalking };

  static DebugPlayground* playground(QWidget* parent = nullptr);
  explicit DebugPlayground(QWidget* parent = nullptr);

  PulsatingButton* talkButton() const { return _talkButton; }
  PeerDotView* peerDotView() const { return _peerDot; }
  QWidget* debugStrip() const { return _strip; }
  QPushButton* dismissButton() const { return _dismiss; }

  // What "Dismiss" does; by default the playground closes.
  void setDismissHandler(std::function<void()> handler) { _dismissHandler = std::move(handler); }
  void fire(PulseKind kind);
  // Ready, pressed, disabled, ready, …
  void cycleColour();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  std::vector<const PulsatingButton*> rippleButtons() const override;

 private:
  void layOut();
  void dismiss();

  PulsatingButton* _talkButton;
  PeerDotView* _peerDot;
  QWidget* _strip;
  QLabel* _keys;
  QPushButton* _dismiss;
  std::function<void()> _dismissHandler;
  int _colourIndex = 0;
};

}  // namespace qur
