#include "signals/notification_center.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <ranges>
#include <utility>

namespace qur {

namespace {

struct Observer {
  std::string name;
  const void* object;
  std::function<void(const Notification&)> block;
  std::atomic<bool> removed{false};

  bool matches(const Notification& notification) const {
    return (name.empty() || name == notification.name) &&
           (!object || object == notification.object);
  }
};

using ObserverList = std::vector<std::shared_ptr<Observer>>;

}  // namespace

struct NotificationCenter::State {
  SpinLock lock;
  std::shared_ptr<const ObserverList> observers = std::make_shared<ObserverList>();

  std::shared_ptr<const ObserverList> snapshot() {
    std::lock_guard guard(lock);
    return observers;
  }

  void add(std::shared_ptr<Observer> observer) {
    std::shared_ptr<const ObserverList> old;  // released after the lock
    std::lock_guard guard(lock);
    auto list = std::make_shared<ObserverList>(*observers);
    list->push_back(std::move(observer));
    old = std::exchange(observers, std::move(list));
  }

  static DisposablePtr removal(std::weak_ptr<State> weakState,
                               std::weak_ptr<Observer> weakObserver) {
    return Disposable::create([weakState, weakObserver] {
      auto observer = weakObserver.lock();
      if (!observer) return;
      observer->removed.store(true, std::memory_order_release);
      if (auto state = weakState.lock()) state->remove(observer.get());
    });
  }

  void remove(const Observer* observer) {
    std::shared_ptr<const ObserverList> old;
    std::lock_guard guard(lock);
    auto list = std::make_shared<ObserverList>();
    for (const auto& o : *observers)
      if (o.get() != observer) list->push_back(o);
    old = std::exchange(observers, std::move(list));
  }
};

NotificationCenter::NotificationCenter() : _state(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();
  return *center;
}

DisposablePtr NotificationCenter::addObserver(std::string name, const void* object,
                                              std::function<void(const Notification&)> block) {
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->object = object;
  observer->block = std::move(block);
  _state->add(observer);
  return State::removal(_state, observer);
}

void NotificationCenter::post(const Notification& notification) {
  const auto observers = _state->snapshot();
  for (const auto& observer : *observers) {
    if (observer->removed.load(std::memory_order_acquire)) continue;
    if (observer->matches(notification)) observer->block(notification);
  }
}

void NotificationCenter::post(std::string name, const void* object,
                              std::map<std::string, std::any> userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

Signal<Notification> NotificationCenter::addObserverForName(std::string name, const void* object) {
  std::weak_ptr<State> weakState = _state;
  return Signal<Notification>::create(
             [weakState, name = std::move(name),
              object](const SubscriberPtr<Notification>& subscriber) -> DisposablePtr {
               auto state = weakState.lock();
               if (!state) return nullptr;
               auto observer = std::make_shared<Observer>();
               observer->name = name;
               observer->object = object;
               observer->block = [subscriber](const Notification& n) { subscriber->sendNext(n); };
               state->add(observer);
               return State::removal(state, observer);
             })
      .setName("addObserverForName:object:");
}

Signal<Notification> NotificationCenter::addObserverForNames(const std::vector<std::string>& names,
                                                             const void* object) {
  // A plain loop: clang 14 cannot compile libstdc++ 12's range views.
  std::vector<Signal<Notification>> signals;
  signals.reserve(names.size());
  for (const auto& name : names) signals.push_back(addObserverForName(name, object));
  return Signal<Notification>::merge(signals);
}

}  // namespace qur
