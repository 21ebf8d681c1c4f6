// Typed push signals. A Signal<T> is a cheap handle on a producer: nothing
// happens until it is subscribed, each subscription runs the producer anew,
// and every subscriber gets zero or more values followed by at most one
// terminal event (error or completion).
//
// Subscribing to a signal made with create() runs its block at once where a
// scheduler is current (the main thread, or inside any scheduler's block) and
// on a background scheduler elsewhere.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "signals/disposable.h"
#include "signals/error.h"
#include "signals/scheduler.h"
#include "signals/subscriber.h"

namespace qur {

// The value of signals that only say "something happened".
struct Unit {
  bool operator==(const Unit&) const = default;
};

template <class T>
class Signal;

// The producer behind a signal.
template <class T>
class SignalSource : public std::enable_shared_from_this<SignalSource<T>> {
 public:
  virtual ~SignalSource() = default;
  // Returns the subscription's disposable.
  virtual DisposablePtr subscribe(SubscriberPtr<T> subscriber) = 0;

  const std::string& name() const { return _name; }
  void setName(std::string name) { _name = std::move(name); }

 private:
  std::string _name;
};

template <class T>
using DidSubscribeBlock = std::function<DisposablePtr(const SubscriberPtr<T>&)>;

// The producer of Signal<T>::create(): runs the block once per subscription.
template <class T>
class DynamicSignal final : public SignalSource<T> {
 public:
  explicit DynamicSignal(DidSubscribeBlock<T> didSubscribe)
      : _didSubscribe(std::move(didSubscribe)) {
    this->setName("+createSignal:");
  }

  DisposablePtr subscribe(SubscriberPtr<T> subscriber) override {
    auto disposable = CompoundDisposable::create();
    auto passthrough =
        std::make_shared<PassthroughSubscriber<T>>(std::move(subscriber), disposable);
    if (_didSubscribe) {
      auto self = std::static_pointer_cast<DynamicSignal>(this->shared_from_this());
      auto scheduling = Scheduler::subscriptionScheduler()->schedule(
          [self, passthrough = std::move(passthrough), disposable] {
            if (disposable->isDisposed()) return;
            disposable->addDisposable(self->_didSubscribe(passthrough));
          });
      disposable->addDisposable(std::move(scheduling));
    }
    return disposable;
  }

 private:
  DidSubscribeBlock<T> _didSubscribe;
};

template <class F, class T>
using MapResult = std::decay_t<std::invoke_result_t<F&, const T&>>;

template <class T>
struct IsTuple : std::false_type {};
template <class... Ts>
struct IsTuple<std::tuple<Ts...>> : std::true_type {};

template <class T>
class Signal {
 public:
  using ValueType = T;

  // A null handle behaves like never().
  Signal() = default;
  template <class S>
  requires std::is_base_of_v<SignalSource<T>, S> Signal(std::shared_ptr<S> source)
      : _source(std::move(source)) {}

  static Signal create(DidSubscribeBlock<T> didSubscribe) {
    return Signal(std::make_shared<DynamicSignal<T>>(std::move(didSubscribe)));
  }
  // Sends nothing, never completes.
  static Signal never();
  // Completes at once.
  static Signal empty();
  // Sends the value and completes.
  static Signal just(T value);
  // Fails at once with the error.
  static Signal error(Error error);

  DisposablePtr subscribe(SubscriberPtr<T> subscriber) const {
    if (!_source) {
      auto disposable = CompoundDisposable::create();
      subscriber->didSubscribeWithDisposable(disposable);
      return disposable;
    }
    return _source->subscribe(std::move(subscriber));
  }

  // Error and completion are dropped.
  DisposablePtr subscribeNext(std::function<void(const T&)> next) const {
    return subscribe(BlockSubscriber<T>::create(std::move(next)));
  }
  DisposablePtr subscribeNext(std::function<void(const T&)> next,
                              std::function<void(const Error&)> error,
                              std::function<void()> completed) const {
    return subscribe(
        BlockSubscriber<T>::create(std::move(next), std::move(error), std::move(completed)));
  }
  DisposablePtr subscribeNext(std::function<void(const T&)> next,
                              std::function<void()> completed) const {
    return subscribe(BlockSubscriber<T>::create(std::move(next), {}, std::move(completed)));
  }
  DisposablePtr subscribeError(std::function<void(const Error&)> error) const {
    return subscribe(BlockSubscriber<T>::create({}, std::move(error), {}));
  }
  DisposablePtr subscribeCompleted(std::function<void()> completed) const {
    return subscribe(BlockSubscriber<T>::create({}, {}, std::move(completed)));
  }

