#include "ui/output_volume.h"

#include <algorithm>
#include <cmath>

#include "audio/engine/audio_engine.h"
#include "ui/pulse_output_volume.h"

namespace qur {

std::unique_ptr<OutputVolume> OutputVolume::createForSystem(std::shared_ptr<AudioEngine> engine) {
  if (auto server = PulseOutputVolume::connect()) return server;
  return std::make_unique<EngineOutputVolume>(std::move(engine));
}

EngineOutputVolume::EngineOutputVolume(std::shared_ptr<AudioEngine> engine)
    : _engine(std::move(engine)) {
  if (_engine) _volume = _engine->masterOutputVolume();
}

QString EngineOutputVolume::description() const {
  return tr("Application volume (no sound server)");
}

double EngineOutputVolume::volume() const {
  return _engine ? _engine->masterOutputVolume() : _volume;
}

void EngineOutputVolume::setVolume(double volume) {
  if (!std::isfinite(volume)) return;
  const double clamped = std::clamp(volume, 0.0, kMaximumVolume);
  if (clamped == this->volume()) return;
  _volume = clamped;
  if (_engine) _engine->setMasterOutputVolume(float(clamped));
  Q_EMIT volumeChanged(clamped);
}

}  // namespace qur
