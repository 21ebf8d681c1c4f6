// Hot signals driven by hand. A Subject<T> is both a signal (subscribe to it)
// and a subscriber (push into it); it remembers nothing, so a late subscriber
// sees only what is sent after it subscribed. A ReplaySubject<T> records what
// it was sent and replays it to every new subscriber.
#pragma once

#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "signals/signal.h"

namespace qur {

template <class T>
class Subject : public SignalSource<T>, public Subscriber<T> {
 public:
  Subject()
      : _subscribers(std::make_shared<const List>()), _disposable(CompoundDisposable::create()) {}

  static std::shared_ptr<Subject> create() { return std::make_shared<Subject>(); }

  // Subscribes synchronously and sends nothing on subscription.
  DisposablePtr subscribe(SubscriberPtr<T> subscriber) override {
    auto disposable = CompoundDisposable::create();
    subscriber->didSubscribeWithDisposable(disposable);
    if (disposable->isDisposed()) return disposable;
    attach(Entry{std::move(subscriber), disposable});
    return disposable;
  }

  // Delivered synchronously on the caller's thread, in subscription order, to
  // the subscribers present when the call began.
  void sendNext(const T& value) override {
    const auto snapshot = subscribers();
    for (const auto& entry : *snapshot) {
      if (entry.disposable->isDisposed()) continue;
      // Block subscribers (nearly all of them) are called without a virtual hop.
      if (entry.block)
        entry.block->BlockSubscriber<T>::sendNext(value);
      else
        entry.subscriber->sendNext(value);
    }
  }

  void sendError(const Error& error) override {
    _disposable->dispose();
    const auto snapshot = subscribers();
    for (const auto& entry : *snapshot) {
      if (entry.disposable->isDisposed()) continue;
      entry.subscriber->sendError(error);
      entry.disposable->dispose();
    }
  }

  void sendCompleted() override {
    _disposable->dispose();
    const auto snapshot = subscribers();
    for (const auto& entry : *snapshot) {
      if (entry.disposable->isDisposed()) continue;
      entry.subscriber->sendCompleted();
      entry.disposable->dispose();
    }
  }

  // What the subject itself is subscribed to ends with its first terminal event.
  void didSubscribeWithDisposable(const std::shared_ptr<CompoundDisposable>& disposable) override {
    _disposable->addDisposable(disposable);
  }

  Signal<T> signal() {
    return Signal<T>(std::static_pointer_cast<SignalSource<T>>(this->shared_from_this()));
  }
  std::size_t subscriberCount() const { return subscribers()->size(); }

 protected:
  struct Entry {
    Entry(SubscriberPtr<T> s, std::shared_ptr<CompoundDisposable> d)
        : subscriber(std::move(s)),
          disposable(std::move(d)),
          block(dynamic_cast<BlockSubscriber<T>*>(subscriber.get())) {}
    SubscriberPtr<T> subscriber;
    std::shared_ptr<CompoundDisposable> disposable;
    BlockSubscriber<T>* block;  // the same object when it is a block subscriber
  };
  // Copy-on-write: a send takes the current list with one reference count,
  // whatever the number of subscribers.
  using List = std::vector<Entry>;

  std::shared_ptr<const List> subscribers() const {
    std::lock_guard lock(_listLock);
    return _subscribers;
  }

  void attach(Entry entry) {
    auto* key = entry.disposable.get();
    std::weak_ptr<Subject> weakSelf =
        std::static_pointer_cast<Subject>(SignalSource<T>::shared_from_this());
    {
      std::shared_ptr<const List> old;  // released after the lock
      std::lock_guard lock(_listLock);
      auto list = std::make_shared<List>();
      list->reserve(_subscribers->size() + 1);
      *list = *_subscribers;
      list->push_back(std::move(entry));
      old = std::exchange(_subscribers, std::move(list));
    }
    key->addDisposable(Disposable::create([weakSelf, key] {
      if (auto self = weakSelf.lock()) self->detach(key);
    }));
  }

