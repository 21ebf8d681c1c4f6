// Operator definitions for Signal<T>; included by signal.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace qur {

namespace detail {

// Forwards terminal events of an inner subscription to the outer subscriber.
template <class T, class U>
DisposablePtr forward(const Signal<T>& source, const SubscriberPtr<U>& subscriber,
                      std::function<void(const T&)> next) {
  return source.subscribeNext(
      std::move(next), [subscriber](const Error& error) { subscriber->sendError(error); },
      [subscriber] { subscriber->sendCompleted(); });
}

}  // namespace detail

template <class T>
Signal<T> Signal<T>::never() {
  return create([](const SubscriberPtr<T>&) -> DisposablePtr { return nullptr; }).setName("+never");
}

template <class T>
Signal<T> Signal<T>::empty() {
  return create([](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
    subscriber->sendCompleted();
    return nullptr;
  });
}

template <class T>
Signal<T> Signal<T>::just(T value) {
  return create([value = std::move(value)](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
    subscriber->sendNext(value);
    subscriber->sendCompleted();
    return nullptr;
  });
}

template <class T>
Signal<T> Signal<T>::error(Error error) {
  return create([error = std::move(error)](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
    subscriber->sendError(error);
    return nullptr;
  });
}

template <class T>
template <class F>
Signal<MapResult<F, T>> Signal<T>::map(F transform) const {
  using U = MapResult<F, T>;
  return Signal<U>::create([source = *this, transform](const SubscriberPtr<U>& subscriber) {
    return detail::forward<T, U>(source, subscriber,
                                 [subscriber, transform](const T& value) mutable {
                                   subscriber->sendNext(transform(value));
                                 });
  });
}

template <class T>
template <class F>
Signal<T> Signal<T>::filter(F predicate) const {
  return create([source = *this, predicate](const SubscriberPtr<T>& subscriber) {
    return detail::forward<T, T>(source, subscriber,
                                 [subscriber, predicate](const T& value) mutable {
                                   if (predicate(value)) subscriber->sendNext(value);
                                 });
  });
}

template <class T>
Signal<T> Signal<T>::startWith(T value) const {
  return create([source = *this, value](const SubscriberPtr<T>& subscriber) {
    subscriber->sendNext(value);
    return source.subscribe(subscriber);
  });
}

template <class T>
template <class R, class F>
Signal<R> Signal<T>::scanWithStart(R start, F reduce) const {
  return Signal<R>::create([source = *this, start, reduce](const SubscriberPtr<R>& subscriber) {
    // One running value per subscription; the block subscriber serialises access.
    auto running = std::make_shared<R>(start);
    return detail::forward<T, R>(source, subscriber,
                                 [subscriber, running, reduce](const T& value) mutable {
                                   *running = reduce(*running, value);
                                   subscriber->sendNext(*running);
                                 });
  });
}

template <class T>
Signal<T> Signal<T>::distinctUntilChanged() const {
  return create([source = *this](const SubscriberPtr<T>& subscriber) {
    auto last = std::make_shared<std::optional<T>>();
    return detail::forward<T, T>(source, subscriber, [subscriber, last](const T& value) {
      if (*last && **last == value) return;
      *last = value;
      subscriber->sendNext(value);
    });
  });
}

template <class T>
template <class F>
auto Signal<T>::reduceEach(F reduce) const {
  static_assert(IsTuple<T>::value, "reduceEach needs tuple values");
  return map([reduce](const T& tuple) mutable { return std::apply(reduce, tuple); });
}

template <class T>
template <class U>
Signal<std::tuple<T, U>> Signal<T>::combineLatestWith(const Signal<U>& other) const {
  using Pair = std::tuple<T, U>;
  return Signal<Pair>::create([first = *this, other](const SubscriberPtr<Pair>& subscriber) {
    struct State {
      std::recursive_mutex mutex;  // one per subscription: a tuple comes from a consistent pair
      std::optional<T> firstValue;
      std::optional<U> secondValue;
      bool firstCompleted = false;
      bool secondCompleted = false;
    };
    auto state = std::make_shared<State>();
    auto sendIfReady = [subscriber, state] {
      if (state->firstValue && state->secondValue)
        subscriber->sendNext(Pair(*state->firstValue, *state->secondValue));
    };
    auto onError = [subscriber, state](const Error& error) {
      std::lock_guard lock(state->mutex);
      subscriber->sendError(error);
    };
    auto firstDisposable = first.subscribeNext(
        [state, sendIfReady](const T& value) {
          std::lock_guard lock(state->mutex);
          state->firstValue = value;
          sendIfReady();
        },
        onError,
        [subscriber, state] {
          std::lock_guard lock(state->mutex);
          state->firstCompleted = true;
          if (state->secondCompleted) subscriber->sendCompleted();
        });
    auto secondDisposable = other.subscribeNext(
        [state, sendIfReady](const U& value) {
          std::lock_guard lock(state->mutex);
          state->secondValue = value;
          sendIfReady();
        },
        onError,
        [subscriber, state] {
          std::lock_guard lock(state->mutex);
          state->secondCompleted = true;
          if (state->firstCompleted) subscriber->sendCompleted();
        });
    return CompoundDisposable::create({firstDisposable, secondDisposable});
  });
}

