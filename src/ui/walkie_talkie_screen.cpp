#include "ui/walkie_talkie_screen.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>

#include "log/log.h"
#include "signals/main_queue.h"
#include "signals/notification_center.h"
#include "signals/signal_operators.h"
#include "ui/idle_inhibitor.h"
#include "ui/markup_parser.h"
#include "ui/peer_list_dialog.h"
#include "ui/styles.h"
#include "ui/ui_adapters.h"
#include "ui/view_extensions.h"

namespace qur {
namespace {

constexpr const char* kHomeScreen = "Home Screen";
constexpr const char* kPeerBrowserView = "Peer Browser View";

QPushButton* makeScreenButton(const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setFont(Styles::screenButtonFont());
  button->setFlat(true);
  button->setCursor(Qt::PointingHandCursor);
  // Space belongs to the talk button, never to a focused push button.
  button->setFocusPolicy(Qt::NoFocus);
  button->setStyleSheet(
      QStringLiteral("QPushButton { color: white; background: transparent; border: none;"
                     " padding: 6px 10px; }"
                     "QPushButton:disabled { color: rgba(255, 255, 255, 70); }"
                     "QPushButton:pressed { color: rgba(255, 255, 255, 150); }"));
  return button;
}

}  // namespace

// Answers of the peer browser come on any thread; the screen is touched on
// the main thread only, and only while it exists.
class ScreenBrowserDelegate final : public PeerBrowserDelegate {
 public:
  explicit ScreenBrowserDelegate(WalkieTalkieScreen* screen) : _screen(screen) {}
  void browserViewControllerDidFinish(PeerBrowser&) override { dismiss(); }
  void browserViewControllerWasCancelled(PeerBrowser&) override { dismiss(); }

 private:
  void dismiss() {
    const QPointer<WalkieTalkieScreen> screen = _screen;
    mainQueue().post([screen] {
      if (screen) screen->dismissPresented();
    });
  }
  QPointer<WalkieTalkieScreen> _screen;
};

WalkieTalkieScreen::WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, QWidget* parent)
    : WalkieTalkieScreen(std::move(bridge), Options{}, parent) {}

WalkieTalkieScreen::WalkieTalkieScreen(std::shared_ptr<AppBridge> bridge, Options options,
                                       QWidget* parent)
    : ApplicationBackgroundView(parent), _bridge(std::move(bridge)), _options(std::move(options)) {
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(280, 420);
  resize(375, 667);

  _bridge->setScreenName(kHomeScreen);
  _bridge->trackScreenView();

  _talkButton = new PulsatingButton(this);
  _talkButton->setRippleCanvas(this);
  _talkButton->setDisabledColor(Styles::transmitButtonDisabledColor());
  _talkButton->setAccessibleName(tr("Talk"));

  _connectButton = makeScreenButton(tr("Connect"), this);
  _disconnectButton = makeScreenButton(tr("Disconnect"), this);
  _settingsButton = makeScreenButton(tr("Settings"), this);
  _settingsButton->hide();
  connect(_settingsButton, &QPushButton::clicked, this, [this] {
    if (_settingsHandler) _settingsHandler();
  });

  if (_options.inhibitIdle)
    _idleInhibitor = std::make_unique<IdleInhibitor>(tr("Connected to a peer"));

  connectSignals();
  layOut();
  buildLabel();
}

WalkieTalkieScreen::~WalkieTalkieScreen() {
  _subscriptions->dispose();
  // Nothing keeps advertising on a signal of a screen that is gone.
  _bridge->toggleAdvertisingWithSignal(Signal<bool>::never());
}

QString WalkieTalkieScreen::talkButtonLabelMarkup() {
  // Translators: "big" marks the large words; "root" the rest.
  return QCoreApplication::translate("WalkieTalkieScreen", "hold to\n<big>talk</big>",
                                     "TALK_BUTTON_LABEL");
}

void WalkieTalkieScreen::buildLabel() {
  const QFont small = Styles::talkButtonSmallFont();
  const QFont large = Styles::talkButtonLargeFont();
  TextAttributes root;
  root.insert(kFontAttribute, small);
  root.insert(kColorAttribute, Styles::labelColor());
  root.insert(kAlignmentAttribute, int(Qt::AlignHCenter));
  root.insert(kMaximumLineHeightAttribute, QFontMetricsF(small).height() * 0.75);
  TextAttributes big;
  big.insert(kFontAttribute, large);
  big.insert(kMaximumLineHeightAttribute, QFontMetricsF(large).height() * 0.85);
  QString error;
  const auto text = MarkupParser::parseString(
      talkButtonLabelMarkup(), {{QStringLiteral("root"), root}, {QStringLiteral("big"), big}},
      &error);
  // A broken translation leaves the button without text rather than with markup.
  if (!text) {
    QUR_LOG_ERROR("Talk button label does not parse: %s", error.toUtf8().constData());
  }
  _talkButton->setLabel(text.value_or(AttributedString()));
}

