#include "ui/peer_dot_view.h"

#include <QPointer>
#include <QResizeEvent>

#include "signals/scheduler.h"
#include "signals/signal_operators.h"
#include "ui/styles.h"

namespace qur {

PeerDotView::PeerDotView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  _dot = new PulsatingButton(this);
  _dot->setBackgroundColor(Styles::peerDotIconColor());
  // The dot shows who is there; it is not a control.
  _dot->setButtonEnabled(false);
  _dot->setAttribute(Qt::WA_TransparentForMouseEvents);
  _label = new QLabel(this);
  _label->setFont(Styles::peerDotLabelFont());
  QPalette palette = _label->palette();
  palette.setColor(QPalette::WindowText, Styles::peerDotLabelColor());
  _label->setPalette(palette);
  _label->setTextFormat(Qt::PlainText);
  _label->setAttribute(Qt::WA_TransparentForMouseEvents);
  _link = new LinkQualityIndicator(this);
  layOut();
}

PeerDotView::~PeerDotView() {
  if (_linkSubscription) _linkSubscription->dispose();
}

void PeerDotView::followLink(const Signal<PeerLink>& link) {
  if (_linkSubscription) _linkSubscription->dispose();
  const QPointer<LinkQualityIndicator> bars(_link);
  _linkSubscription =
      link.deliverOn(Scheduler::mainThreadScheduler()).subscribeNext([bars](const PeerLink& value) {
        if (bars) bars->setLink(value);
      });
}

void PeerDotView::setText(const QString& text) {
  _label->setText(text);
  _label->setToolTip(text);
  layOut();
}

void PeerDotView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layOut();
}

void PeerDotView::layOut() {
  const int x = (width() - kDotSize) / 2;
  const int y = (height() - kDotSize) / 2;
  _dot->setGeometry(x, y, kDotSize, kDotSize);
  const QSize text = _label->sizeHint();
  _label->setGeometry(x + kDotSize + kLabelGap, y + (kDotSize - text.height()) / 2, text.width(),
                      text.height());
  _link->move(_label->geometry().right() + kLabelGap / 2,
              y + (kDotSize - LinkQualityIndicator::kHeight) / 2);
}

}  // namespace qur
