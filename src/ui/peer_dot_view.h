// The strip above the talk button for one connected peer: a 30 x 30
// pulsating dot in the middle and the peer's name starting 15 px to its
// right; a name too long for the strip ends in an ellipsis (the whole name
// is its tooltip) and never moves the dot. Main thread.
#pragma once

#include <QLabel>
#include <QWidget>

#include "ui/pulsating_button.h"

namespace qur {

class PeerDotView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDotSize = 30;
  static constexpr int kLabelGap = 15;

  explicit PeerDotView(QWidget* parent = nullptr);

  PulsatingButton* dot() const { return _dot; }
  QLabel* label() const { return _label; }
  void setText(const QString& text);
  // The whole name, whatever the label shows.
  const QString& text() const { return _text; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layOut();

  PulsatingButton* _dot;
  QLabel* _label;
  QString _text;
};

}  // namespace qur
