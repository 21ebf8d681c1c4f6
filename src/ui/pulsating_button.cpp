#include "ui/pulsating_button.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>
#include <QVariantAnimation>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "signals/signal_operators.h"
#include "ui/application_background_view.h"
#include "ui/styles.h"

namespace qur {

// Paints the styled text; clicks go through to the button.
class PulsatingButton::Label final : public QWidget {
 public:
  explicit Label(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    _document.setDocumentMargin(0);
  }

  void setText(const AttributedString& text) {
    text.renderInto(_document);
    _cache = QPixmap();
    updateGeometry();
    update();
  }
  QSizeF textSize(double width) {
    _document.setTextWidth(width);
    return _document.size();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    // Laid out text is drawn from a picture: the ripples behind it repaint
    // this area many times a second.
    const qreal ratio = devicePixelRatioF();
    if (_cache.isNull() || _cache.size() != size() * ratio) {
      _cache = QPixmap(size() * ratio);
      _cache.setDevicePixelRatio(ratio);
      _cache.fill(Qt::transparent);
      QPainter cachePainter(&_cache);
      cachePainter.setRenderHint(QPainter::Antialiasing);
      _document.setTextWidth(width());
      _document.drawContents(&cachePainter);
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, _cache);
  }

 private:
  QTextDocument _document;
  QPixmap _cache;
};

double PulsatingButton::Ripple::progress() const {
  if (!animation) return 1.0;
  const QVariant value = animation->currentValue();
  return value.isValid() ? std::clamp(value.toDouble(), 0.0, 1.0) : 0.0;
}

double PulsatingButton::Ripple::scale() const {
  return 1.0 + (double(targetScale) - 1.0) * progress();
}

double PulsatingButton::Ripple::opacity() const {
  return color.alphaF() * (1.0 - progress());
}

PulsatingButton::PulsatingButton(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_NoSystemBackground);
  _label = new Label(this);
  _label->setVisible(_labelVisible.get());
  const QPointer<PulsatingButton> self(this);
  bindSignal(_labelVisible.values().deliverOn(Scheduler::mainThreadScheduler()), _lifetime,
             [self](const bool& visible) {
               if (self) self->_label->setVisible(visible);
             });
  anchorLabel();
}

PulsatingButton::~PulsatingButton() {
  for (auto& subscription : _signalSubscriptions) subscription->dispose();
  // A running animation reports its stop while it is deleted; the ripple
  // list must not hear of it once it is gone.
  for (auto& ripple : _ripples) {
    QObject::disconnect(ripple.animation, nullptr, this, nullptr);
    delete ripple.animation;
  }
  _ripples.clear();
  // The canvas may repaint before it learns we are gone.
  if (_rippleCanvas) _rippleCanvas->update();
}

void PulsatingButton::setBackgroundColor(const QColor& color) {
  if (_buttonColor == color) return;
  _buttonColor = color;
  update();
}

void PulsatingButton::setButtonEnabled(bool enabled) {
  if (_buttonEnabled == enabled) return;
  _buttonEnabled = enabled;
  setCursor(enabled ? Qt::PointingHandCursor : Qt::ArrowCursor);
  update();
}

QWidget* PulsatingButton::labelWidget() const {
  return _label;
}

bool PulsatingButton::isLabelShown() const {
  return !_label->isHidden();
}

void PulsatingButton::setLabel(const AttributedString& text) {
  _label->setText(text);
  anchorLabel();
}

QRectF PulsatingButton::circleRect() const {
  const double w = width();
  const double h = height();
  const double side = std::min(w, h);
  return QRectF((w - side) / 2.0, (h - side) / 2.0, side, side);
}

bool PulsatingButton::beginTracking() {
  if (!_buttonEnabled || _tracking) return false;
  _tracking = true;
  Q_EMIT touchDown();
  setPressed(true);
  return true;
}

void PulsatingButton::endTracking(bool inside) {
  if (!_tracking) return;
  _tracking = false;
  if (inside) {
    Q_EMIT touchUpInside();
  } else {
    Q_EMIT touchUpOutside();
  }
  setPressed(false);
}

void PulsatingButton::cancelTracking() {
  if (!_tracking) return;
  _tracking = false;
  Q_EMIT touchCancel();
  setPressed(false);
}

