#include "signals/virtual_time_scheduler.h"

namespace qur {

struct VirtualTimeScheduler::Item {
  Key key;
  std::chrono::nanoseconds interval{0};
  std::shared_ptr<std::function<void()>> block;
  // Held while the block runs and while it is disposed, so that once dispose
  // returns the block neither runs nor is still running elsewhere.
  // Recursive: a block may dispose itself.
  std::recursive_mutex runMutex;
  bool cancelled = false;  // guarded by runMutex
};

VirtualTimeScheduler::VirtualTimeScheduler(std::string name)
    : Scheduler(std::move(name)), _now(SchedulerTime() + std::chrono::hours(1)) {}

SchedulerTime VirtualTimeScheduler::now() const {
  std::lock_guard lock(_mutex);
  return _now;
}

DisposablePtr VirtualTimeScheduler::schedule(std::function<void()> block) {
  return enqueue(now(), std::chrono::nanoseconds(0), std::move(block));
}

DisposablePtr VirtualTimeScheduler::after(SchedulerTime date, std::function<void()> block) {
  return enqueue(date, std::chrono::nanoseconds(0), std::move(block));
}

DisposablePtr VirtualTimeScheduler::afterRepeatingEvery(SchedulerTime start, double intervalSeconds,
                                                        double, std::function<void()> block) {
  auto interval = std::max(secondsToDuration(intervalSeconds), std::chrono::nanoseconds(1));
  return enqueue(start, interval, std::move(block));
}

DisposablePtr VirtualTimeScheduler::enqueue(SchedulerTime date, std::chrono::nanoseconds interval,
                                            std::function<void()> block) {
  auto item = std::make_shared<Item>();
  item->interval = interval;
  item->block = std::make_shared<std::function<void()>>(std::move(block));
  {
    std::lock_guard lock(_mutex);
    item->key = {date, _sequence++};
    _items.emplace(item->key, item);
  }
  std::weak_ptr<VirtualTimeScheduler> weakSelf =
      std::static_pointer_cast<VirtualTimeScheduler>(shared_from_this());
  std::weak_ptr<Item> weakItem = item;
  return Disposable::create([weakSelf, weakItem] {
    auto self = weakSelf.lock();
    auto item = weakItem.lock();
    if (!self || !item) return;
    std::lock_guard runLock(item->runMutex);
    item->cancelled = true;
    std::shared_ptr<Item> removed;
    std::lock_guard lock(self->_mutex);  // always after runMutex
    auto it = self->_items.find(item->key);
    if (it != self->_items.end() && it->second == item) {
      removed = std::move(it->second);
      self->_items.erase(it);
    }
  });
}

void VirtualTimeScheduler::advanceBy(std::chrono::nanoseconds delta) {
  advanceTo(now() + delta);
}

void VirtualTimeScheduler::advanceTo(SchedulerTime time) {
  for (;;) {
    std::shared_ptr<Item> item;
    {
      std::lock_guard lock(_mutex);
      if (_items.empty() || _items.begin()->first.first > time) {
        if (_now < time) _now = time;
        return;
      }
      item = _items.begin()->second;
      _items.erase(_items.begin());
      if (_now < item->key.first) _now = item->key.first;
      if (item->interval.count() > 0) {
        item->key = {item->key.first + item->interval, _sequence++};
        _items.emplace(item->key, item);
      }
    }
    // Taken out above, it may have been disposed since.
    std::lock_guard runLock(item->runMutex);
    if (item->cancelled) continue;
    auto block = item->block;
    performAsCurrentScheduler(*block);
  }
}

std::size_t VirtualTimeScheduler::pendingCount() const {
  std::lock_guard lock(_mutex);
  return _items.size();
}

}  // namespace qur