Signal<SchedulerTime> WalkieTalkieScreen::pulseSignal(double interval, double startingIn) const {
  SchedulerPtr scheduler =
      _options.pulseScheduler ? _options.pulseScheduler : Scheduler::scheduler("qur.ui.pulse");
  const double offset = startingIn;
  auto timer = qur::interval(interval, scheduler);
  return Signal<SchedulerTime>::create(
      [timer, scheduler, offset](const SubscriberPtr<SchedulerTime>& subscriber) {
        // Every subscription pulses at once, then once per interval.
        subscriber->sendNext(scheduler->now() + secondsToDuration(offset));
        return timer.subscribe(subscriber);
      });
}

void WalkieTalkieScreen::connectSignals() {
  const auto main = Scheduler::mainThreadScheduler();
  const QPointer<WalkieTalkieScreen> self(this);
  const QPointer<PulsatingButton> talkButton(_talkButton);

  const Signal<bool> pressed = _talkButton->pressedValues();
  const Signal<bool> ready =
      pressed.filter([](bool value) { return value; })
          .blockOnValueForDuration(kReadyGateSeconds, _options.gateScheduler);
  const Signal<bool> connected = _bridge->connectedValues();
  const Signal<SchedulerTime> pressPulse = Signal<SchedulerTime>::ifThenElse(
      pressed, pulseSignal(kPressPulseInterval), Signal<SchedulerTime>::never());
  const Signal<bool> idle = connected.andWithSignal(pressed.logicalNot());
  const Signal<bool> usable = connected.andWithSignal(ready);
  const Signal<QColor> buttonColour =
      pressed.combineLatestWith(usable).reduceEach([](bool isPressed, bool isUsable) {
        if (isPressed) return Styles::transmitButtonPressedColor();
        return isUsable ? Styles::transmitButtonColor() : Styles::transmitButtonDisabledColor();
      });
  const Signal<SchedulerTime> idlePulse = Signal<SchedulerTime>::ifThenElse(
      idle, pulseSignal(kIdlePulseInterval), Signal<SchedulerTime>::never());
  const Signal<bool> hasPeers =
      _bridge->connectedPeersCount().map([](std::size_t count) { return count > 0; });
  const Signal<bool> resigning =
      NotificationCenter::defaultCenter()
          .addObserverForNames(
              {kApplicationWillResignActiveNotification, kApplicationDidBecomeActiveNotification},
              QCoreApplication::instance())
          .map([](const Notification& notification) {
            return notification.name == kApplicationWillResignActiveNotification;
          });
  const Signal<bool> advertise = resigning.logicalNot().andWithSignal(hasPeers.logicalNot());

  _talkButton->pulseOnSignal(pressPulse, Styles::transmitButtonPulseColor(), 3.5f, 2.5);
  _talkButton->pulseOnSignal(idlePulse, Styles::transmitButtonPulseColor(), 2.0f, 2.0);

  _subscriptions->addDisposable(bindSignal(
      buttonColour.deliverOn(main), _lifetime,
      [talkButton](const QColor& colour) {
        if (talkButton) talkButton->setBackgroundColor(colour);
      },
      "backgroundColor"));
  _subscriptions->addDisposable(bindSignal(
      usable.deliverOn(main), _lifetime,
      [talkButton](const bool& enabled) {
        if (talkButton) talkButton->setButtonEnabled(enabled);
      },
      "enabled"));
  _subscriptions->addDisposable(bindSignal(
      connected.andWithSignal(pressed.logicalNot()).startWith(false).deliverOn(main), _lifetime,
      [talkButton](const bool& visible) {
        if (talkButton) talkButton->setLabelVisible(visible);
      },
      "labelVisible"));

  auto connectCommand =
      std::make_shared<Command<Unit, Unit>>(hasPeers.logicalNot(), [self](const Unit&) {
        return Signal<Unit>::create([self](const SubscriberPtr<Unit>& subscriber) {
          if (self) self->presentPeerList();
          subscriber->sendCompleted();
          return DisposablePtr();
        });
      });
  setCommand(_connectButton, connectCommand);
  setCommand(_disconnectButton, _bridge->disconnectCommand());

  const std::shared_ptr<AppBridge> bridge = _bridge;
  _subscriptions->addDisposable(bindSignal(
      pressed.andWithSignal(connected).distinctUntilChanged().deliverOn(main), _lifetime,
      [bridge](const bool& transmitting) { bridge->setTransmitting(transmitting); },
      "transmitting"));

  _subscriptions->addDisposable(connected.deliverOn(main).subscribeNext([self](const bool& value) {
    if (self) self->connectionChanged(value);
  }));

  _bridge->toggleAdvertisingWithSignal(advertise);

  _subscriptions->addDisposable(bindSignal(
      connected.deliverOn(main), _lifetime,
      [self](const bool& value) {
        if (self && self->_idleInhibitor) {
          self->_idleInhibitor->setInhibited(value);
        }
      },
      "idleTimerDisabled"));
}

