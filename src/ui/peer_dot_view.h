// The strip above the talk button for one connected peer: a 30 x 30
// pulsating dot in the middle and the peer's name starting 15 px to its
// right, then the link's quality bars; a name too long for the strip ends
// in an ellipsis (the whole name is its tooltip) and never moves the dot.
// Main thread.
#pragma once

#include <QLabel>
#include <QWidget>

#include "app/walkie_talkie_app.h"
#include "signals/disposable.h"
#include "signals/signal.h"
#include "ui/link_quality_indicator.h"
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
  // The link bars after the name, following the peer's link reports (any
  // thread) until the view goes.
  LinkQualityIndicator* linkIndicator() const { return _link; }
  void followLink(const Signal<PeerLink>& link);
  ~PeerDotView() override;
  void setText(const QString& text);
  // The whole name, whatever the label shows.
  const QString& text() const { return _text; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layOut();

  PulsatingButton* _dot;
  QLabel* _label;
  LinkQualityIndicator* _link;
  DisposablePtr _linkSubscription;
  QString _text;
};

}  // namespace qur