void PulsatingButton::setAnimationsPaused(bool paused) {
  if (_paused == paused) return;
  _paused = paused;
  if (!paused) return;
  // Stopping runs each ripple's completion and takes it off the list.
  std::vector<QVariantAnimation*> running;
  for (const auto& ripple : _ripples) running.push_back(ripple.animation);
  for (auto* animation : running) animation->stop();
}

void PulsatingButton::pulse(const QColor& color, float targetScale, double duration,
                            RippleCompletion completion) {
  ++_pulseCount;
  if (_paused) return;
  auto* animation = new QVariantAnimation(this);
  animation->setStartValue(0.0);
  animation->setEndValue(1.0);
  animation->setDuration(std::max(1, int(std::lround(duration * 1000.0))));
  _ripples.push_back({color, targetScale, duration, animation});
  const auto ripple = std::prev(_ripples.end());
  connect(animation, &QVariantAnimation::valueChanged, this, [this] { rippleChanged(); });
  // A ripple stopped early cleans up exactly like one that ran to its end.
  connect(animation, &QAbstractAnimation::stateChanged, this,
          [this, ripple, completion = std::move(completion)](QAbstractAnimation::State state) {
            if (state != QAbstractAnimation::Stopped) return;
            if (completion) completion(*ripple);
            QVariantAnimation* finished = ripple->animation;
            _ripples.erase(ripple);
            finished->deleteLater();
            rippleChanged();
          });
  animation->start();
  rippleChanged();
}

void PulsatingButton::pulseOnEvents(const Signal<Unit>& events, const QColor& color,
                                    float targetScale, double duration) {
  const QPointer<PulsatingButton> weakSelf(this);
  _signalSubscriptions.push_back(
      events.deliverOn(Scheduler::mainThreadScheduler())
          .subscribeNext([weakSelf, color, targetScale, duration](const Unit&) {
            if (weakSelf) weakSelf->pulse(color, targetScale, duration);
          }));
}

void PulsatingButton::setRippleCanvas(QWidget* canvas) {
  if (_rippleCanvas == canvas) return;
  if (_rippleCanvas) _rippleCanvas->update();
  _rippleCanvas = canvas;
  rippleChanged();
}

QRectF PulsatingButton::rippleBounds() const {
  const QRectF circle = circleRect();
  double scale = 1.0;
  for (const auto& ripple : _ripples) scale = std::max(scale, ripple.scale());
  const double grow = circle.width() * (scale - 1.0) / 2.0 + 2.0;
  return circle.adjusted(-grow, -grow, grow, grow);
}

void PulsatingButton::rippleChanged() {
  if (!_rippleFrame) {
    _rippleFrame = new QTimer(this);
    _rippleFrame->setSingleShot(true);
    _rippleFrame->setTimerType(Qt::PreciseTimer);
    connect(_rippleFrame, &QTimer::timeout, this, [this] { repaintRipples(); });
  }
  if (_rippleFrame->isActive()) return;
  // Every button's frames fall on the same ticks, so a canvas carrying
  // several repaints once per tick for all of them.
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
  _rippleFrame->start(int(kRippleFrameMs - now % kRippleFrameMs));
}

void PulsatingButton::repaintRipples() {
  if (!_rippleCanvas) {
    update();
    return;
  }
  const QPoint offset = mapTo(_rippleCanvas->window(), QPoint(0, 0)) -
                        _rippleCanvas->mapTo(_rippleCanvas->window(), QPoint(0, 0));
  const QRect bounds =
      _ripples.empty() ? QRect() : rippleBounds().translated(offset).toAlignedRect();
  // The area the last frame covered too, or a ripple that just ended stays.
  const QRect area = bounds.united(_paintedRippleBounds);
  if (auto* view = qobject_cast<ApplicationBackgroundView*>(_rippleCanvas.data())) {
    view->rippleAreaChanged(area);
  } else {
    _rippleCanvas->update(area);
  }
  _paintedRippleBounds = bounds;
}

