#include "ui/application_background_view.h"

#include <QPaintEvent>
#include <QPainter>

#include "ui/styles.h"

namespace qur {

ApplicationBackgroundView::ApplicationBackgroundView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ApplicationBackgroundView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  // The gradient follows the current bounds, whatever size the window has.
  painter.fillRect(event->rect(), Styles::applicationBackgroundGradient(QRectF(rect())));
  paintAboveBackground(painter);
}

}  // namespace qur
