#include "signals/signal.h"

namespace qur {

Signal<SchedulerTime> interval(double seconds, SchedulerPtr scheduler) {
  return Signal<SchedulerTime>::create(
             [seconds, scheduler](const SubscriberPtr<SchedulerTime>& subscriber) {
               // The timer must not keep its own scheduler alive.
               std::weak_ptr<Scheduler> weakScheduler = scheduler;
               return scheduler->afterRepeatingEvery(scheduler->now() + secondsToDuration(seconds),
                                                     seconds, 0.0, [subscriber, weakScheduler] {
                                                       if (auto scheduler = weakScheduler.lock())
                                                         subscriber->sendNext(scheduler->now());
                                                     });
             })
      .setName("+interval:onScheduler:");
}

}  // namespace qur
