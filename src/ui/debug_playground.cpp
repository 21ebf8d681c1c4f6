#include "ui/debug_playground.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <cmath>

#include "ui/styles.h"
#include "ui/walkie_talkie_screen.h"

namespace qur {
namespace {

// The main screen's pulse table, so the playground shows exactly what users see.
struct PulseLook {
  QColor colour;
  float targetScale;
  double duration;
};

PulseLook lookFor(DebugPlayground::PulseKind kind) {
  switch (kind) {
    case DebugPlayground::PulseKind::Pressed:
      return {Styles::transmitButtonPulseColor(), 3.5f, 2.5};
    case DebugPlayground::PulseKind::Idle:
      return {Styles::transmitButtonPulseColor(), 2.0f, 2.0};
    case DebugPlayground::PulseKind::PeerIdle:
      return {Styles::peerDotPulseColor(), 2.0f, 2.5};
    case DebugPlayground::PulseKind::PeerTalking:
      return {Styles::peerDotPulseColor(), 30.0f, 3.0};
  }
  return {Styles::transmitButtonPulseColor(), 2.0f, 2.0};
}

constexpr int kStripHeight = 36;

}  // namespace

DebugPlayground* DebugPlayground::playground(QWidget* parent) {
  return new DebugPlayground(parent);
}

DebugPlayground::DebugPlayground(QWidget* parent) : ApplicationBackgroundView(parent) {
  setWindowTitle(tr("qur-wtalkie playground"));
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(280, 420);
  resize(375, 667);

  _talkButton = new PulsatingButton(this);
  _talkButton->setRippleCanvas(this);
  _talkButton->setDisabledColor(Styles::transmitButtonDisabledColor());
  _talkButton->setBackgroundColor(Styles::transmitButtonColor());
  _talkButton->setAccessibleName(tr("Talk"));

  _peerDot = new PeerDotView(this);
  _peerDot->dot()->setRippleCanvas(this);
  _peerDot->setText(tr("Peer"));

  _strip = new QWidget(this);
  _strip->setObjectName(QStringLiteral("debugStrip"));
  _strip->setAttribute(Qt::WA_StyledBackground);
  _strip->setStyleSheet(
      QStringLiteral("#debugStrip { background: rgba(0, 0, 0, 150); }"
                     "QLabel { color: rgba(255, 255, 255, 170); font-size: 11px; }"
                     "QPushButton { color: white; background: transparent; border: 1px solid"
                     " rgba(255, 255, 255, 90); border-radius: 5px; padding: 3px 10px; }"
                     "QPushButton:pressed { background: rgba(255, 255, 255, 50); }"));
  _keys = new QLabel(tr("P press · I idle · D peer · T peer talks · C colour"), _strip);
  _dismiss = new QPushButton(tr("Dismiss"), _strip);
  // Keys belong to the playground, never to the strip's button.
  _dismiss->setFocusPolicy(Qt::NoFocus);
  connect(_dismiss, &QPushButton::clicked, this, &DebugPlayground::dismiss);
  auto* strip = new QHBoxLayout(_strip);
  strip->setContentsMargins(10, 4, 10, 4);
  strip->addWidget(_keys, 1);
  strip->addWidget(_dismiss);
  layOut();
}

void DebugPlayground::dismiss() {
  if (_dismissHandler) {
    _dismissHandler();
  } else {
    close();
  }
}

void DebugPlayground::fire(PulseKind kind) {
  const PulseLook look = lookFor(kind);
  const bool peer = kind == PulseKind::PeerIdle || kind == PulseKind::PeerTalking;
  (peer ? _peerDot->dot() : _talkButton)->pulse(look.colour, look.targetScale, look.duration);
}

void DebugPlayground::cycleColour() {
  _colourIndex = (_colourIndex + 1) % 3;
  switch (_colourIndex) {
    case 0:
      _talkButton->setButtonEnabled(true);
      _talkButton->setBackgroundColor(Styles::transmitButtonColor());
      break;
    case 1:
      _talkButton->setButtonEnabled(true);
      _talkButton->setBackgroundColor(Styles::transmitButtonPressedColor());
      break;
    default:
      _talkButton->setButtonEnabled(false);
      break;
  }
}

void DebugPlayground::keyPressEvent(QKeyEvent* event) {
  if (event->isAutoRepeat()) return;
  switch (event->key()) {
    case Qt::Key_P:
      fire(PulseKind::Pressed);
      return;
    case Qt::Key_I:
      fire(PulseKind::Idle);
      return;
    case Qt::Key_D:
      fire(PulseKind::PeerIdle);
      return;
    case Qt::Key_T:
      fire(PulseKind::PeerTalking);
      return;
    case Qt::Key_C:
      cycleColour();
      return;
    case Qt::Key_Escape:
      dismiss();
      return;
    default:
      ApplicationBackgroundView::keyPressEvent(event);
  }
}

void DebugPlayground::layOut() {
  const int size = WalkieTalkieScreen::kTalkButtonSize;
  const int top = int(std::lround(height() + WalkieTalkieScreen::kTalkButtonOverhang - size));
  _talkButton->setGeometry((width() - size) / 2, top, size, size);
  _peerDot->setGeometry(0,
                        top - WalkieTalkieScreen::kPeerDotGap - WalkieTalkieScreen::kPeerDotHeight,
                        width(), WalkieTalkieScreen::kPeerDotHeight);
  _strip->setGeometry(0, height() - kStripHeight, width(), kStripHeight);
  _strip->raise();
}

void DebugPlayground::resizeEvent(QResizeEvent* event) {
  ApplicationBackgroundView::resizeEvent(event);
  layOut();
}

std::vector<const PulsatingButton*> DebugPlayground::rippleButtons() const {
  return {_peerDot->dot(), _talkButton};
}

}  // namespace qur
