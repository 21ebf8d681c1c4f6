#include "ui/walkie_talkie_screen.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "app/app_event_lines.h"
#include "log/log.h"
#include "peers/peer_session.h"
#include "signals/main_queue.h"
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
constexpr int kMargin = 10;
constexpr int kGap = 6;
// Each side of the banners and the browser.
constexpr int kInset = 16;
constexpr const char* kAudioBanner = "audio";
// Set on a peer strip once its fade-in has begun.
constexpr const char* kAppearedProperty = "qurAppeared";

QString screenButtonStyle() {
  return QStringLiteral(
      "QPushButton, QToolButton { color: white; background: transparent;"
      " border: 1px solid transparent; border-radius: 6px; padding: 5px 7px; }"
      "QPushButton:disabled { color: rgba(255, 255, 255, 70); }"
      "QPushButton:pressed, QToolButton:pressed { color: rgba(255, 255, 255, 150); }"
      "QPushButton:focus, QToolButton:focus { border-color: rgba(255, 255, 255, 150); }"
      "QToolButton::menu-indicator { image: none; width: 0; }");
}

template <class Button>
Button* makeScreenButton(const QString& text, QWidget* parent) {
  auto* button = new Button(parent);
  button->setText(text);
  button->setFont(Styles::screenButtonFont());
  button->setCursor(Qt::PointingHandCursor);
  // Tab reaches it; a click does not take the focus from the talk key.
  button->setFocusPolicy(Qt::TabFocus);
  button->setStyleSheet(screenButtonStyle());
  return button;
}

QString bannerText(const AppEvent& event) {
  const QString peer = QString::fromStdString(event.peer);
  if (event.reason == "left") return WalkieTalkieScreen::tr("%1 left").arg(peer);
  if (event.reason == "no_answer") {
    return WalkieTalkieScreen::tr("Lost %1: no answer for %2 s")
        .arg(peer)
        .arg((event.silenceMs + 999) / 1000);
  }
  return WalkieTalkieScreen::tr("Lost %1: %2")
      .arg(peer, QString::fromStdString(peerDisconnectedWords(event)));
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
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(375, 667);
  if (_options.settings) {
    _visible.set(_options.settings->value(kVisibleKey, true).toBool());
    _guided = _options.settings->value(kGuidedKey, false).toBool();
  }

  _bridge->setScreenName(kHomeScreen);
  _bridge->trackScreenView();

  _talkButton = new PulsatingButton(this);
  _talkButton->setRippleCanvas(this);
  _talkButton->setDisabledColor(Styles::transmitButtonDisabledColor());
  _talkButton->setAccessibleName(tr("Talk"));

  buildControls();

  if (_options.inhibitIdle)
    _idleInhibitor = std::make_unique<IdleInhibitor>(tr("Connected to a peer"));

  connectSignals();
  watchEvents();
  buildLabel();
  if (!_bridge->isAudioRunning()) showAudioProblem();
  updateGuidance();
  layOut();
}

WalkieTalkieScreen::~WalkieTalkieScreen() {
  _subscriptions->dispose();
  // Nothing keeps advertising on a signal of a screen that is gone.
  _bridge->toggleAdvertisingWithSignal(Signal<bool>::never());
}

