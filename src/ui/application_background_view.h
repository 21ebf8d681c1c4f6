// A plain widget that paints the application's gradient behind its
// children, and over it the ripples of the pulsating buttons it carries
// (their ripple canvas). Main thread.
#pragma once

#include <QImage>
#include <QWidget>
#include <vector>

namespace qur {

class PulsatingButton;

class ApplicationBackgroundView : public QWidget {
  Q_OBJECT

 public:
  explicit ApplicationBackgroundView(QWidget* parent = nullptr);

  // A ripple needs this area repainted. Ripple areas are gathered into one
  // rectangle until the next paint: a rectangle is copied to the screen in
  // one piece, a region of several is not.
  void rippleAreaChanged(const QRect& area);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // The buttons whose ripples spread over the background, back to front.
  virtual std::vector<const PulsatingButton*> rippleButtons() const { return {}; }

 private:
  // The frame the gradient and the ripples are composed in, in device
  // pixels: ripples repaint large parts of it many times a second, and
  // composing them row by row here costs a fraction of blending each one.
  QImage _frame;
  QRect _rippleArea;
};

}  // namespace qur
