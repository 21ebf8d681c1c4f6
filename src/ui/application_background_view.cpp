#include "ui/application_background_view.h"

#include <QPaintEvent>
#include <QPainter>

#include "ui/styles.h"

namespace qur {

ApplicationBackgroundView::ApplicationBackgroundView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ApplicationBackgroundView::paintEvent(QPaintEvent* event) {
  const qreal ratio = devicePixelRatioF();
  if (_background.isNull() || _background.size() != size() * ratio) {
    // The gradient follows the current bounds, whatever size the window has.
    _background = QPixmap(size() * ratio);
    _background.setDevicePixelRatio(ratio);
    QPainter gradient(&_background);
    gradient.fillRect(rect(), Styles::applicationBackgroundGradient(QRectF(rect())));
  }
  QPainter painter(this);
  painter.drawPixmap(
      event->rect(), _background,
      QRectF(QPointF(event->rect().topLeft()) * ratio, QSizeF(event->rect().size()) * ratio));
  paintAboveBackground(painter);
}

void ApplicationBackgroundView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  _background = QPixmap();
}

}  // namespace qur