void WalkieTalkieScreen::buildControls() {
  _connectButton = makeScreenButton<QPushButton>(tr("&Connect"), this);
  _connectButton->setAutoDefault(true);
  _disconnectButton = makeScreenButton<QPushButton>(tr("&Disconnect"), this);
  _disconnectButton->setAutoDefault(true);
  _settingsButton = makeScreenButton<QPushButton>(tr("&Settings"), this);
  _settingsButton->setAutoDefault(true);
  _settingsButton->hide();
  connect(_settingsButton, &QPushButton::clicked, this, [this] { openSettings(); });

  _menu = new QMenu(this);
  _visibleAction = new QAction(tr("&Visible to others"), this);
  _visibleAction->setCheckable(true);
  _visibleAction->setChecked(_visible.get());
  _visibleAction->setToolTip(tr("Nearby devices list this one and can invite it"));
  connect(_visibleAction, &QAction::toggled, this, [this](bool on) { setVisibleToOthers(on); });
  _settingsAction = new QAction(tr("Settings…"), this);
  _settingsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  _settingsAction->setShortcutContext(Qt::WindowShortcut);
  _settingsAction->setEnabled(false);
  connect(_settingsAction, &QAction::triggered, this, [this] { openSettings(); });
  _quitAction = new QAction(tr("&Quit"), this);
  _quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  _quitAction->setShortcutContext(Qt::WindowShortcut);
  connect(_quitAction, &QAction::triggered, this, [this] { quit(); });
  _menu->addAction(_visibleAction);
  _menu->addAction(_settingsAction);
  _menu->addSeparator();
  _menu->addAction(_quitAction);
  // Shortcuts work from the window, not only from the open menu.
  addAction(_settingsAction);
  addAction(_quitAction);

  _menuButton = makeScreenButton<QToolButton>(QStringLiteral("☰"), this);
  _menuButton->setAccessibleName(tr("Menu"));
  _menuButton->setToolTip(tr("Menu"));
  _menuButton->setMenu(_menu);
  _menuButton->setPopupMode(QToolButton::InstantPopup);

  _banners = new BannerStack(this);
  connect(_banners, &BannerStack::changed, this, [this] {
    for (Banner* banner : _banners->banners()) {
      routeSpace(banner->closeButton());
      if (banner->actionButton()) routeSpace(banner->actionButton());
    }
    layOut();
  });

  _guidance = new QLabel(guidanceText(), this);
  _guidance->setObjectName(QStringLiteral("guidance"));
  _guidance->setAlignment(Qt::AlignCenter);
  _guidance->setWordWrap(true);
  _guidance->setStyleSheet(
      QStringLiteral("#guidance { color: rgba(255, 255, 255, 170); font-size: 15px; }"));

  _morePeers = new QLabel(this);
  _morePeers->setObjectName(QStringLiteral("morePeers"));
  _morePeers->setAlignment(Qt::AlignCenter);
  _morePeers->setFont(Styles::peerDotLabelFont());
  _morePeers->setStyleSheet(QStringLiteral("#morePeers { color: %1; }")
                                .arg(Styles::peerDotLabelColor().name(QColor::HexArgb)));
  _morePeers->hide();

  for (QWidget* control : std::initializer_list<QWidget*>{_connectButton, _settingsButton,
                                                          _disconnectButton, _menuButton})
    routeSpace(control);
  setTabOrder(_connectButton, _settingsButton);
  setTabOrder(_settingsButton, _disconnectButton);
  setTabOrder(_disconnectButton, _menuButton);
}

QString WalkieTalkieScreen::talkButtonLabelMarkup() {
  // Translators: "big" marks the large words; "root" the rest.
  return QCoreApplication::translate("WalkieTalkieScreen", "hold to\n<big>talk</big>",
                                     "TALK_BUTTON_LABEL");
}

