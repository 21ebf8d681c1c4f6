// Drives every animation of the program at a fixed, modest frame rate
// instead of Qt's 60 per second: the window's animations are slow fades and
// ripples, and each tick wakes the whole program. Install once, on the main
// thread, after the application object exists.
#pragma once

#include <QAnimationDriver>
#include <QTimer>

namespace qur {

class AnimationDriver : public QAnimationDriver {
  Q_OBJECT

 public:
  static constexpr int kFrameMs = 80;
  explicit AnimationDriver(QObject* parent = nullptr);

 protected:
  void start() override;
  void stop() override;

 private:
  QTimer _ticks;
};

}  // namespace qur
