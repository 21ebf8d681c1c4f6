#include "ui/level_meter.h"

#include <QPainter>
#include <algorithm>

#include "ui/styles.h"

namespace qur {

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
  setMinimumHeight(10);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAccessibleName(tr("Microphone level"));
  _timer.setInterval(kRefreshMilliseconds);
  connect(&_timer, &QTimer::timeout, this, &LevelMeter::refresh);
}

void LevelMeter::setTap(std::shared_ptr<InputLevelTap> tap) {
  _tap = std::move(tap);
  _level = _highest = InputLevelTap::kFloorDecibels;
  if (_tap) {
    _tap->takePeak();  // what came before belongs to no one
    _timer.start();
  } else {
    _timer.stop();
  }
  update();
}

void LevelMeter::refresh() {
  const float incoming =
      _tap ? InputLevelTap::decibels(_tap->takePeak()) : InputLevelTap::kFloorDecibels;
  const float next =
      std::max({incoming, _level - kFallPerRefreshDecibels, InputLevelTap::kFloorDecibels});
  _highest = std::max(_highest, next);
  if (next == _level) return;
  _level = next;
  update();
}

void LevelMeter::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const double radius = track.height() / 2;
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(255, 255, 255, 40));
  painter.drawRoundedRect(track, radius, radius);
  const double fraction =
      (_level - InputLevelTap::kFloorDecibels) / -double(InputLevelTap::kFloorDecibels);
  if (fraction <= 0) return;
  QRectF bar = track;
  bar.setWidth(std::max(track.height(), track.width() * std::min(1.0, fraction)));
  // Near full scale the bar takes the pressed colour: a warning of clipping.
  painter.setBrush(_level > -3.0f ? Styles::transmitButtonPressedColor()
                                  : Styles::transmitButtonColor());
  painter.drawRoundedRect(bar, radius, radius);
}

}  // namespace qur
