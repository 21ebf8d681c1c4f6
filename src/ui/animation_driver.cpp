#include "ui/animation_driver.h"

namespace qur {

AnimationDriver::AnimationDriver(QObject* parent) : QAnimationDriver(parent) {
  _ticks.setInterval(kFrameMs);
  _ticks.setTimerType(Qt::PreciseTimer);
  connect(&_ticks, &QTimer::timeout, this, [this] { advance(); });
}

void AnimationDriver::start() {
  QAnimationDriver::start();
  _ticks.start();
}

void AnimationDriver::stop() {
  _ticks.stop();
  QAnimationDriver::stop();
}

}  // namespace qur
