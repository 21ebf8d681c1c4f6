// Serial executors of blocks. The main-thread scheduler posts to the main
// queue hook; background schedulers are serial queues sharing one worker
// pool; the immediate scheduler runs blocks in the caller; the subscription
// scheduler runs subscription work at once where a scheduler is current (the
// main thread, or inside any scheduler's block) and on a background scheduler
// elsewhere.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "signals/disposable.h"

namespace qur {

// Scheduler time ("dates"). Monotonic, so timers do not jump with the wall clock.
using SchedulerClock = std::chrono::steady_clock;
using SchedulerTime = SchedulerClock::time_point;

std::chrono::nanoseconds secondsToDuration(double seconds);

class Scheduler : public std::enable_shared_from_this<Scheduler> {
 public:
  explicit Scheduler(std::string name) : _name(std::move(name)) {}
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;
  virtual ~Scheduler() = default;

  const std::string& name() const { return _name; }

  // The one scheduler on the main queue; always asynchronous, also when
  // called on the main thread.
  static std::shared_ptr<Scheduler> mainThreadScheduler();
  // A new background scheduler with its own serial queue.
  static std::shared_ptr<Scheduler> scheduler(std::string name = "qur.scheduler.background");
  // The scheduler whose block runs on this thread; else the main-thread
  // scheduler on the main thread; else null.
  static std::shared_ptr<Scheduler> currentScheduler();
  static std::shared_ptr<Scheduler> subscriptionScheduler();
  static std::shared_ptr<Scheduler> immediateScheduler();
  static bool isOnMainThread();

  // Runs the block later (the immediate and subscription schedulers may run
  // it at once and then return null). Disposing the result before the block
  // starts keeps it from running.
  virtual DisposablePtr schedule(std::function<void()> block) = 0;
  // Runs the block at or after the date.
  virtual DisposablePtr after(SchedulerTime date, std::function<void()> block) = 0;
  DisposablePtr afterDelay(double seconds, std::function<void()> block) {
    return after(now() + secondsToDuration(seconds), std::move(block));
  }
  // Runs the block at start and then every interval until the result is
  // disposed. Our timers fire on time, so the leeway is only an allowance.
  virtual DisposablePtr afterRepeatingEvery(SchedulerTime start, double intervalSeconds,
                                            double leewaySeconds, std::function<void()> block) = 0;

  // This scheduler's clock; a virtual-time scheduler answers its own time.
  virtual SchedulerTime now() const { return SchedulerClock::now(); }

 protected:
  // Runs the block with this scheduler installed as current scheduler on the
  // calling thread, restoring the previous one afterwards.
  void performAsCurrentScheduler(const std::function<void()>& block);

 private:
  std::string _name;
};

using SchedulerPtr = std::shared_ptr<Scheduler>;

}  // namespace qur
