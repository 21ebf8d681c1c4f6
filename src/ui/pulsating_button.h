// The round push-to-talk control: a filled circle, a styled label, a
// `pressed` flag others observe, and pulses: copies of the circle that grow
// to a target scale while fading to nothing over their duration, then go.
//
// Ripples may spread far beyond the button (the talk button's cover the whole
// window). A button paints its own ripples unless a ripple canvas is set: then
// that widget paints them (paintRipples) behind its children.
//
// Main thread only, but for pulseOnSignal, whose signal may send on any thread.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPointer>
#include <QTextDocument>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "signals/property.h"
#include "signals/signal.h"
#include "ui/animation_driver.h"
#include "ui/attributed_text.h"

class QTimer;
class QVariantAnimation;

namespace qur {

class PulsatingButton : public QWidget {
  Q_OBJECT

 public:
  struct Ripple {
    QColor color;
    float targetScale = 1.0f;
    double duration = 0.0;
    QVariantAnimation* animation = nullptr;  // owned by the button
    // 0 at the start, 1 at the end.
    double progress() const;
    double scale() const;
    // The colour's own alpha times the fade.
    double opacity() const;
  };
  using RippleCompletion = std::function<void(const Ripple&)>;

  explicit PulsatingButton(QWidget* parent = nullptr);
  ~PulsatingButton() override;

  // The circle's fill; the widget itself stays transparent around it.
  void setBackgroundColor(const QColor& color);
  QColor backgroundColor() const { return _buttonColor; }
  // Kept for owners; the button does not read it.
  void setDisabledColor(const QColor& color) { _disabledColor = color; }
  QColor disabledColor() const { return _disabledColor; }

  // Whether a press is accepted. Unlike QWidget's enabled state this never
  // interrupts a press already under way.
  void setButtonEnabled(bool enabled);
  bool isButtonEnabled() const { return _buttonEnabled; }

  bool isPressed() const { return _pressed.get(); }
  void setPressed(bool pressed) { _pressed.set(pressed); }
  // Current value first, then every change (any thread may subscribe).
  Signal<bool> pressedValues() const { return _pressed.values(); }

  // The label follows this one main-thread turn later.
  bool isLabelVisible() const { return _labelVisible.get(); }
  void setLabelVisible(bool visible) { _labelVisible.set(visible); }
  bool isLabelShown() const;
  void setLabel(const AttributedString& text);
  QWidget* labelWidget() const;

  // The circle: the largest square centred in the bounds.
  QRectF circleRect() const;

  // Touch tracking, for the mouse and the keyboard alike. Events are sent
  // before `pressed` changes. begin is refused while disabled.
  bool beginTracking();
  void endTracking(bool inside);
  void cancelTracking();

  // One pulse; the completion runs with the ripple just before it is removed.
  void pulse(const QColor& color, float targetScale, double duration,
             RippleCompletion completion = {});
  // One pulse per value of the signal, delivered on the main thread, for the
  // button's life; nothing fires once the button is gone.
  template <class T>
  void pulseOnSignal(const Signal<T>& signal, const QColor& color, float targetScale,
                     double duration) {
    pulseOnEvents(signal.ignoreValues(), color, targetScale, duration);
  }

  // While paused (the window hidden or minimized) pulses draw nothing and
  // the ripples under way end at once; pulses still count.
  void setAnimationsPaused(bool paused);
  bool areAnimationsPaused() const { return _paused; }

  // Live ripples, oldest first.
  const std::list<Ripple>& ripples() const { return _ripples; }
  std::size_t rippleCount() const { return _ripples.size(); }
  // Pulses fired since creation.
  std::uint64_t pulseCount() const { return _pulseCount; }
  std::size_t pulseSubscriptionCount() const { return _signalSubscriptions.size(); }

  // The widget that paints this button's ripples (null: the button itself).
  void setRippleCanvas(QWidget* canvas);
  QWidget* rippleCanvas() const { return _rippleCanvas; }
  // Paints the ripples with the painter's origin at the button's top-left.
  void paintRipples(QPainter& painter) const;

 Q_SIGNALS:
  void touchDown();
  void touchUpInside();
  void touchUpOutside();
  void touchCancel();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void pulseOnEvents(const Signal<Unit>& events, const QColor& color, float targetScale,
                     double duration);
  void anchorLabel();
  void rippleChanged();
  void repaintRipples();
  QRectF rippleBounds() const;

  class Label;
  QColor _buttonColor;
  QColor _disabledColor;
  bool _buttonEnabled = true;
  bool _tracking = false;
  bool _paused = false;
  Label* _label = nullptr;
  QPointer<QWidget> _labelAnchor;
  QPointer<QWidget> _rippleCanvas;
  std::list<Ripple> _ripples;
  std::uint64_t _pulseCount = 0;
  // Ripples are redrawn at most this often: they are large and soft, and a
  // full-window repaint per animation tick costs more than it shows.
  static constexpr int kRippleFrameMs = AnimationDriver::kFrameMs;
  QTimer* _rippleFrame = nullptr;
  QRect _paintedRippleBounds;  // in the canvas, as last asked to repaint
  QPixmap _circleCache;
  QColor _circleCacheColour;
  std::vector<DisposablePtr> _signalSubscriptions;
  Property<bool> _labelVisible{false};
  Property<bool> _pressed{false};
  Lifetime _lifetime;
};

}  // namespace qur
