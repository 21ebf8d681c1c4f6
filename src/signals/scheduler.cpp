#include "signals/scheduler.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "log/log.h"
#include "signals/main_queue.h"

namespace qur {

std::chrono::nanoseconds secondsToDuration(double seconds) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

namespace {

thread_local Scheduler* tCurrentScheduler = nullptr;

class SerialQueue;

// Threads shared by every background scheduler. A serial queue with work is
// handed to one worker at a time, which keeps each queue's blocks in order.
// Several workers so that one slow block does not hold up other schedulers.
class WorkerPool {
 public:
  static WorkerPool& shared() {
    // Never destroyed: blocks may still be scheduled while statics go away.
    static WorkerPool* pool = new WorkerPool();
    return *pool;
  }

  void submit(std::shared_ptr<SerialQueue> queue) {
    {
      std::lock_guard lock(_mutex);
      _ready.push_back(std::move(queue));
    }
    _cv.notify_one();
  }

 private:
  WorkerPool() {
    const unsigned count = std::max(4u, 2 * std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) std::thread([this] { run(); }).detach();
  }

  void run();

  std::mutex _mutex;
  std::condition_variable _cv;
  std::deque<std::shared_ptr<SerialQueue>> _ready;
};

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
 public:
  void async(std::function<void()> block) {
    bool submit = false;
    {
      std::lock_guard lock(_mutex);
      _blocks.push_back(std::move(block));
      if (!_scheduled) submit = _scheduled = true;
    }
    if (submit) WorkerPool::shared().submit(shared_from_this());
  }

  // Runs a batch of blocks on a worker, then gives the worker back.
  void drain() {
    for (int i = 0; i < 64; ++i) {
      std::function<void()> block;
      {
        std::lock_guard lock(_mutex);
        if (_blocks.empty()) {
          _scheduled = false;
          return;
        }
        block = std::move(_blocks.front());
        _blocks.pop_front();
      }
      block();
    }
    WorkerPool::shared().submit(shared_from_this());
  }

 private:
  std::mutex _mutex;
  std::deque<std::function<void()>> _blocks;
  bool _scheduled = false;
};

void WorkerPool::run() {
  for (;;) {
    std::shared_ptr<SerialQueue> queue;
    {
      std::unique_lock lock(_mutex);
      _cv.wait(lock, [&] { return !_ready.empty(); });
      queue = std::move(_ready.front());
      _ready.pop_front();
    }
    queue->drain();
  }
}

// One thread for every timer in the process; it only hands due blocks to
// their schedulers' queues.
class TimerThread {
 public:
  struct Timer {
    std::pair<SchedulerTime, std::uint64_t> key;
    std::chrono::nanoseconds interval{0};
    std::function<void()> fire;
    bool cancelled = false;
  };

  static TimerThread& shared() {
    static TimerThread* timers = new TimerThread();
    return *timers;
  }

  std::shared_ptr<Timer> add(SchedulerTime date, std::chrono::nanoseconds interval,
                             std::function<void()> fire) {
    auto timer = std::make_shared<Timer>();
    timer->interval = interval;
    timer->fire = std::move(fire);
    {
      std::lock_guard lock(_mutex);
      timer->key = {date, _sequence++};
      _timers.emplace(timer->key, timer);
    }
    _cv.notify_one();
    return timer;
  }

  void cancel(const std::shared_ptr<Timer>& timer) {
    std::shared_ptr<Timer> removed;
    std::lock_guard lock(_mutex);
    if (timer->cancelled) return;
    timer->cancelled = true;
    auto it = _timers.find(timer->key);
    if (it != _timers.end()) {
      removed = std::move(it->second);
      _timers.erase(it);
    }
  }

 private:
  TimerThread() {
    std::thread([this] { run(); }).detach();
  }

  void run() {
    std::unique_lock lock(_mutex);
    for (;;) {
      if (_timers.empty()) {
        _cv.wait(lock);
        continue;
      }
      const auto due = _timers.begin()->first.first;
      if (SchedulerClock::now() < due) {
        _cv.wait_until(lock, due);
        continue;
      }
      auto timer = std::move(_timers.begin()->second);
      _timers.erase(_timers.begin());
      if (timer->interval.count() > 0) {
        // Next firing from the planned time, so a repeating timer does not drift.
        timer->key = {due + timer->interval, _sequence++};
        _timers.emplace(timer->key, timer);
      } else {
        timer->cancelled = true;
      }
      auto fire = timer->fire;
      lock.unlock();
      fire();
      fire = nullptr;
      timer.reset();
      lock.lock();
    }
  }

  std::mutex _mutex;
  std::condition_variable _cv;
  std::uint64_t _sequence = 0;
  std::map<std::pair<SchedulerTime, std::uint64_t>, std::shared_ptr<Timer>> _timers;
};

// A block that a cancelled flag can still stop after it was handed to a queue.
std::function<void()> guarded(std::shared_ptr<Scheduler> scheduler,
                              std::shared_ptr<std::atomic<bool>> cancelled,
                              std::function<void()> block,
                              void (*perform)(Scheduler&, const std::function<void()>&)) {
  return [scheduler = std::move(scheduler), cancelled = std::move(cancelled),
          block = std::move(block), perform] {
    if (cancelled->load(std::memory_order_acquire)) return;
    perform(*scheduler, block);
  };
}

// Common shape of the queue-backed schedulers: subclasses say how a ready
// block reaches their thread.
class QueueSchedulerBase : public Scheduler {
 public:
  using Scheduler::Scheduler;

