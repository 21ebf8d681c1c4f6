#include "ui/link_quality_indicator.h"

#include <QPainter>
#include <cstring>

#include "app/app_event_lines.h"
#include "app/walkie_talkie_app.h"

namespace qur {

LinkQuality linkQualityOf(const PeerLink& link) {
  const char* quality = linkQuality(link);
  if (std::strcmp(quality, "good") == 0) return LinkQuality::Good;
  if (std::strcmp(quality, "fair") == 0) return LinkQuality::Fair;
  return LinkQuality::Poor;
}

void paintLinkQuality(QPainter& painter, const QRectF& area, LinkQuality quality) {
  int lit = 0;
  QColor colour(150, 150, 150);
  switch (quality) {
    case LinkQuality::Good:
      lit = 3;
      colour = QColor(60, 190, 90);
      break;
    case LinkQuality::Fair:
      lit = 2;
      colour = QColor(235, 170, 40);
      break;
    case LinkQuality::Poor:
      lit = 1;
      colour = QColor(220, 60, 50);
      break;
    case LinkQuality::Unknown:
      break;
  }
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const double gap = area.width() / 7;
  const double bar = (area.width() - 2 * gap) / 3;
  for (int i = 0; i < 3; ++i) {
    // Rising bars, as signal strength is usually drawn.
    const double height = area.height() * (i + 2) / 4.0;
    const QRectF rect(area.left() + i * (bar + gap), area.bottom() - height, bar, height);
    if (i < lit) {
      painter.fillRect(rect, colour);
    } else {
      painter.setPen(QPen(QColor(150, 150, 150, 160), 1));
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(rect.adjusted(0.5, 0.5, -0.5, -0.5));
    }
  }
  painter.restore();
}

QString linkQualityDescription(const PeerLink& link) {
  return QString::fromStdString("Link: " + linkWords(link));
}

LinkQualityIndicator::LinkQualityIndicator(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setFixedSize(kWidth, kHeight);
  setToolTip(QStringLiteral("Link: not heard yet"));
}

void LinkQualityIndicator::setLink(const PeerLink& link) {
  _quality = linkQualityOf(link);
  setToolTip(linkQualityDescription(link));
  update();
}

void LinkQualityIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  paintLinkQuality(painter, QRectF(rect()), _quality);
}

}  // namespace qur