  void detach(const CompoundDisposable* key) {
    std::shared_ptr<const List> old;
    std::lock_guard lock(_listLock);
    const auto& current = *_subscribers;
    // Newest first: short-lived subscriptions are usually the latest ones.
    for (std::size_t i = current.size(); i-- > 0;) {
      if (current[i].disposable.get() != key) continue;
      auto list = std::make_shared<List>();
      list->reserve(current.size() - 1);
      for (std::size_t j = 0; j < current.size(); ++j)
        if (j != i) list->push_back(current[j]);
      old = std::exchange(_subscribers, std::move(list));
      return;
    }
  }

  mutable SpinLock _listLock;
  std::shared_ptr<const List> _subscribers;
  std::shared_ptr<CompoundDisposable> _disposable;
};

template <class T>
class ReplaySubject final : public Subject<T> {
 public:
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  explicit ReplaySubject(std::size_t capacity = kUnlimited) : _capacity(capacity) {}
  static std::shared_ptr<ReplaySubject> create(std::size_t capacity = kUnlimited) {
    return std::make_shared<ReplaySubject>(capacity);
  }

  // Runs through the subscription scheduler (at once on the main thread):
  // replays the recorded values, then the recorded terminal event or, when
  // there is none, attaches the subscriber for live events.
  DisposablePtr subscribe(SubscriberPtr<T> subscriber) override {
    auto disposable = CompoundDisposable::create();
    auto passthrough = std::make_shared<PassthroughSubscriber<T>>(subscriber, disposable);
    auto self = std::static_pointer_cast<ReplaySubject>(SignalSource<T>::shared_from_this());
    auto scheduling = Scheduler::subscriptionScheduler()->schedule(
        [self, passthrough, subscriber = std::move(subscriber), disposable] {
          self->serialized([self, passthrough, disposable] {
            std::deque<T> values;
            std::optional<Terminal> terminal;
            {
              std::lock_guard lock(self->_mutex);
              values = self->_values;
              terminal = self->_terminal;
            }
            // Attached before the replay: live events queue behind this task,
            // so they reach the subscriber after it, without gaps.
            if (!terminal) self->attach(typename Subject<T>::Entry{passthrough, disposable});
            for (const auto& value : values) {
              if (disposable->isDisposed()) return;
              passthrough->sendNext(value);
            }
            if (disposable->isDisposed() || !terminal) return;
            if (auto* error = std::get_if<Error>(&*terminal))
              passthrough->sendError(*error);
            else
              passthrough->sendCompleted();
          });
        });
    disposable->addDisposable(std::move(scheduling));
    return disposable;
  }

  // Any thread. Events are recorded and delivered one at a time in the order
  // sent; a send that finds another under way (on any thread, or from inside
  // a subscriber) leaves its event to that one and returns.
  void sendNext(const T& value) override {
    serialized([this, value] {
      {
        std::lock_guard lock(_mutex);
        if (_capacity != 0) {
          _values.push_back(value);
          while (_values.size() > _capacity) _values.pop_front();
        }
      }
      Subject<T>::sendNext(value);
    });
  }

  void sendError(const Error& error) override {
    serialized([this, error] {
      {
        std::lock_guard lock(_mutex);
        _terminal = Terminal(error);
      }
      Subject<T>::sendError(error);
    });
  }

  void sendCompleted() override {
    serialized([this] {
      {
        std::lock_guard lock(_mutex);
        _terminal = Terminal(Completed{});
      }
      Subject<T>::sendCompleted();
    });
  }

  // The newest recorded value, if any.
  std::optional<T> lastValue() const {
    std::lock_guard lock(_mutex);
    if (_values.empty()) return std::nullopt;
    return _values.back();
  }

 private:
  struct Completed {};
  using Terminal = std::variant<Error, Completed>;

  // Subscriber code never runs with _mutex held (it may wait for a thread
  // that sends or reads here); order comes from running every event and
  // replay as a task, one at a time, on whichever thread found none running.
  void serialized(std::function<void()> task) {
    std::unique_lock lock(_mutex);
    _pending.push_back(std::move(task));
    if (_draining) return;
    _draining = true;
    while (!_pending.empty()) {
      auto next = std::move(_pending.front());
      _pending.pop_front();
      lock.unlock();
      next();
      lock.lock();
    }
    _draining = false;
  }

  mutable std::mutex _mutex;
  std::size_t _capacity;
  std::deque<T> _values;
  std::optional<Terminal> _terminal;
  std::deque<std::function<void()>> _pending;
  bool _draining = false;
};

}  // namespace qur