  DisposablePtr schedule(std::function<void()> block) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    enqueue(guarded(shared_from_this(), cancelled, std::move(block), &performOn));
    return Disposable::create([cancelled] { cancelled->store(true); });
  }

  DisposablePtr after(SchedulerTime date, std::function<void()> block) override {
    return startTimer(date, std::chrono::nanoseconds(0), std::move(block));
  }

  DisposablePtr afterRepeatingEvery(SchedulerTime start, double intervalSeconds, double,
                                    std::function<void()> block) override {
    auto interval = std::max(secondsToDuration(intervalSeconds), std::chrono::nanoseconds(1));
    return startTimer(start, interval, std::move(block));
  }

 protected:
  virtual void enqueue(std::function<void()> block) = 0;

 private:
  static void performOn(Scheduler& scheduler, const std::function<void()>& block) {
    static_cast<QueueSchedulerBase&>(scheduler).performAsCurrentScheduler(block);
  }

  DisposablePtr startTimer(SchedulerTime date, std::chrono::nanoseconds interval,
                           std::function<void()> block) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto self = std::static_pointer_cast<QueueSchedulerBase>(shared_from_this());
    auto shared = std::make_shared<std::function<void()>>(std::move(block));
    auto timer = TimerThread::shared().add(date, interval, [self, cancelled, shared] {
      self->enqueue(guarded(
          self, cancelled, [shared] { (*shared)(); }, &performOn));
    });
    return Disposable::create([cancelled, timer] {
      cancelled->store(true);
      TimerThread::shared().cancel(timer);
    });
  }
};

class BackgroundScheduler final : public QueueSchedulerBase {
 public:
  explicit BackgroundScheduler(std::string name)
      : QueueSchedulerBase(std::move(name)), _queue(std::make_shared<SerialQueue>()) {}

 protected:
  void enqueue(std::function<void()> block) override { _queue->async(std::move(block)); }

 private:
  std::shared_ptr<SerialQueue> _queue;
};

class MainThreadScheduler final : public QueueSchedulerBase {
 public:
  MainThreadScheduler() : QueueSchedulerBase("qur.scheduler.main") {}

 protected:
  void enqueue(std::function<void()> block) override { mainQueue().post(std::move(block)); }
};

class ImmediateScheduler final : public Scheduler {
 public:
  ImmediateScheduler() : Scheduler("qur.scheduler.immediate") {}

  DisposablePtr schedule(std::function<void()> block) override {
    performAsCurrentScheduler(block);
    return nullptr;
  }
  DisposablePtr after(SchedulerTime date, std::function<void()> block) override {
    std::this_thread::sleep_until(date);
    return schedule(std::move(block));
  }
  DisposablePtr afterRepeatingEvery(SchedulerTime, double, double, std::function<void()>) override {
    QUR_LOG_ERROR("The immediate scheduler cannot run repeating timers");
    auto disposable = Disposable::create();
    disposable->dispose();
    return disposable;
  }
};

class SubscriptionScheduler final : public Scheduler {
 public:
  SubscriptionScheduler()
      : Scheduler("qur.scheduler.subscription"),
        _background(Scheduler::scheduler("qur.scheduler.subscription.background")) {}

  DisposablePtr schedule(std::function<void()> block) override {
    if (currentScheduler()) {
      block();
      return nullptr;
    }
    return _background->schedule(std::move(block));
  }
  DisposablePtr after(SchedulerTime date, std::function<void()> block) override {
    return target()->after(date, std::move(block));
  }
  DisposablePtr afterRepeatingEvery(SchedulerTime start, double interval, double leeway,
                                    std::function<void()> block) override {
    return target()->afterRepeatingEvery(start, interval, leeway, std::move(block));
  }

 private:
  SchedulerPtr target() const {
    auto current = currentScheduler();
    return current ? current : _background;
  }
  SchedulerPtr _background;
};

}  // namespace

void Scheduler::performAsCurrentScheduler(const std::function<void()>& block) {
  struct Restore {
    Scheduler* previous;
    ~Restore() { tCurrentScheduler = previous; }
  } restore{tCurrentScheduler};
  tCurrentScheduler = this;
  block();
}

SchedulerPtr Scheduler::mainThreadScheduler() {
  static auto* scheduler = new SchedulerPtr(std::make_shared<MainThreadScheduler>());
  return *scheduler;
}

SchedulerPtr Scheduler::scheduler(std::string name) {
  return std::make_shared<BackgroundScheduler>(std::move(name));
}

SchedulerPtr Scheduler::currentScheduler() {
  if (tCurrentScheduler) return tCurrentScheduler->shared_from_this();
  if (isOnMainThread()) return mainThreadScheduler();
  return nullptr;
}

SchedulerPtr Scheduler::subscriptionScheduler() {
  static auto* scheduler = new SchedulerPtr(std::make_shared<SubscriptionScheduler>());
  return *scheduler;
}

SchedulerPtr Scheduler::immediateScheduler() {
  static auto* scheduler = new SchedulerPtr(std::make_shared<ImmediateScheduler>());
  return *scheduler;
}

bool Scheduler::isOnMainThread() {
  return mainQueue().isMainThread();
}

}  // namespace qur
