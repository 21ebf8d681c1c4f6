// A horizontal bar of the microphone's level, read from an InputLevelTap on
// a timer. Fast to rise, slow to fall, so a short word stays visible. Main thread.
#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

#include "ui/input_level_tap.h"

namespace qur {

class LevelMeter : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kRefreshMilliseconds = 50;
  // How far the bar falls per refresh when the input goes quiet.
  static constexpr float kFallPerRefreshDecibels = 1.5f;

  explicit LevelMeter(QWidget* parent = nullptr);

  // The tap to read; null stops the meter at its floor.
  void setTap(std::shared_ptr<InputLevelTap> tap);
  const std::shared_ptr<InputLevelTap>& tap() const { return _tap; }

  // What the bar shows, dBFS (InputLevelTap::kFloorDecibels when silent).
  float level() const { return _level; }
  // The loudest level shown since the tap was set.
  float highestLevel() const { return _highest; }
  // Reads the tap once, as the timer does.
  void refresh();

  QSize sizeHint() const override { return {200, 10}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::shared_ptr<InputLevelTap> _tap;
  QTimer _timer;
  float _level = InputLevelTap::kFloorDecibels;
  float _highest = InputLevelTap::kFloorDecibels;
};

}  // namespace qur
