#include "ui/elided_label.h"

#include <QFontMetrics>
#include <QResizeEvent>

namespace qur {

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setFullText(text);
}

void ElidedLabel::setFullText(const QString& text) {
  _fullText = text;
  setAccessibleName(text);
  refresh();
  updateGeometry();
}

bool ElidedLabel::isElided() const {
  return text() != _fullText;
}

QSize ElidedLabel::minimumSizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(QStringLiteral("W…")) + 2, metrics.height()};
}

QSize ElidedLabel::sizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(_fullText) + 2, metrics.height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  refresh();
}

void ElidedLabel::refresh() {
  const QFontMetrics metrics(font());
  const QString shown = metrics.elidedText(_fullText, Qt::ElideRight, std::max(0, width() - 2));
  if (shown != text()) setText(shown);
  setToolTip(shown == _fullText ? QString() : _fullText);
}

}  // namespace qur
