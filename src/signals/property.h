// Observable properties and bindings. A Property<T> holds a value; its
// values() signal sends the current value at subscription and then the value
// of every set() (also when it is equal to the old one), synchronously on the
// setting thread, and completes when the property is destroyed. bindSignal() sends
// a signal's values into a property or a setter until the target's Lifetime
// ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "signals/signal.h"

namespace qur {

template <class T>
class Property {
 public:
  explicit Property(T initial = T{}) : _state(std::make_shared<State>(std::move(initial))) {}
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;
  ~Property() {
    _lifetime.reset();  // bindings into this property stop before it goes away
    _state->end();
  }

  T get() const {
    std::lock_guard lock(_state->mutex);
    return _state->value;
  }
  void set(T value) { _state->set(std::move(value)); }
  Property& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  Signal<T> values() const {
    std::weak_ptr<State> weakState = _state;
    return Signal<T>::create([weakState](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
             auto state = weakState.lock();
             if (!state) {
               subscriber->sendCompleted();
               return nullptr;
             }
             return state->observe(subscriber);
           })
        .setName("values");
  }

  // Ends (disposing what was added) when the property is destroyed.
  const Lifetime& lifetime() const { return *_lifetime; }

 private:
  struct Observer {
    // Serialises this observer's values and drops one that was overtaken by a
    // newer set (possible only when two threads set at once).
    std::recursive_mutex mutex;
    std::uint64_t lastSequence = 0;
    SubscriberPtr<T> subscriber;
    std::shared_ptr<CompoundDisposable> disposable;

    void deliver(std::uint64_t sequence, const T& value) {
      std::lock_guard lock(mutex);
      if (disposable->isDisposed() || sequence <= lastSequence) return;
      lastSequence = sequence;
      subscriber->sendNext(value);
    }
  };
  using List = std::vector<std::shared_ptr<Observer>>;

  struct State : std::enable_shared_from_this<State> {
    explicit State(T initial) : value(std::move(initial)), observers(std::make_shared<List>()) {}

    mutable std::mutex mutex;
    T value;
    std::uint64_t sequence = 1;
    bool ended = false;
    std::shared_ptr<const List> observers;

    void set(T newValue) {
      std::shared_ptr<const List> snapshot;
      std::uint64_t current;
      {
        std::lock_guard lock(mutex);
        value = std::move(newValue);
        current = ++sequence;
        snapshot = observers;
        newValue = value;
      }
      for (const auto& observer : *snapshot) observer->deliver(current, newValue);
    }

    DisposablePtr observe(const SubscriberPtr<T>& subscriber) {
      auto observer = std::make_shared<Observer>();
      observer->subscriber = subscriber;
      observer->disposable = CompoundDisposable::create();
      std::optional<T> initial;  // T need not be default-constructible
      std::uint64_t current = 0;
      bool wasEnded = false;
      {
        std::lock_guard lock(mutex);
        wasEnded = ended;
        if (!wasEnded) {
          auto list = std::make_shared<List>(*observers);
          list->push_back(observer);
          observers = std::move(list);
          initial = value;
          current = sequence;
        }
      }
      if (wasEnded) {
        subscriber->sendCompleted();
        return nullptr;
      }
      std::weak_ptr<State> weakSelf = this->shared_from_this();
      observer->disposable->addDisposable(Disposable::create([weakSelf, raw = observer.get()] {
        if (auto self = weakSelf.lock()) self->remove(raw);
      }));
      if (initial) observer->deliver(current, *initial);
      return observer->disposable;
    }

    void remove(const Observer* observer) {
      std::shared_ptr<const List> old;
      std::lock_guard lock(mutex);
      auto list = std::make_shared<List>();
      for (const auto& o : *observers)
        if (o.get() != observer) list->push_back(o);
      old = std::exchange(observers, std::move(list));
    }

    void end() {
      std::shared_ptr<const List> snapshot;
      {
        std::lock_guard lock(mutex);
        ended = true;
        snapshot = std::exchange(observers, std::make_shared<List>());
      }
      for (const auto& observer : *snapshot) {
        {
          std::lock_guard lock(observer->mutex);
          if (!observer->disposable->isDisposed()) observer->subscriber->sendCompleted();
        }
        observer->disposable->dispose();
      }
    }
  };

  std::shared_ptr<State> _state;
  std::optional<Lifetime> _lifetime{std::in_place};
};

namespace detail {

// One binding: the setter runs under the binding's lock and never after the
// binding was disposed, so a target that ends its Lifetime first in its
// destructor is not touched afterwards, even by a value sent from another thread.
struct BindingState {
  std::recursive_mutex mutex;
  bool active = true;
};

void logBindingError(const std::string& signalName, const std::string& keyPath, const void* target,
                     const Error& error);

}  // namespace detail

// Sends every value of the signal to the setter (on the thread that delivers
// it) until the signal completes or the target's lifetime ends; a value that
// is nil is replaced by nilValue (the WithNilValue forms). Errors are a programming fault and are
// logged. Returns the binding's disposable.
template <class T, class Setter>
DisposablePtr bindSignal(const Signal<T>& signal, const Lifetime& targetLifetime, Setter setter,
                         std::string keyPath = {}) {
  auto state = std::make_shared<detail::BindingState>();
  std::weak_ptr<CompoundDisposable> weakLifetime = targetLifetime.deallocDisposable();
  const void* target = &targetLifetime;
  auto binding = CompoundDisposable::create();
  binding->addDisposable(Disposable::create([state] {
    std::lock_guard lock(state->mutex);
    state->active = false;
  }));
  if (auto lifetime = weakLifetime.lock()) {
    lifetime->addDisposable(binding);
    // Once the binding ends the target's lifetime forgets it.
    binding->addDisposable(Disposable::create([weakLifetime, raw = binding.get()] {
      if (auto lifetime = weakLifetime.lock()) lifetime->removeDisposable(raw);
    }));
  } else {
    binding->dispose();
    return binding;
  }
  std::weak_ptr<CompoundDisposable> weakBinding = binding;
  binding->addDisposable(signal.subscribeNext(
      [state, setter](const T& value) mutable {
        std::lock_guard lock(state->mutex);
        if (state->active) setter(value);
      },
      [name = signal.name(), keyPath, target, weakBinding](const Error& error) {
        detail::logBindingError(name, keyPath, target, error);
        if (auto binding = weakBinding.lock()) binding->dispose();
      },
      [weakBinding] {
        if (auto binding = weakBinding.lock()) binding->dispose();
      }));
  return binding;
}

template <class T, class Setter>
DisposablePtr bindSignalWithNilValue(const Signal<std::optional<T>>& signal,
                                     const Lifetime& targetLifetime, Setter setter, T nilValue,
                                     std::string keyPath = {}) {
  return bindSignal(
      signal, targetLifetime,
      [setter, nilValue](const std::optional<T>& value) mutable {
        setter(value ? *value : nilValue);
      },
      std::move(keyPath));
}

template <class T>
DisposablePtr bindSignal(const Signal<T>& signal, Property<T>& target) {
  return bindSignal(signal, target.lifetime(), [&target](const T& value) { target.set(value); });
}

template <class T>
DisposablePtr bindSignalWithNilValue(const Signal<std::optional<T>>& signal, Property<T>& target,
                                     T nilValue) {
  return bindSignalWithNilValue(
      signal, target.lifetime(), [&target](const T& value) { target.set(value); },
      std::move(nilValue));
}

}  // namespace qur