QString WalkieTalkieScreen::guidanceText() {
  return tr("Press Connect to find colleagues on this network");
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
  // What is really on the air: a press the core ended (the last peer left)
  // no longer shows as talking.
  const Signal<bool> sending =
      pressed.andWithSignal(_bridge->transmittingValues()).distinctUntilChanged();
  const Signal<SchedulerTime> pressPulse = Signal<SchedulerTime>::ifThenElse(
      sending, pulseSignal(kPressPulseInterval), Signal<SchedulerTime>::never());
  const Signal<bool> idle = connected.andWithSignal(pressed.logicalNot());
  const Signal<bool> usable = connected.andWithSignal(ready);
  const Signal<QColor> buttonColour =
      sending.combineLatestWith(usable).reduceEach([](bool isSending, bool isUsable) {
        if (isSending) return Styles::transmitButtonPressedColor();
        return isUsable ? Styles::transmitButtonColor() : Styles::transmitButtonDisabledColor();
      });
  const Signal<SchedulerTime> idlePulse = Signal<SchedulerTime>::ifThenElse(
      idle, pulseSignal(kIdlePulseInterval), Signal<SchedulerTime>::never());
  const Signal<std::size_t> peerCount = _bridge->connectedPeersCount();

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

  // The core connects several peers: Connect stays open until the session is full.
  const Signal<bool> room =
      peerCount.map([](std::size_t count) { return count + 1 < PeerSession::kMaximumPeers; });
  auto connectCommand = std::make_shared<Command<Unit, Unit>>(room, [self](const Unit&) {
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

  // Visible to others is the user's switch alone: neither minimizing nor a
  // connection changes it.
  _bridge->toggleAdvertisingWithSignal(_visible.values().distinctUntilChanged());

  _subscriptions->addDisposable(bindSignal(
      connected.deliverOn(main), _lifetime,
      [self](const bool& value) {
        if (self && self->_idleInhibitor) {
          self->_idleInhibitor->setInhibited(value);
        }
      },
      "idleTimerDisabled"));
}

void WalkieTalkieScreen::watchEvents() {
  const auto events = _bridge->events();
  if (!events) return;
  const QPointer<WalkieTalkieScreen> self(this);
  _subscriptions->addDisposable(events->subscribeNext([self](const AppEvent& event) {
    if (self) self->eventArrived(event);
  }));
}

void WalkieTalkieScreen::eventArrived(const AppEvent& event) {
  const QString peer = QString::fromStdString(event.peer);
  switch (event.kind) {
    case AppEvent::Kind::PeerDisconnected:
      // Leaving ourselves is no news.
      if (event.reason.empty()) return;
      _banners->showBanner(QStringLiteral("peer:") + peer, Banner::Kind::Warning,
                           bannerText(event));
      return;
    case AppEvent::Kind::PeerConnected:
      _banners->dismiss(QStringLiteral("peer:") + peer);
      _banners->dismiss(QStringLiteral("invite:") + peer);
      return;
    case AppEvent::Kind::InvitationResult: {
      // The peer's invitation to us: its question says how it ended.
      if (event.value) return;
      const QString text = QString::fromStdString(appEventLine(event).text);
      const bool refused = event.reason == "declined" || event.reason == "timed_out" ||
                           event.reason == "unreachable";
      // A refusal stays until the peer connects after all; other news is a note.
      if (refused) {
        _banners->showBanner(QStringLiteral("invite:") + peer, Banner::Kind::Warning, text);
      } else {
        showMessage(text);
      }
      return;
    }
    case AppEvent::Kind::Invitation: {
      if (event.invitation.trust != "key changed") return;
      const QString inviter = QString::fromStdString(event.invitation.peer);
      _banners->showBanner(
          QStringLiteral("key:") + inviter, Banner::Kind::Warning,
          tr("%1's key changed: another device may be using the name").arg(inviter));
      return;
    }
    case AppEvent::Kind::AudioStopped:
      showAudioProblem();
      return;
    default:
      return;
  }
}

void WalkieTalkieScreen::showAudioProblem() {
  Banner* banner = _banners->showBanner(QString::fromLatin1(kAudioBanner), Banner::Kind::Warning,
                                        tr("No sound device — others will not hear you"));
  if (_settingsHandler) banner->setAction(tr("Settings"), [this] { openSettings(); });
}

void WalkieTalkieScreen::connectionChanged(bool connected) {
  const auto count = std::int64_t(_bridge->connectedPeerCount());
  _bridge->trackEvent("walkie_talkie", "connection", connected ? "connected" : "disconnected",
                      count);
  _connected = connected;
  if (connected && !_guided) {
    _guided = true;
    if (_options.settings) _options.settings->setValue(kGuidedKey, true);
  }
  updateGuidance();
  // The core announces "connected" on every peer change: the strips follow
  // the table, each peer keeping its own.
  syncPeerStrips();
}

void WalkieTalkieScreen::updateGuidance() {
  _guidance->setVisible(!_guided && !_connected && !_peerList);
}

void WalkieTalkieScreen::syncPeerStrips() {
  const auto peers = _connected ? _bridge->connectedPeers() : std::vector<ConnectedPeerInfo>();
  for (auto& strip : _strips) {
    const bool stays = std::any_of(peers.begin(), peers.end(), [&](const ConnectedPeerInfo& p) {
      return p.identifier == strip.identifier;
    });
    if (!stays) removePeerStrip(strip);
  }
  std::erase_if(_strips, [](const PeerStrip& strip) { return !strip.view; });
  for (const auto& peer : peers) {
    const bool shown = std::any_of(_strips.begin(), _strips.end(), [&](const PeerStrip& strip) {
      return strip.identifier == peer.identifier;
    });
    if (!shown) _strips.push_back({peer.identifier, addPeerStrip(peer)});
  }
  layOut();
}

void WalkieTalkieScreen::removePeerStrip(PeerStrip& strip) {
  if (!strip.view) return;
  PeerDotView* view = strip.view;
  strip.view = nullptr;
  view->dot()->setRippleCanvas(nullptr);
  view->hide();
  view->deleteLater();
  update();
}

PeerDotView* WalkieTalkieScreen::addPeerStrip(const ConnectedPeerInfo& peer) {
  auto* view = new PeerDotView(this);
  view->setText(QString::fromStdString(peer.name));
  view->hide();
  view->stackUnder(_talkButton);

  // Appears one main-thread turn later, if the peer is still shown then.
  const QPointer<WalkieTalkieScreen> self(this);
  const QPointer<PeerDotView> target(view);
  const Signal<bool> talking = peer.transmitting;
  const Signal<PeerLink> link = peer.link;
  mainQueue().post([self, target, talking, link] {
    if (!self || !target) return;
    target->followLink(link);
    target->setProperty(kAppearedProperty, true);
    self->layOut();
    // Its fade only where layOut left room for it.
    if (target->isVisible()) {
      target->hide();
      setHiddenAnimated(target, false, 0.5);
    }
    target->dot()->setRippleCanvas(self);
    target->dot()->setAnimationsPaused(self->_talkButton->areAnimationsPaused());
    const Signal<bool> idle = talking.logicalNot().startWith(true);
    target->dot()->pulseOnSignal(
        Signal<SchedulerTime>::ifThenElse(idle, self->pulseSignal(kIdlePulseInterval, 0.5),
                                          Signal<SchedulerTime>::never()),
        Styles::peerDotPulseColor(), 2.0f, 2.5);
    target->dot()->pulseOnSignal(
        Signal<SchedulerTime>::ifThenElse(talking, self->pulseSignal(kPressPulseInterval),
                                          Signal<SchedulerTime>::never()),
        Styles::peerDotPulseColor(), 30.0f, 3.0);
  });
  return view;
}

PeerDotView* WalkieTalkieScreen::peerDotView() const {
  const auto views = peerDotViews();
  return views.empty() ? nullptr : views.front();
}

std::vector<PeerDotView*> WalkieTalkieScreen::peerDotViews() const {
  std::vector<PeerDotView*> views;
  for (const auto& strip : _strips) {
    if (strip.view) views.push_back(strip.view);
  }
  return views;
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
  updateGuidance();
  layOut();
  _bridge->setScreenName(kPeerBrowserView);
  _bridge->trackScreenView();
}

void WalkieTalkieScreen::dismissPresented() {
  if (_peerList) {
    _peerList->hide();
    _peerList->deleteLater();
    _peerList = nullptr;
    updateGuidance();
    layOut();
  }
  _bridge->setScreenName(kHomeScreen);
  setFocus();
}

void WalkieTalkieScreen::showMessage(const QString& text) {
  _banners->showBanner(QStringLiteral("note:") + text, Banner::Kind::Note, text);
}

QLabel* WalkieTalkieScreen::messageLabel() const {
  Banner* newest = _banners->newest();
  return newest ? newest->label() : nullptr;
}

void WalkieTalkieScreen::setSettingsHandler(std::function<void()> handler) {
  _settingsHandler = std::move(handler);
  _settingsButton->setVisible(bool(_settingsHandler));
  _settingsAction->setEnabled(bool(_settingsHandler));
  if (Banner* audio = _banners->banner(QString::fromLatin1(kAudioBanner));
      audio && _settingsHandler)
    audio->setAction(tr("Settings"), [this] { openSettings(); });
  layOut();
}

void WalkieTalkieScreen::setQuitHandler(std::function<void()> handler) {
  _quitHandler = std::move(handler);
}

void WalkieTalkieScreen::setCloseHandler(std::function<bool()> handler) {
  _closeHandler = std::move(handler);
}

void WalkieTalkieScreen::openSettings() {
  if (_settingsHandler) _settingsHandler();
}

void WalkieTalkieScreen::quit() {
  if (_quitHandler) {
    _quitHandler();
  } else {
    _closeHandler = nullptr;
    close();
  }
}

void WalkieTalkieScreen::setVisibleToOthers(bool visible) {
  if (_visibleAction->isChecked() != visible) _visibleAction->setChecked(visible);
  if (_visible.get() == visible) return;
  _visible.set(visible);
  if (_options.settings) _options.settings->setValue(kVisibleKey, visible);
}

void WalkieTalkieScreen::beginHold(Hold hold) {
  const unsigned bit = unsigned(hold);
  if (_holds & bit) return;
  if (_holds == 0 && !_talkButton->beginTracking()) return;
  _holds |= bit;
}

void WalkieTalkieScreen::endHold(Hold hold) {
  const unsigned bit = unsigned(hold);
  if (!(_holds & bit)) return;
  _holds &= ~bit;
  if (_holds == 0) _talkButton->endTracking(true);
}

QSize WalkieTalkieScreen::minimumSizeFor(const QSize& available) {
  return {std::min(kMinimumWidth, available.width()),
          std::clamp(available.height(), kSmallestHeight, kMinimumHeight)};
}

QSize WalkieTalkieScreen::preferredSize(const QSize& available) {
  const QSize smallest = minimumSizeFor(available);
  return {std::clamp(375, smallest.width(), std::max(smallest.width(), available.width())),
          std::clamp(667, smallest.height(), std::max(smallest.height(), available.height()))};
}

// Connect, Settings, Disconnect and the menu in one row when they fit, else
// Connect and Disconnect above Settings and the menu. Returns the bottom.
int WalkieTalkieScreen::layOutTopControls(int w) {
  const QSize connect = _connectButton->sizeHint();
  const QSize disconnect = _disconnectButton->sizeHint();
  const QSize menu = _menuButton->sizeHint();
  const bool settingsShown = !_settingsButton->isHidden();
  const QSize settings = settingsShown ? _settingsButton->sizeHint() : QSize(0, 0);
  const int rowHeight =
      std::max({connect.height(), disconnect.height(), menu.height(), settings.height()});
  auto place = [](QWidget* widget, int x, int y, QSize size, int rowHeight) {
    widget->setGeometry(x, y + (rowHeight - size.height()) / 2, size.width(), size.height());
  };
  const int oneRow = connect.width() + settings.width() + disconnect.width() + menu.width() +
                     (settingsShown ? 3 : 2) * kGap + 2 * kMargin;
  const int y = kMargin;
  place(_connectButton, kMargin, y, connect, rowHeight);
  const int menuX = w - kMargin - menu.width();
  if (oneRow <= w) {
    place(_menuButton, menuX, y, menu, rowHeight);
    const int disconnectX = menuX - kGap - disconnect.width();
    place(_disconnectButton, disconnectX, y, disconnect, rowHeight);
    // Centred when the middle has room for it, else beside Connect.
    const int left = kMargin + connect.width() + kGap;
    const int right = disconnectX - kGap;
    const int centred = (w - settings.width()) / 2;
    const int x = std::clamp(centred, left, std::max(left, right - settings.width()));
    place(_settingsButton, x, y, settings, rowHeight);
    return y + rowHeight;
  }
  place(_disconnectButton, w - kMargin - disconnect.width(), y, disconnect, rowHeight);
  const int second = y + rowHeight + kGap;
  place(_settingsButton, kMargin, second, settings, rowHeight);
  place(_menuButton, menuX, second, menu, rowHeight);
  return second + rowHeight;
}

void WalkieTalkieScreen::layOut() {
  const int w = width();
  const int h = height();
  const int topBottom = layOutTopControls(w);

  // A low window (a large scale factor on a small screen) gets a smaller
  // button rather than one that leaves the window.
  const int talkSize =
      std::clamp(std::min(h - 170, w - 2 * kMargin), kSmallestTalkButton, kTalkButtonSize);
  const int talkTop = int(std::lround(h + talkSize * 0.25 - talkSize));
  _talkButton->setGeometry((w - talkSize) / 2, talkTop, talkSize, talkSize);

  const int innerWidth = w - 2 * kInset;
  _banners->setFixedWidth(innerWidth);
  const int bannersWanted = _banners->heightForWidth(innerWidth);
  const int firstBanner = _banners->newest() ? _banners->newest()->heightForWidth(innerWidth) : 0;
  const int space = talkTop - (topBottom + kMargin);

  // Strips stand on the gap above the button, newest on top; the gap gives
  // way first, then strips beyond the first. Alone, the guidance line takes
  // the first strip's place.
  const int peers = int(peerDotViews().size());
  int rows = peers;
  int gap = kPeerDotGap;
  const bool guiding = !_guidance->isHidden();
  auto reserved = [&] {
    if (rows > 0) return rows * kPeerDotHeight + gap;
    return guiding ? kPeerDotHeight + gap : 0;
  };
  const int shortfall = bannersWanted + kGap - (space - reserved());
  if (shortfall > 0) gap = std::max(kSmallestPeerDotGap, gap - shortfall);
  while (rows > 1 && space - reserved() < firstBanner + kGap) --rows;
  const int bannerHeight = std::clamp(space - reserved() - kGap, 0, bannersWanted);
  _banners->setGeometry(kInset, topBottom + kMargin, innerWidth, bannerHeight);
  _banners->layOutWithin(bannerHeight);
  const int bannersBottom = topBottom + kMargin + (bannerHeight > 0 ? bannerHeight + kGap : 0);

  const int stripBottom = talkTop - gap;
  const auto views = peerDotViews();
  // When not every strip fits, the top row tells how many more there are.
  const int shownStrips = rows < peers ? rows - 1 : peers;
  QRect panel;
  if (_peerList) {
    // The browser is a panel over the strips; in a low window it may cover
    // the button too rather than be too small to use.
    const int top = bannersBottom;
    const int bottom = std::min(h - kMargin, std::max(talkTop - kGap, top + 200));
    panel = QRect(kInset, top, innerWidth, bottom - top);
    _peerList->setGeometry(panel);
  }
  for (int i = 0; i < int(views.size()); ++i) {
    PeerDotView* view = views[std::size_t(i)];
    const int row = std::min(i, std::max(shownStrips - 1, 0));
    view->setGeometry(0, stripBottom - (row + 1) * kPeerDotHeight, w, kPeerDotHeight);
    // Shown once it has faded in, while it has a row and the browser leaves it be.
    const bool shown = view->property(kAppearedProperty).toBool() && i < shownStrips &&
                       !view->geometry().intersects(panel);
    if (view->isVisible() != shown) view->setVisible(shown);
  }
  const bool more = rows < peers;
  if (more) {
    QStringList hidden;
    for (int i = shownStrips; i < peers; ++i) hidden << views[std::size_t(i)]->text();
    _morePeers->setText(tr("+%1 more").arg(peers - shownStrips));
    _morePeers->setToolTip(hidden.join(QStringLiteral("\n")));
    _morePeers->setGeometry(kInset, stripBottom - rows * kPeerDotHeight, innerWidth,
                            kPeerDotHeight);
  }
  _morePeers->setVisible(more && !_morePeers->geometry().intersects(panel));

  // Where the first strip would stand: the line that says what to do first.
  const int guidanceHeight = _guidance->heightForWidth(innerWidth);
  _guidance->setGeometry(kInset,
                         std::max(bannersBottom, talkTop - gap - kPeerDotHeight) +
                             (kPeerDotHeight - std::min(guidanceHeight, kPeerDotHeight)) / 2,
                         innerWidth, guidanceHeight);
}

void WalkieTalkieScreen::resizeEvent(QResizeEvent* event) {
  ApplicationBackgroundView::resizeEvent(event);
  layOut();
}

// Ripples spread over the whole screen, behind every button.
std::vector<const PulsatingButton*> WalkieTalkieScreen::rippleButtons() const {
  std::vector<const PulsatingButton*> buttons;
  for (PeerDotView* view : peerDotViews()) {
    if (view->dot()->rippleCanvas() == this) buttons.push_back(view->dot());
  }
  buttons.push_back(_talkButton);
  return buttons;
}

// Space on a focused control talks as it does anywhere in the window.
void WalkieTalkieScreen::routeSpace(QWidget* widget) {
  if (!widget || widget->property("qurSpaceRouted").toBool()) return;
  widget->setProperty("qurSpaceRouted", true);
  widget->installEventFilter(this);
}

bool WalkieTalkieScreen::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Space && watched->isWidgetType()) {
      if (event->type() == QEvent::KeyPress) {
        keyPressEvent(key);
      } else {
        keyReleaseEvent(key);
      }
      return true;
    }
  }
  return ApplicationBackgroundView::eventFilter(watched, event);
}

