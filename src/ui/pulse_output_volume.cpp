#include "ui/pulse_output_volume.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/volume.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "log/log.h"

namespace qur {

// What the libpulse thread reaches; it outlives the object's main-thread side
// until the loop has stopped.
struct PulseOutputVolume::Shared {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  // Set once before the loop starts; the loop is stopped before it goes.
  PulseOutputVolume* owner = nullptr;
  std::atomic<bool> ready{false};
  std::atomic<bool> failed{false};
  bool firstReading = false;  // loop thread, under the loop lock

  void requestReading();
  static void stateChanged(pa_context* context, void* userData);
  static void eventArrived(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                           void* userData);
  static void serverInfo(pa_context* context, const pa_server_info* info, void* userData);
  static void sinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userData);
};

void PulseOutputVolume::Shared::requestReading() {
  if (auto* op = pa_context_get_server_info(context, &Shared::serverInfo, this)) {
    pa_operation_unref(op);
  }
}

void PulseOutputVolume::Shared::stateChanged(pa_context* context, void* userData) {
  auto* shared = static_cast<Shared*>(userData);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      shared->ready = true;
      pa_context_set_subscribe_callback(context, &Shared::eventArrived, shared);
      if (auto* op = pa_context_subscribe(
              context,
              pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
              nullptr, nullptr)) {
        pa_operation_unref(op);
      }
      shared->requestReading();
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      shared->failed = true;
      break;
    default:
      break;
  }
  pa_threaded_mainloop_signal(shared->loop, 0);
}

void PulseOutputVolume::Shared::eventArrived(pa_context*, pa_subscription_event_type_t, uint32_t,
                                             void* userData) {
  // Sink volume, a new default sink or a sink that went away: read again.
  static_cast<Shared*>(userData)->requestReading();
}

void PulseOutputVolume::Shared::serverInfo(pa_context* context, const pa_server_info* info,
                                           void* userData) {
  auto* shared = static_cast<Shared*>(userData);
  if (!info || !info->default_sink_name) {
    shared->firstReading = true;
    pa_threaded_mainloop_signal(shared->loop, 0);
    return;
  }
  if (auto* op = pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                                  &Shared::sinkInfo, shared)) {
    pa_operation_unref(op);
  }
}

void PulseOutputVolume::Shared::sinkInfo(pa_context*, const pa_sink_info* info, int eol,
                                         void* userData) {
  auto* shared = static_cast<Shared*>(userData);
  if (eol != 0 || !info) {
    shared->firstReading = true;
    pa_threaded_mainloop_signal(shared->loop, 0);
    return;
  }
  const double volume = double(pa_cvolume_avg(&info->volume)) / double(PA_VOLUME_NORM);
  std::string name = info->name ? info->name : "";
  std::string description = info->description ? info->description : name;
  const int channels = std::max(1, int(info->volume.channels));
  QMetaObject::invokeMethod(
      shared->owner,
      [owner = shared->owner, name = std::move(name), description = std::move(description), volume,
       channels] { owner->applyReading(name, description, volume, channels); },
      Qt::QueuedConnection);
}

PulseOutputVolume::PulseOutputVolume() : _shared(std::make_shared<Shared>()) {}

std::unique_ptr<PulseOutputVolume> PulseOutputVolume::connect(const char* server) {
  std::unique_ptr<PulseOutputVolume> volume(new PulseOutputVolume());
  Shared& shared = *volume->_shared;
  shared.owner = volume.get();
  shared.loop = pa_threaded_mainloop_new();
  if (!shared.loop) return nullptr;
  shared.context = pa_context_new(pa_threaded_mainloop_get_api(shared.loop), "qur-wtalkie volume");
  if (!shared.context) return nullptr;
  pa_context_set_state_callback(shared.context, &Shared::stateChanged, &shared);
  if (pa_context_connect(shared.context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return nullptr;
  }
  if (pa_threaded_mainloop_start(shared.loop) < 0) return nullptr;

  // A local server answers at once; an absent one fails at once. The bound
  // only guards against a server that hangs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  pa_threaded_mainloop_lock(shared.loop);
  while (!shared.failed && !(shared.ready && shared.firstReading) &&
         std::chrono::steady_clock::now() < deadline) {
    pa_threaded_mainloop_unlock(shared.loop);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pa_threaded_mainloop_lock(shared.loop);
  }
  const bool usable = shared.ready && !shared.failed && shared.firstReading;
  pa_threaded_mainloop_unlock(shared.loop);
  if (!usable) return nullptr;
  // The first reading is queued for the main thread; take it now so the
  // caller sees the server's volume at once.
  QCoreApplication::sendPostedEvents(volume.get(), QEvent::MetaCall);
  return volume;
}

PulseOutputVolume::~PulseOutputVolume() {
  Shared& shared = *_shared;
  if (!shared.loop) return;
  // Stopping joins the loop thread: no callback runs afterwards.
  pa_threaded_mainloop_stop(shared.loop);
  if (shared.context) {
    pa_context_set_state_callback(shared.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(shared.context, nullptr, nullptr);
    pa_context_disconnect(shared.context);
    pa_context_unref(shared.context);
  }
  pa_threaded_mainloop_free(shared.loop);
}

bool PulseOutputVolume::isConnected() const {
  return _shared->ready && !_shared->failed;
}

QString PulseOutputVolume::description() const {
  return tr("System volume: %1").arg(QString::fromStdString(_sinkDescription));
}

void PulseOutputVolume::applyReading(const std::string& sinkName,
                                     const std::string& sinkDescription, double volume,
                                     int channels) {
  _sinkName = sinkName;
  _sinkDescription = sinkDescription;
  _channels = channels;
  if (volume == _volume) return;
  _volume = volume;
  Q_EMIT volumeChanged(volume);
}

void PulseOutputVolume::setVolume(double volume) {
  if (!std::isfinite(volume) || _sinkName.empty() || !isConnected()) return;
  const double clamped = std::clamp(volume, 0.0, kMaximumVolume);
  pa_cvolume target;
  pa_cvolume_set(&target, unsigned(_channels), pa_volume_t(std::lround(clamped * PA_VOLUME_NORM)));
  pa_threaded_mainloop_lock(_shared->loop);
  if (auto* op = pa_context_set_sink_volume_by_name(_shared->context, _sinkName.c_str(), &target,
                                                    nullptr, nullptr)) {
    pa_operation_unref(op);
  } else {
    QUR_LOG_ERROR("Settings: could not set the volume of %s: %s", _sinkName.c_str(),
                  pa_strerror(pa_context_errno(_shared->context)));
  }
  pa_threaded_mainloop_unlock(_shared->loop);
  // The server's change event brings the new value back.
}

}  // namespace qur