void WalkieTalkieScreen::connectionChanged(bool connected) {
  const auto count = std::int64_t(_bridge->connectedPeerCount());
  _bridge->trackEvent("walkie_talkie", "connection", connected ? "connected" : "disconnected",
                      count);
  // The core announces "connected" on every peer change: one dot at most.
  removePeerDot();
  if (!connected) return;
  const auto peer = _bridge->firstConnectedPeer();
  if (!peer) return;
  showPeerDot(*peer);
}

void WalkieTalkieScreen::removePeerDot() {
  if (!_peerDotView) return;
  PeerDotView* dot = _peerDotView;
  _peerDotView = nullptr;
  dot->dot()->setRippleCanvas(nullptr);
  dot->hide();
  dot->deleteLater();
  update();
}

void WalkieTalkieScreen::showPeerDot(const ConnectedPeerInfo& peer) {
  auto* dot = new PeerDotView(this);
  dot->setText(QString::fromStdString(peer.name));
  dot->hide();
  dot->stackUnder(_talkButton);
  _peerDotView = dot;
  layOut();

  // Appears one main-thread turn later, on whatever dot the screen holds then.
  const QPointer<WalkieTalkieScreen> self(this);
  const Signal<bool> talking = peer.transmitting;
  const Signal<PeerLink> link = peer.link;
  mainQueue().post([self, talking, link] {
    if (!self || !self->_peerDotView) return;
    PeerDotView* view = self->_peerDotView;
    view->followLink(link);
    setHiddenAnimated(view, false, 0.5);
    view->dot()->setRippleCanvas(self);
    const Signal<bool> idle = talking.logicalNot().startWith(true);
    view->dot()->pulseOnSignal(
        Signal<SchedulerTime>::ifThenElse(idle, self->pulseSignal(kIdlePulseInterval, 0.5),
                                          Signal<SchedulerTime>::never()),
        Styles::peerDotPulseColor(), 2.0f, 2.5);
    view->dot()->pulseOnSignal(
        Signal<SchedulerTime>::ifThenElse(talking, self->pulseSignal(kPressPulseInterval),
                                          Signal<SchedulerTime>::never()),
        Styles::peerDotPulseColor(), 30.0f, 3.0);
  });
}

void WalkieTalkieScreen::presentPeerList() {
  if (_peerList) return;
  const QPointer<WalkieTalkieScreen> self(this);
  // The application keeps browsing and the nearby list for everyone; the
  // dialog only shows it.
  if (auto source = _bridge->peerListSource([self] {
        mainQueue().post([self] {
          if (self) self->dismissPresented();
        });
      })) {
    _peerList = new PeerListDialog(std::move(*source), this);
  } else {
    auto browser = _bridge->peerBrowser();
    if (browser) {
      _browserDelegate = std::make_shared<ScreenBrowserDelegate>(this);
      browser->setDelegate(_browserDelegate);
    }
    _peerList = new PeerListDialog(browser, this);
  }
  _peerList->show();
  _peerList->raise();
  // Arrows, Enter and Escape work at once.
  _peerList->setFocus();
  layOut();
  _bridge->setScreenName(kPeerBrowserView);
  _bridge->trackScreenView();
}

void WalkieTalkieScreen::dismissPresented() {
  if (_peerList) {
    _peerList->hide();
    _peerList->deleteLater();
    _peerList = nullptr;
    layOut();
  }
  _bridge->setScreenName(kHomeScreen);
  setFocus();
}

void WalkieTalkieScreen::showMessage(const QString& text) {
  if (!_message) {
    _message = new QLabel(this);
    _message->setObjectName(QStringLiteral("screenMessage"));
    _message->setWordWrap(true);
    _message->setAlignment(Qt::AlignCenter);
    _message->setStyleSheet(
        QStringLiteral("#screenMessage { color: white; background: rgba(20, 28, 36, 215);"
                       " border-radius: 10px; padding: 8px 12px; font-size: 15px; }"));
    _messageTimer = new QTimer(this);
    _messageTimer->setSingleShot(true);
    connect(_messageTimer, &QTimer::timeout, _message, &QWidget::hide);
  }
  _message->setText(text);
  _message->show();
  _message->raise();
  layOut();
  _messageTimer->start(kMessageMs);
}