// Space presses the talk button like the mouse. X11 repeats a held key as
// release/press pairs. Qt marks most as auto-repeat; those it cannot tell
// (the press not yet queued when the release is read) carry the release's
// timestamp, so a release waits briefly for such a press before it counts.
void WalkieTalkieScreen::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    // The newest line goes; the next Escape takes the one below.
    if (Banner* newest = _banners->newest()) {
      _banners->dismiss(newest->key());
      event->accept();
      return;
    }
  }
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
  beginHold(Hold::Space);
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
  endHold(Hold::Space);
}

// A release that goes to another window would leave us transmitting.
void WalkieTalkieScreen::releaseSpace() {
  if (_spaceRelease) _spaceRelease->stop();
  if (!_spaceHeld) return;
  _spaceHeld = false;
  _holds &= ~unsigned(Hold::Space);
  if (_holds == 0) _talkButton->cancelTracking();
}

void WalkieTalkieScreen::focusOutEvent(QFocusEvent* event) {
  ApplicationBackgroundView::focusOutEvent(event);
  // Focus moving to one of our own controls keeps Space working there;
  // the window losing it ends the press.
  QWidget* focus = QApplication::focusWidget();
  if (event->reason() != Qt::ActiveWindowFocusReason && focus && focus != this &&
      isAncestorOf(focus))
    return;
  releaseSpace();
}

void WalkieTalkieScreen::changeEvent(QEvent* event) {
  ApplicationBackgroundView::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) releaseSpace();
  if (event->type() == QEvent::WindowStateChange) updateAnimationPause();
}

void WalkieTalkieScreen::showEvent(QShowEvent* event) {
  ApplicationBackgroundView::showEvent(event);
  updateAnimationPause();
}

void WalkieTalkieScreen::hideEvent(QHideEvent* event) {
  ApplicationBackgroundView::hideEvent(event);
  updateAnimationPause();
}

// Nobody sees ripples in a hidden or minimized window: none are drawn.
void WalkieTalkieScreen::updateAnimationPause() {
  const bool paused = !isVisible() || isMinimized();
  _talkButton->setAnimationsPaused(paused);
  for (PeerDotView* view : peerDotViews()) view->dot()->setAnimationsPaused(paused);
}

void WalkieTalkieScreen::closeEvent(QCloseEvent* event) {
  if (_closeHandler && !_closeHandler()) {
    event->ignore();
    return;
  }
  ApplicationBackgroundView::closeEvent(event);
}

}  // namespace qur
