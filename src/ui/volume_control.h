// The "Speakers" slider: shows an OutputVolume and sets it, and follows it
// when another program changes it. Main thread.
#pragma once

#include <QLabel>
#include <QSlider>
#include <QWidget>
#include <memory>

#include "ui/output_volume.h"

namespace qur {

class VolumeControl : public QWidget {
  Q_OBJECT

 public:
  // Slider steps per 1.0 of volume.
  static constexpr int kStepsPerUnit = 100;

  explicit VolumeControl(std::unique_ptr<OutputVolume> volume, QWidget* parent = nullptr);

  QSlider* slider() const { return _slider; }
  QLabel* sourceLabel() const { return _source; }
  OutputVolume* outputVolume() const { return _volume.get(); }

 private:
  void show(double volume);

  std::unique_ptr<OutputVolume> _volume;
  QSlider* _slider;
  QLabel* _percent;
  QLabel* _source;
};

}  // namespace qur
