// Watches the engine's device from a thread of its own. A device that reports
// a stream error, or a real-time device on its own thread that delivers no
// cycle for 1.5 s, is lost: the watchdog lets go of it without waiting for its
// threads and tries to open it again once a second. Only this thread opens a
// lost device, so no other thread waits for a driver that hangs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qur {

class AudioDevice;

class DeviceWatchdog {
 public:
  // `deviceMutex` serialises every call on the device; `reopen` opens and
  // starts it again, called on the watchdog thread with the mutex held.
  DeviceWatchdog(AudioDevice* device, std::mutex* deviceMutex,
                 std::function<bool(std::string* error)> reopen);
  ~DeviceWatchdog();
  DeviceWatchdog(const DeviceWatchdog&) = delete;
  DeviceWatchdog& operator=(const DeviceWatchdog&) = delete;

  // Main thread, holding the device mutex: the device has just been started
  // (watching begins, the thread starts if needed) or stopped.
  void watch();
  void unwatch();
  // Main thread: ends the thread; waits for a device call in progress.
  void stopThread();

  // Any thread.
  bool isWatching() const { return _watching.load(); }
  // Whether the device is lost and being retried.
  bool isInterrupted() const { return _interrupted.load(); }
  // Times the device was lost and came back since construction.
  int losses() const { return _losses.load(); }
  int recoveries() const { return _recoveries.load(); }

 private:
  void loop();
  void check();

  AudioDevice* _device;
  std::mutex* _deviceMutex;
  std::function<bool(std::string*)> _reopen;
  std::atomic<bool> _watching{false};
  std::atomic<bool> _interrupted{false};
  std::atomic<int> _losses{0};
  std::atomic<int> _recoveries{0};
  // Watchdog thread, under the device mutex.
  uint64_t _lastCycleCount = 0;
  int _stalledPolls = 0;
  int _pollsUntilRetry = 0;
  std::string _lastReopenError;

  std::thread _thread;
  std::mutex _mutex;
  std::condition_variable _cv;
  bool _stop = false;
};

}  // namespace qur