  const std::shared_ptr<SignalSource<T>>& source() const { return _source; }
  explicit operator bool() const { return _source != nullptr; }
  Signal& setName(std::string name) {
    if (_source) _source->setName(std::move(name));
    return *this;
  }
  std::string name() const { return _source ? _source->name() : std::string(); }

  // ---- Operators (signal_operators.h). Each returns a new signal; errors pass at once
  // and completion follows the input unless said otherwise.

  // Each value transformed.
  template <class F>
  Signal<MapResult<F, T>> map(F transform) const;
  // Only the values the predicate accepts.
  template <class F>
  Signal filter(F predicate) const;
  // The value first, synchronously on subscription, then the input's events.
  Signal startWith(T value) const;
  // The new running value for each input value (not the start value itself).
  template <class R, class F>
  Signal<R> scanWithStart(R start, F reduce) const;
  // A value only when it differs from the one sent before it; the first always passes.
  Signal distinctUntilChanged() const;
  // For tuple values: the block applied to the tuple's elements.
  template <class F>
  auto reduceEach(F reduce) const;
  // Once both have sent, the latest pair after every new value from either;
  // completes when both have completed.
  template <class U>
  Signal<std::tuple<T, U>> combineLatestWith(const Signal<U>& other) const;
  // Boolean negation.
  Signal<bool> logicalNot() const;
  // For tuples of booleans: whether all (and) or any (or) element is true.
  Signal<bool> logicalAnd() const;
  Signal<bool> logicalOr() const;
  // Every event re-sent through the scheduler, one scheduled block per event, in order.
  Signal deliverOn(SchedulerPtr scheduler) const;
  // The first count values, then completion.
  Signal take(std::size_t count) const;
  // Everything but the first count values.
  Signal skip(std::size_t count) const;
  // This signal's events, then (after it completes) the other's.
  Signal concat(Signal other) const;
  // Completes when the trigger sends a value or completes.
  template <class U>
  Signal takeUntil(const Signal<U>& trigger) const;
  // Completes when the lifetime ends.
  Signal takeUntil(const Lifetime& lifetime) const;
  // An error turns into completion.
  Signal catchToCompletion() const;
  // Each value paired with nothing: for signals whose values are only events.
  Signal<Unit> ignoreValues() const;

  // Gate: true at once, false on each value, true again a duration later
  // (delayed on the given scheduler, the main-thread scheduler by default).
  // Neither completes nor fails.
  Signal<bool> blockOnValueForDuration(double seconds, SchedulerPtr scheduler = nullptr) const;
  // Each value flips a switch that starts at start; optionally sends start first.
  Signal<bool> asFlipSwitchStartingWith(bool start, bool sendStartValueImmediately) const;
  // combineLatestWith(other) then logicalAnd / logicalOr.
  Signal<bool> andWithSignal(const Signal<bool>& other) const;
  Signal<bool> orWithSignal(const Signal<bool>& other) const;

  // Follows the signal chosen by the latest boolean, resubscribing on every
  // boolean; completes when the boolean signal and the chosen one have completed.
  static Signal ifThenElse(const Signal<bool>& condition, Signal whenTrue, Signal whenFalse);
  // All values of all signals as they come; completes when all have completed.
  // The collection is copied now.
  template <class Range>
  static Signal merge(const Range& signals);
  static Signal merge(std::initializer_list<Signal> signals) {
    return merge(std::vector<Signal>(signals));
  }

 private:
  std::shared_ptr<SignalSource<T>> _source;
};

// The scheduler's time every interval on the scheduler, the first one interval
// after subscription. Never completes; disposing stops the timer.
Signal<SchedulerTime> interval(double seconds, SchedulerPtr scheduler);

// Signal<T> that flattens a signal of signals to the latest inner one.
template <class T>
Signal<T> switchToLatest(const Signal<Signal<T>>& signals);

}  // namespace qur

#include "signals/signal_operators.h"