void PulsatingButton::paintRipples(QPainter& painter) const {
  if (_ripples.empty()) return;
  const QRectF circle = circleRect();
  if (circle.isEmpty()) return;
  const QPointF centre = circle.center();
  const double radius = circle.width() / 2.0;
  // Ripples of one colour are concentric discs: a point inside k of them
  // shows the colour blended once with 1 - (1 - a1)...(1 - ak). Painting
  // each ring between two radii once with that blend touches every pixel
  // once however many ripples overlap; inside the button's own (opaque)
  // circle nothing is painted at all.
  struct Disc {
    QRgb colour;
    double radius;
    double opacity;
  };
  std::vector<Disc> discs;
  discs.reserve(_ripples.size());
  for (const auto& ripple : _ripples) {
    const double opacity = ripple.opacity();
    if (opacity <= 0.0) continue;
    discs.push_back({ripple.color.rgb(), radius * ripple.scale(), opacity});
  }
  std::stable_sort(discs.begin(), discs.end(), [](const Disc& a, const Disc& b) {
    return a.colour != b.colour ? a.colour < b.colour : a.radius > b.radius;
  });
  painter.save();
  // Antialiasing these large translucent discs cost five times the frame; their
  // fading edges hide the steps.
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setPen(Qt::NoPen);
  std::size_t first = 0;
  while (first < discs.size()) {
    std::size_t end = first;
    while (end < discs.size() && discs[end].colour == discs[first].colour) ++end;
    double through = 1.0;  // what the background keeps inside the rings so far
    for (std::size_t k = first; k < end; ++k) {
      through *= 1.0 - discs[k].opacity;
      const double outer = discs[k].radius;
      const double inner = std::max(radius, k + 1 < end ? discs[k + 1].radius : 0.0);
      if (outer <= inner) continue;
      QColor colour = QColor::fromRgb(discs[k].colour);
      colour.setAlphaF(float(1.0 - through));
      if (colour.alpha() == 0) continue;
      QPainterPath ring;
      ring.addEllipse(centre, outer, outer);
      ring.addEllipse(centre, inner, inner);
      painter.fillPath(ring, colour);
    }
    first = end;
  }
  painter.restore();
}

void PulsatingButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!_rippleCanvas) paintRipples(painter);
  const QRectF circle = circleRect();
  if (circle.isEmpty() || !_buttonColor.isValid()) return;
  // Ripples repaint the button many times a second: its antialiased circle
  // is drawn once per colour and size, then copied.
  const qreal ratio = devicePixelRatioF();
  const QSize pixels = (circle.size() * ratio).toSize();
  if (_circleCache.isNull() || _circleCache.size() != pixels ||
      _circleCacheColour != _buttonColor) {
    _circleCache = QPixmap(pixels);
    _circleCache.setDevicePixelRatio(ratio);
    _circleCache.fill(Qt::transparent);
    QPainter cache(&_circleCache);
    cache.setRenderHint(QPainter::Antialiasing);
    cache.setPen(Qt::NoPen);
    cache.setBrush(_buttonColor);
    cache.drawEllipse(QRectF(QPointF(0, 0), circle.size()));
    _circleCacheColour = _buttonColor;
  }
  painter.drawPixmap(circle.topLeft(), _circleCache);
}

void PulsatingButton::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  anchorLabel();
}

void PulsatingButton::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  anchorLabel();
}

void PulsatingButton::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ParentChange) anchorLabel();
}

bool PulsatingButton::eventFilter(QObject* watched, QEvent* event) {
  if (watched == _labelAnchor && event->type() == QEvent::Resize) anchorLabel();
  return QWidget::eventFilter(watched, event);
}

// The label sits eight pixels above the parent's bottom edge, centred on the
// button, even while part of the circle hangs below that edge.
void PulsatingButton::anchorLabel() {
  QWidget* parent = parentWidget();
  if (_labelAnchor != parent) {
    if (_labelAnchor) _labelAnchor->removeEventFilter(this);
    _labelAnchor = parent;
    if (parent) parent->installEventFilter(this);
  }
  const QSizeF text = _label->textSize(width());
  const int labelHeight = int(std::ceil(text.height()));
  const int bottom = parent ? parent->height() - 8 - y() : height();
  _label->setGeometry(0, bottom - labelHeight, width(), labelHeight);
}

void PulsatingButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  const QRectF circle = circleRect();
  const QPointF offset = event->position() - circle.center();
  // Only the circle is the button; the transparent corners are not.
  if (std::hypot(offset.x(), offset.y()) > circle.width() / 2.0) return event->ignore();
  if (!beginTracking()) return event->ignore();
  event->accept();
}

void PulsatingButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
  endTracking(rect().contains(event->position().toPoint()));
  event->accept();
}

}  // namespace qur