template <class T>
Signal<bool> Signal<T>::logicalNot() const {
  return map([](const T& value) { return !static_cast<bool>(value); });
}

template <class T>
Signal<bool> Signal<T>::logicalAnd() const {
  static_assert(IsTuple<T>::value, "logicalAnd needs tuple values");
  return map([](const T& tuple) {
    return std::apply([](const auto&... values) { return (static_cast<bool>(values) && ...); },
                      tuple);
  });
}

template <class T>
Signal<bool> Signal<T>::logicalOr() const {
  static_assert(IsTuple<T>::value, "logicalOr needs tuple values");
  return map([](const T& tuple) {
    return std::apply([](const auto&... values) { return (static_cast<bool>(values) || ...); },
                      tuple);
  });
}

template <class T>
Signal<T> Signal<T>::deliverOn(SchedulerPtr scheduler) const {
  return create([source = *this, scheduler](const SubscriberPtr<T>& subscriber) {
    // Blocks still queued after disposal reach nobody: the subscriber passed
    // in stops forwarding once its subscription is disposed.
    return source.subscribeNext(
        [subscriber, scheduler](const T& value) {
          scheduler->schedule([subscriber, value] { subscriber->sendNext(value); });
        },
        [subscriber, scheduler](const Error& error) {
          scheduler->schedule([subscriber, error] { subscriber->sendError(error); });
        },
        [subscriber, scheduler] {
          scheduler->schedule([subscriber] { subscriber->sendCompleted(); });
        });
  });
}

template <class T>
Signal<T> Signal<T>::take(std::size_t count) const {
  if (count == 0) return empty();
  return create([source = *this, count](const SubscriberPtr<T>& subscriber) {
    auto taken = std::make_shared<std::size_t>(0);
    return detail::forward<T, T>(source, subscriber, [subscriber, taken, count](const T& value) {
      if (*taken >= count) return;
      ++*taken;
      subscriber->sendNext(value);
      if (*taken == count) subscriber->sendCompleted();
    });
  });
}

template <class T>
Signal<T> Signal<T>::skip(std::size_t count) const {
  return create([source = *this, count](const SubscriberPtr<T>& subscriber) {
    auto skipped = std::make_shared<std::size_t>(0);
    return detail::forward<T, T>(source, subscriber, [subscriber, skipped, count](const T& value) {
      if (*skipped < count) {
        ++*skipped;
        return;
      }
      subscriber->sendNext(value);
    });
  });
}

template <class T>
Signal<T> Signal<T>::concat(Signal other) const {
  return create([source = *this, other](const SubscriberPtr<T>& subscriber) {
    auto disposable = CompoundDisposable::create();
    std::weak_ptr<CompoundDisposable> weakDisposable = disposable;
    disposable->addDisposable(
        source.subscribeNext([subscriber](const T& value) { subscriber->sendNext(value); },
                             [subscriber](const Error& error) { subscriber->sendError(error); },
                             [subscriber, other, weakDisposable] {
                               auto next = other.subscribe(subscriber);
                               if (auto disposable = weakDisposable.lock())
                                 disposable->addDisposable(std::move(next));
                               else
                                 next->dispose();
                             }));
    return disposable;
  });
}

template <class T>
template <class U>
Signal<T> Signal<T>::takeUntil(const Signal<U>& trigger) const {
  return create([source = *this, trigger](const SubscriberPtr<T>& subscriber) {
    auto triggerDisposable =
        trigger.subscribeNext([subscriber](const U&) { subscriber->sendCompleted(); },
                              [subscriber] { subscriber->sendCompleted(); });
    auto sourceDisposable = source.subscribe(subscriber);
    return CompoundDisposable::create({triggerDisposable, sourceDisposable});
  });
}

template <class T>
Signal<T> Signal<T>::takeUntil(const Lifetime& lifetime) const {
  std::weak_ptr<CompoundDisposable> weakLifetime = lifetime.deallocDisposable();
  return create(
      [source = *this, weakLifetime](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
        auto lifetime = weakLifetime.lock();
        if (!lifetime || lifetime->isDisposed()) {
          subscriber->sendCompleted();
          return nullptr;
        }
        auto ending = Disposable::create([subscriber] { subscriber->sendCompleted(); });
        std::weak_ptr<Disposable> weakEnding = ending;
        lifetime->addDisposable(ending);
        // When the subscription ends first, the lifetime forgets it.
        auto forget = Disposable::create([weakLifetime, raw = ending.get()] {
          if (auto lifetime = weakLifetime.lock()) lifetime->removeDisposable(raw);
        });
        return CompoundDisposable::create({source.subscribe(subscriber), forget});
      });
}

template <class T>
Signal<T> Signal<T>::catchToCompletion() const {
  return create([source = *this](const SubscriberPtr<T>& subscriber) {
    return source.subscribeNext([subscriber](const T& value) { subscriber->sendNext(value); },
                                [subscriber](const Error&) { subscriber->sendCompleted(); },
                                [subscriber] { subscriber->sendCompleted(); });
  });
}

