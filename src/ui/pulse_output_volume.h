// The default sink's volume on a PulseAudio-compatible server (PipeWire's
// included). libpulse runs its own thread; every answer from it is handed to
// the main thread, where this object lives. Main thread.
#pragma once

#include <memory>
#include <string>

#include "ui/output_volume.h"

struct pa_context;
struct pa_threaded_mainloop;

namespace qur {

class PulseOutputVolume final : public OutputVolume {
  Q_OBJECT

 public:
  // Null when no server answers within a moment (none is ever started for
  // us). `server` null: the one the environment names.
  static std::unique_ptr<PulseOutputVolume> connect(const char* server = nullptr);
  ~PulseOutputVolume() override;

  QString description() const override;
  bool followsExternalChanges() const override { return true; }
  double volume() const override { return _volume; }
  void setVolume(double volume) override;

  // The sink the volume belongs to (the server's default).
  QString sinkName() const { return QString::fromStdString(_sinkName); }
  // Whether the server connection still works.
  bool isConnected() const;

 private:
  struct Shared;
  PulseOutputVolume();
  // Main thread: a new reading from the server.
  void applyReading(const std::string& sinkName, const std::string& sinkDescription, double volume,
                    int channels);

  std::shared_ptr<Shared> _shared;
  std::string _sinkName;
  std::string _sinkDescription;
  double _volume = 0.0;
  int _channels = 2;
};

}  // namespace qur
