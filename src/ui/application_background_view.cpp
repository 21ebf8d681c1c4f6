#include "ui/application_background_view.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/pulsating_button.h"
#include "ui/styles.h"

namespace qur {
namespace {

// One button's ripples in the frame's device pixels: concentric discs of
// one colour each.
struct RippleSet {
  double cx = 0, cy = 0;
  double inner = 0;  // the button's own circle hides what lies within
  struct Disc {
    QRgb colour;
    double radius;
    double opacity;
  };
  std::vector<Disc> discs;
};

struct Rgb {
  double r, g, b;
};

Rgb blend(Rgb under, QRgb colour, double alpha) {
  return {under.r + (qRed(colour) - under.r) * alpha, under.g + (qGreen(colour) - under.g) * alpha,
          under.b + (qBlue(colour) - under.b) * alpha};
}

// Every pixel of a row between two breakpoints has one colour: the row's
// gradient colour with each set's discs that cover it blended over it.
void composeRow(QRgb* line, int y, int x0, int x1, Rgb base, const std::vector<RippleSet>& sets,
                std::vector<int>& breaks) {
  const double py = y + 0.5;
  breaks.clear();
  breaks.push_back(x0);
  breaks.push_back(x1);
  for (const auto& set : sets) {
    const double dy = py - set.cy;
    for (const auto& disc : set.discs) {
      for (const double r : {disc.radius, set.inner}) {
        if (r <= std::abs(dy)) continue;
        const double half = std::sqrt(r * r - dy * dy);
        for (const double edge : {set.cx - half, set.cx + half}) {
          const int x = int(edge + 0.5);
          if (x > x0 && x < x1) breaks.push_back(x);
        }
      }
    }
  }
  std::sort(breaks.begin(), breaks.end());
  breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) {
    const int a = breaks[i], b = breaks[i + 1];
    const double px = (a + b) / 2.0;
    Rgb colour = base;
    for (const auto& set : sets) {
      const double d2 = (px - set.cx) * (px - set.cx) + (py - set.cy) * (py - set.cy);
      if (d2 < set.inner * set.inner) continue;
      // Discs of one colour over each other blend as one: 1 - (1 - a1)(1 - a2)...
      double through = 1.0;
      QRgb tint = 0;
      for (const auto& disc : set.discs) {
        if (d2 >= disc.radius * disc.radius) continue;
        through *= 1.0 - disc.opacity;
        tint = disc.colour;
      }
      if (through < 1.0) colour = blend(colour, tint, 1.0 - through);
    }
    std::fill(line + a, line + b,
              qRgb(int(colour.r + 0.5), int(colour.g + 0.5), int(colour.b + 0.5)));
  }
}

}  // namespace

ApplicationBackgroundView::ApplicationBackgroundView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ApplicationBackgroundView::rippleAreaChanged(const QRect& area) {
  _rippleArea |= area;
  update(_rippleArea);
}

void ApplicationBackgroundView::paintEvent(QPaintEvent* event) {
  _rippleArea = QRect();
  const qreal ratio = devicePixelRatioF();
  const QSize pixels = (QSizeF(size()) * ratio).toSize();
  if (_frame.size() != pixels) {
    _frame = QImage(pixels, QImage::Format_RGB32);
    _frame.setDevicePixelRatio(ratio);
  }
  const QRect dirty =
      QRectF(QPointF(event->rect().topLeft()) * ratio, QSizeF(event->rect().size()) * ratio)
          .toAlignedRect()
          .intersected(_frame.rect());
  if (dirty.isEmpty()) return;

  std::vector<RippleSet> sets;
  for (const PulsatingButton* button : rippleButtons()) {
    if (!button || button->ripples().empty() || !button->isVisibleTo(this)) continue;
    const QRectF circle = button->circleRect();
    if (circle.isEmpty()) continue;
    RippleSet set;
    const QPointF centre = (QPointF(button->mapTo(this, QPoint(0, 0))) + circle.center()) * ratio;
    set.cx = centre.x();
    set.cy = centre.y();
    set.inner = circle.width() / 2.0 * ratio;
    for (const auto& ripple : button->ripples()) {
      const double opacity = ripple.opacity();
      if (opacity <= 0.0) continue;
      set.discs.push_back({ripple.color.rgb(), set.inner * ripple.scale(), opacity});
    }
    if (!set.discs.empty()) sets.push_back(std::move(set));
  }

  // Black at the top edge, slate at the bottom, one colour per row.
  const QColor top = Styles::applicationBackgroundTopColor();
  const QColor bottom = Styles::applicationBackgroundBottomColor();
  std::vector<int> breaks;
  for (int y = dirty.top(); y <= dirty.bottom(); ++y) {
    const double t = (y + 0.5) / double(pixels.height());
    const Rgb base{top.red() + (bottom.red() - top.red()) * t,
                   top.green() + (bottom.green() - top.green()) * t,
                   top.blue() + (bottom.blue() - top.blue()) * t};
    auto* line = reinterpret_cast<QRgb*>(_frame.scanLine(y));
    composeRow(line, y, dirty.left(), dirty.right() + 1, base, sets, breaks);
  }
  QPainter painter(this);
  painter.drawImage(QPointF(dirty.topLeft()) / ratio, _frame, QRectF(dirty));
}

}  // namespace qur
