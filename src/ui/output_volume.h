// The speaker volume the settings page shows: the sound server's volume of
// the default output where a PulseAudio-compatible server runs, otherwise the
// engine's own master volume. Main thread.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace qur {

class AudioEngine;

class OutputVolume : public QObject {
  Q_OBJECT

 public:
  // Volume 1.0 is the device's nominal level; servers allow more.
  static constexpr double kMaximumVolume = 1.5;

  ~OutputVolume() override = default;

  // The server's volume when one answers, else the engine's (null engine:
  // a volume that only remembers its value).
  static std::unique_ptr<OutputVolume> createForSystem(std::shared_ptr<AudioEngine> engine);

  // For the user: where the volume lives ("System volume: Speakers").
  virtual QString description() const = 0;
  // Whether changes made elsewhere show up (the server's volume does).
  virtual bool followsExternalChanges() const = 0;
  virtual double volume() const = 0;
  virtual void setVolume(double volume) = 0;

 Q_SIGNALS:
  // Any change, ours or another program's, on the main thread.
  void volumeChanged(double volume);
};

// The engine's master output volume; no one else changes it.
class EngineOutputVolume final : public OutputVolume {
  Q_OBJECT

 public:
  explicit EngineOutputVolume(std::shared_ptr<AudioEngine> engine);
  QString description() const override;
  bool followsExternalChanges() const override { return false; }
  double volume() const override;
  void setVolume(double volume) override;

 private:
  std::shared_ptr<AudioEngine> _engine;
  double _volume = 1.0;
};

}  // namespace qur
