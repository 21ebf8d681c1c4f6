#include "audio/engine/device_watchdog.h"

#include <pthread.h>

#include <chrono>

#include "audio/engine/audio_device.h"
#include "log/log.h"

namespace qur {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
// A real-time device that delivers no cycle for this many polls is lost.
constexpr int kStalledPollsUntilLost = 15;
// Polls between attempts to reopen a lost device.
constexpr int kPollsBetweenRetries = 10;

}  // namespace

DeviceWatchdog::DeviceWatchdog(AudioDevice* device, std::mutex* deviceMutex,
                               std::function<bool(std::string*)> reopen)
    : _device(device), _deviceMutex(deviceMutex), _reopen(std::move(reopen)) {}

DeviceWatchdog::~DeviceWatchdog() {
  stopThread();
}

void DeviceWatchdog::watch() {
  _lastCycleCount = _device->cycleCount();
  _stalledPolls = 0;
  _interrupted = false;
  _watching = true;
  if (_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stop = false;
  }
  _thread = std::thread([this] { loop(); });
}

void DeviceWatchdog::unwatch() {
  _watching = false;
  _interrupted = false;
}

void DeviceWatchdog::stopThread() {
  if (!_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stop = true;
  }
  _cv.notify_all();
  _thread.join();
}

void DeviceWatchdog::loop() {
  pthread_setname_np(pthread_self(), "QURAudioWatchdg");  // 15 characters at most
  std::unique_lock<std::mutex> lock(_mutex);
  while (!_cv.wait_for(lock, kPollInterval, [this] { return _stop; })) {
    lock.unlock();
    check();
    lock.lock();
  }
}

void DeviceWatchdog::check() {
  std::lock_guard<std::mutex> device(*_deviceMutex);
  _device->tidy();
  if (!_watching) return;
  if (!_interrupted) {
    const uint64_t cycles = _device->cycleCount();
    _stalledPolls = cycles == _lastCycleCount ? _stalledPolls + 1 : 0;
    _lastCycleCount = cycles;
    const bool stalled =
        _device->isRealTime() && _device->hasOwnThread() && _stalledPolls >= kStalledPollsUntilLost;
    if (_device->isHealthy() && !stalled) return;
    QUR_LOG_ERROR("Engine: Audio device %s lost (%s); keeping state and retrying",
                  _device->name().c_str(), stalled ? "no audio cycles" : "stream error");
    // Returns at once: the lost stream's threads are left to end by themselves.
    _device->abandon();
    _interrupted = true;
    _losses.fetch_add(1);
    _pollsUntilRetry = kPollsBetweenRetries;
    return;
  }
  if (--_pollsUntilRetry > 0) return;
  _pollsUntilRetry = kPollsBetweenRetries;
  std::string error;
  if (!_reopen(&error)) {
    _device->close();
    // Said once per reason: a device that cannot start (its thread refused,
    // say) is not silently retried forever.
    if (error != _lastReopenError) {
      QUR_LOG_ERROR("Engine: Audio device %s could not be reopened: %s; retrying every second",
                    _device->name().c_str(), error.c_str());
      _lastReopenError = error;
    }
    return;
  }
  _lastReopenError.clear();
  _lastCycleCount = _device->cycleCount();
  _stalledPolls = 0;
  _interrupted = false;
  _recoveries.fetch_add(1);
  QUR_LOG_ERROR("Engine: Audio device %s is back; resuming", _device->name().c_str());
}

}  // namespace qur
