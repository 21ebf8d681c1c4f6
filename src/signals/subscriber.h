// Receivers of signal events. Subscriber<T> is the interface every producer
// sends to; BlockSubscriber<T> is the one built from up to three blocks, which
// serialises its own events; PassthroughSubscriber<T> wraps a subscriber for
// one subscription and stops forwarding once that subscription is disposed.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "signals/disposable.h"
#include "signals/error.h"
#include "signals/spin_lock.h"

namespace qur {

template <class T>
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void sendNext(const T& value) = 0;
  virtual void sendError(const Error& error) = 0;
  virtual void sendCompleted() = 0;
  // The disposable of the subscription this subscriber was just given to;
  // a subscriber disposes it when it terminates.
  virtual void didSubscribeWithDisposable(
      const std::shared_ptr<CompoundDisposable>& disposable) = 0;
};

template <class T>
using SubscriberPtr = std::shared_ptr<Subscriber<T>>;

template <class T>
class BlockSubscriber final : public Subscriber<T> {
 public:
  using NextBlock = std::function<void(const T&)>;
  using ErrorBlock = std::function<void(const Error&)>;
  using CompletedBlock = std::function<void()>;

  BlockSubscriber(NextBlock next, ErrorBlock error, CompletedBlock completed)
      : _next(std::move(next)),
        _error(std::move(error)),
        _completed(std::move(completed)),
        _disposable(CompoundDisposable::create()) {
    // The compound is never handed out, so it cannot outlive this subscriber.
    _disposable->addDisposable(Disposable::create([this] {
      // Captures are released after the lock, as their destructors may run user code.
      NextBlock next;
      ErrorBlock error;
      CompletedBlock completed;
      std::lock_guard lock(_lock);
      next = std::move(_next);
      error = std::move(_error);
      completed = std::move(_completed);
      _next = nullptr;
      _error = nullptr;
      _completed = nullptr;
    }));
  }
  ~BlockSubscriber() override = default;

  static std::shared_ptr<BlockSubscriber> create(NextBlock next, ErrorBlock error = {},
                                                 CompletedBlock completed = {}) {
    return std::make_shared<BlockSubscriber>(std::move(next), std::move(error),
                                             std::move(completed));
  }

  void sendNext(const T& value) override {
    std::lock_guard lock(_lock);
    if (_next) _next(value);
  }

  void sendError(const Error& error) override {
    std::lock_guard lock(_lock);
    auto block = std::move(_error);
    _disposable->dispose();
    if (block) block(error);
  }

  void sendCompleted() override {
    std::lock_guard lock(_lock);
    auto block = std::move(_completed);
    _disposable->dispose();
    if (block) block();
  }

  void didSubscribeWithDisposable(const std::shared_ptr<CompoundDisposable>& disposable) override {
    if (disposable.get() == _disposable.get()) return;
    // Removes itself once the subscription ends, so that a long-lived
    // subscriber does not collect dead subscriptions.
    std::weak_ptr<CompoundDisposable> weakOwn = _disposable;
    Disposable* raw = disposable.get();
    disposable->addDisposable(Disposable::create([weakOwn, raw] {
      if (auto own = weakOwn.lock()) own->removeDisposable(raw);
    }));
    _disposable->addDisposable(disposable);
  }

  bool isDisposed() const { return _disposable->isDisposed(); }

 private:
  RecursiveSpinLock _lock;
  NextBlock _next;
  ErrorBlock _error;
  CompletedBlock _completed;
  std::shared_ptr<CompoundDisposable> _disposable;
};

template <class T>
class PassthroughSubscriber final : public Subscriber<T> {
 public:
  PassthroughSubscriber(SubscriberPtr<T> innerSubscriber,
                        std::shared_ptr<CompoundDisposable> disposable)
      : _innerSubscriber(std::move(innerSubscriber)), _disposable(std::move(disposable)) {
    _innerSubscriber->didSubscribeWithDisposable(_disposable);
  }

  void sendNext(const T& value) override {
    if (!_disposable->isDisposed()) _innerSubscriber->sendNext(value);
  }
  void sendError(const Error& error) override {
    if (!_disposable->isDisposed()) _innerSubscriber->sendError(error);
  }
  void sendCompleted() override {
    if (!_disposable->isDisposed()) _innerSubscriber->sendCompleted();
  }
  void didSubscribeWithDisposable(const std::shared_ptr<CompoundDisposable>& disposable) override {
    if (disposable != _disposable) _innerSubscriber->didSubscribeWithDisposable(disposable);
  }

  bool isDisposed() const { return _disposable->isDisposed(); }
  const std::shared_ptr<CompoundDisposable>& disposable() const { return _disposable; }

 private:
  SubscriberPtr<T> _innerSubscriber;
  std::shared_ptr<CompoundDisposable> _disposable;
};

}  // namespace qur