template <class T>
Signal<Unit> Signal<T>::ignoreValues() const {
  return map([](const T&) { return Unit{}; });
}

template <class T>
Signal<bool> Signal<T>::blockOnValueForDuration(double seconds, SchedulerPtr scheduler) const {
  if (!scheduler) scheduler = Scheduler::mainThreadScheduler();
  return Signal<bool>::create(
      [source = *this, seconds, scheduler](const SubscriberPtr<bool>& subscriber) {
        subscriber->sendNext(true);
        // Each value schedules its own reopening; later values do not postpone
        // earlier ones. A reopening after disposal reaches nobody.
        return source.subscribeNext([subscriber, seconds, scheduler](const T&) {
          subscriber->sendNext(false);
          scheduler->afterDelay(seconds, [subscriber] { subscriber->sendNext(true); });
        });
      });
}

template <class T>
Signal<bool> Signal<T>::asFlipSwitchStartingWith(bool start, bool sendStartValueImmediately) const {
  auto flips = scanWithStart(start, [](bool running, const T&) { return !running; });
  return sendStartValueImmediately ? flips.startWith(start) : flips;
}

template <class T>
Signal<bool> Signal<T>::andWithSignal(const Signal<bool>& other) const {
  static_assert(std::is_same_v<T, bool>, "andWithSignal needs a boolean signal");
  return combineLatestWith(other).logicalAnd();
}

template <class T>
Signal<bool> Signal<T>::orWithSignal(const Signal<bool>& other) const {
  static_assert(std::is_same_v<T, bool>, "orWithSignal needs a boolean signal");
  return combineLatestWith(other).logicalOr();
}

template <class T>
Signal<T> switchToLatest(const Signal<Signal<T>>& signals) {
  return Signal<T>::create([signals](const SubscriberPtr<T>& subscriber) {
    struct State {
      std::recursive_mutex mutex;
      std::uint64_t generation = 0;
      DisposablePtr current;
      bool outerCompleted = false;
      bool innerCompleted = true;
      bool disposed = false;
    };
    auto state = std::make_shared<State>();
    auto outer = signals.subscribeNext(
        [subscriber, state](const Signal<T>& inner) {
          DisposablePtr previous;
          std::uint64_t generation;
          {
            std::lock_guard lock(state->mutex);
            generation = ++state->generation;
            previous = std::move(state->current);
            state->current = nullptr;
            state->innerCompleted = false;
          }
          if (previous) previous->dispose();
          auto disposable = inner.subscribeNext(
              [subscriber, state, generation](const T& value) {
                std::lock_guard lock(state->mutex);
                if (generation == state->generation) subscriber->sendNext(value);
              },
              [subscriber, state, generation](const Error& error) {
                std::lock_guard lock(state->mutex);
                if (generation == state->generation) subscriber->sendError(error);
              },
              [subscriber, state, generation] {
                std::lock_guard lock(state->mutex);
                if (generation != state->generation) return;
                state->innerCompleted = true;
                if (state->outerCompleted) subscriber->sendCompleted();
              });
          bool keep;
          {
            std::lock_guard lock(state->mutex);
            keep = generation == state->generation && !state->disposed;
            if (keep) state->current = disposable;
          }
          if (!keep) disposable->dispose();
        },
        [subscriber, state](const Error& error) {
          std::lock_guard lock(state->mutex);
          subscriber->sendError(error);
        },
        [subscriber, state] {
          std::lock_guard lock(state->mutex);
          state->outerCompleted = true;
          if (state->innerCompleted) subscriber->sendCompleted();
        });
    auto inner = Disposable::create([state] {
      DisposablePtr current;
      {
        std::lock_guard lock(state->mutex);
        state->disposed = true;
        current = std::move(state->current);
        state->current = nullptr;
      }
      if (current) current->dispose();
    });
    return CompoundDisposable::create({outer, inner});
  });
}

template <class T>
Signal<T> Signal<T>::ifThenElse(const Signal<bool>& condition, Signal whenTrue, Signal whenFalse) {
  return switchToLatest(
      condition.map([whenTrue, whenFalse](bool value) { return value ? whenTrue : whenFalse; }));
}

template <class T>
template <class Range>
Signal<T> Signal<T>::merge(const Range& signals) {
  std::vector<Signal<T>> copied;
  for (const auto& signal : signals) copied.push_back(signal);
  return create([copied = std::move(copied)](const SubscriberPtr<T>& subscriber) -> DisposablePtr {
    if (copied.empty()) {
      subscriber->sendCompleted();
      return nullptr;
    }
    auto remaining = std::make_shared<std::atomic<std::size_t>>(copied.size());
    auto disposable = CompoundDisposable::create();
    for (const auto& signal : copied) {
      disposable->addDisposable(
          signal.subscribeNext([subscriber](const T& value) { subscriber->sendNext(value); },
                               [subscriber](const Error& error) { subscriber->sendError(error); },
                               [subscriber, remaining] {
                                 if (remaining->fetch_sub(1) == 1) subscriber->sendCompleted();
                               }));
    }
    return disposable;
  });
}

}  // namespace qur