void WalkieTalkieScreen::setSettingsHandler(std::function<void()> handler) {
  _settingsHandler = std::move(handler);
  _settingsButton->setVisible(bool(_settingsHandler));
  layOut();
}

void WalkieTalkieScreen::layOut() {
  const int w = width();
  const int h = height();
  const int talkTop = int(std::lround(h + kTalkButtonOverhang - kTalkButtonSize));
  _talkButton->setGeometry((w - kTalkButtonSize) / 2, talkTop, kTalkButtonSize, kTalkButtonSize);
  if (_peerDotView) {
    _peerDotView->setGeometry(0, talkTop - kPeerDotGap - kPeerDotHeight, w, kPeerDotHeight);
  }
  const int margin = 10;
  const QSize connectSize = _connectButton->sizeHint();
  _connectButton->setGeometry(margin, margin, connectSize.width(), connectSize.height());
  const QSize disconnectSize = _disconnectButton->sizeHint();
  _disconnectButton->setGeometry(w - margin - disconnectSize.width(), margin,
                                 disconnectSize.width(), disconnectSize.height());
  const QSize settingsSize = _settingsButton->sizeHint();
  _settingsButton->setGeometry((w - settingsSize.width()) / 2, margin, settingsSize.width(),
                               settingsSize.height());
  const int top = margin + connectSize.height() + margin;
  if (_peerList) {
    _peerList->setGeometry(16, top, w - 32, std::max(160, talkTop - kPeerDotGap - top));
  }
  if (_message) {
    const int width = w - 32;
    // Below an open peer browser, whose rows the message would hide.
    const int messageTop = _peerList ? _peerList->geometry().bottom() + 8 : top;
    _message->setGeometry(16, messageTop, width, _message->heightForWidth(width));
  }
}

void WalkieTalkieScreen::resizeEvent(QResizeEvent* event) {
  ApplicationBackgroundView::resizeEvent(event);
  layOut();
}

void WalkieTalkieScreen::paintAboveBackground(QPainter& painter) {
  // Ripples spread over the whole screen, behind every button.
  auto paint = [&painter, this](PulsatingButton* button) {
    if (!button || button->rippleCanvas() != this || !button->isVisibleTo(this)) return;
    painter.save();
    painter.translate(button->mapTo(this, QPoint(0, 0)));
    button->paintRipples(painter);
    painter.restore();
  };
  if (_peerDotView) paint(_peerDotView->dot());
  paint(_talkButton);
}

// Space presses the talk button like the mouse. X11 repeats a held key as
// release/press pairs. Qt marks most as auto-repeat; those it cannot tell
// (the press not yet queued when the release is read) carry the release's
// timestamp, so a release waits briefly for such a press before it counts.
void WalkieTalkieScreen::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Space) return ApplicationBackgroundView::keyPressEvent(event);
  event->accept();
  if (event->isAutoRepeat()) return;
  if (_spaceRelease && _spaceRelease->isActive()) {
    _spaceRelease->stop();
    if (event->timestamp() == _spaceReleaseTimestamp) return;  // a repeat after all
    endSpacePress();
  }
  if (_spaceHeld) return;
  _spaceHeld = true;
  _talkButton->beginTracking();
}

void WalkieTalkieScreen::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Space) return ApplicationBackgroundView::keyReleaseEvent(event);
  event->accept();
  if (event->isAutoRepeat() || !_spaceHeld) return;
  if (!_spaceRelease) {
    _spaceRelease = new QTimer(this);
    _spaceRelease->setSingleShot(true);
    connect(_spaceRelease, &QTimer::timeout, this, [this] { endSpacePress(); });
  }
  _spaceReleaseTimestamp = event->timestamp();
  _spaceRelease->start(kSpaceReleaseGraceMs);
}

void WalkieTalkieScreen::endSpacePress() {
  if (!_spaceHeld) return;
  _spaceHeld = false;
  _talkButton->endTracking(true);
}

// A release that goes to another window would leave us transmitting.
void WalkieTalkieScreen::releaseSpace() {
  if (_spaceRelease) _spaceRelease->stop();
  if (!_spaceHeld) return;
  _spaceHeld = false;
  _talkButton->cancelTracking();
}

void WalkieTalkieScreen::focusOutEvent(QFocusEvent* event) {
  ApplicationBackgroundView::focusOutEvent(event);
  releaseSpace();
}

void WalkieTalkieScreen::changeEvent(QEvent* event) {
  ApplicationBackgroundView::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) releaseSpace();
}

}  // namespace qur
