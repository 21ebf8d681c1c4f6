#include "ui/volume_control.h"

#include <QGridLayout>
#include <QSignalBlocker>
#include <cmath>

namespace qur {

VolumeControl::VolumeControl(std::unique_ptr<OutputVolume> volume, QWidget* parent)
    : QWidget(parent), _volume(std::move(volume)) {
  _slider = new QSlider(Qt::Horizontal, this);
  _slider->setRange(0, int(OutputVolume::kMaximumVolume * kStepsPerUnit));
  _slider->setPageStep(10);
  _slider->setAccessibleName(tr("Speaker volume"));
  _percent = new QLabel(this);
  _percent->setMinimumWidth(48);
  _percent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  _source = new QLabel(_volume->description(), this);
  _source->setObjectName(QStringLiteral("caption"));

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(_slider, 0, 0);
  layout->addWidget(_percent, 0, 1);
  layout->addWidget(_source, 1, 0, 1, 2);

  show(_volume->volume());
  connect(_slider, &QSlider::valueChanged, this, [this](int value) {
    _volume->setVolume(double(value) / kStepsPerUnit);
    _percent->setText(tr("%1 %").arg(value));
  });
  connect(_volume.get(), &OutputVolume::volumeChanged, this, [this](double value) {
    show(value);
    _source->setText(_volume->description());
  });
}

void VolumeControl::show(double volume) {
  const int steps = int(std::lround(volume * kStepsPerUnit));
  // A reading is not a request: writing it back could undo a newer change.
  const QSignalBlocker blocker(_slider);
  _slider->setValue(steps);
  _percent->setText(tr("%1 %").arg(steps));
}

}  // namespace qur
