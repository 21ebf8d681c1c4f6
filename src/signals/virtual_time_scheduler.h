// A scheduler whose clock only moves when told to: timers, intervals and
// delays become deterministic. Blocks run on the thread that advances the
// clock, with this scheduler current; any thread may schedule or dispose. A
// dispose that returns guarantees the block will not run (one already
// running on the advancing thread is waited for).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "signals/scheduler.h"

namespace qur {

class VirtualTimeScheduler final : public Scheduler {
 public:
  explicit VirtualTimeScheduler(std::string name = "qur.scheduler.virtual");
  static std::shared_ptr<VirtualTimeScheduler> create() {
    return std::make_shared<VirtualTimeScheduler>();
  }

  DisposablePtr schedule(std::function<void()> block) override;
  DisposablePtr after(SchedulerTime date, std::function<void()> block) override;
  DisposablePtr afterRepeatingEvery(SchedulerTime start, double intervalSeconds,
                                    double leewaySeconds, std::function<void()> block) override;
  SchedulerTime now() const override;

  // Runs every block due up to now + delta, in time order (FIFO among equal
  // times), moving the clock to each block's time as it runs.
  void advanceBy(std::chrono::nanoseconds delta);
  void advanceBySeconds(double seconds) { advanceBy(secondsToDuration(seconds)); }
  void advanceTo(SchedulerTime time);
  // Runs what is due now (blocks scheduled without delay).
  void runDue() { advanceBy(std::chrono::nanoseconds(0)); }
  // Blocks and timers still waiting.
  std::size_t pendingCount() const;

 private:
  struct Item;
  using Key = std::pair<SchedulerTime, std::uint64_t>;
  DisposablePtr enqueue(SchedulerTime date, std::chrono::nanoseconds interval,
                        std::function<void()> block);

  mutable std::mutex _mutex;
  SchedulerTime _now;
  std::uint64_t _sequence = 0;
  std::map<Key, std::shared_ptr<Item>> _items;
};

}  // namespace qur
