// A plain widget that paints the application's gradient behind its children.
// Main thread.
#pragma once

#include <QPixmap>
#include <QWidget>

namespace qur {

class ApplicationBackgroundView : public QWidget {
  Q_OBJECT

 public:
  explicit ApplicationBackgroundView(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Subclasses paint on top of the gradient (and below every child).
  virtual void paintAboveBackground(QPainter&) {}

 private:
  // The gradient for the current size: ripples repaint it many times a second.
  QPixmap _background;
};

}  // namespace qur
