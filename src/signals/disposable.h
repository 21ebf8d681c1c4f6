// Cancellation handles. A Disposable runs its action at most once, whichever
// thread calls dispose() first; a CompoundDisposable disposes a set of them
// together and disposes late additions at once.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "signals/spin_lock.h"

namespace qur {

class Disposable;
using DisposablePtr = std::shared_ptr<Disposable>;

class Disposable {
 public:
  // No action; still reports isDisposed() after dispose().
  Disposable() = default;
  explicit Disposable(std::function<void()> disposeBlock)
      : _disposeBlock(std::move(disposeBlock)) {}
  Disposable(const Disposable&) = delete;
  Disposable& operator=(const Disposable&) = delete;
  virtual ~Disposable() = default;

  static DisposablePtr create(std::function<void()> disposeBlock = {}) {
    return std::make_shared<Disposable>(std::move(disposeBlock));
  }

  virtual void dispose();
  virtual bool isDisposed() const { return _disposed.load(std::memory_order_acquire); }

 protected:
  std::atomic<bool> _disposed{false};

 private:
  std::function<void()> _disposeBlock;
};

class CompoundDisposable final : public Disposable {
 public:
  CompoundDisposable() = default;
  static std::shared_ptr<CompoundDisposable> create() {
    return std::make_shared<CompoundDisposable>();
  }
  static std::shared_ptr<CompoundDisposable> create(std::initializer_list<DisposablePtr> members);
  static std::shared_ptr<CompoundDisposable> create(const std::vector<DisposablePtr>& members);

  // Null is ignored; after dispose() the member is disposed at once.
  void addDisposable(DisposablePtr disposable);
  // Forgets the member (by identity) without disposing it.
  void removeDisposable(const Disposable* disposable);
  void dispose() override;

 private:
  SpinLock _spinLock;
  // The first two members live inline: most subscriptions have one or two.
  DisposablePtr _inlineDisposables[2];
  std::vector<DisposablePtr> _disposables;
};

// Disposes what it holds when it goes out of scope or is reassigned.
class ScopedDisposable {
 public:
  ScopedDisposable() = default;
  ScopedDisposable(DisposablePtr disposable) : _disposable(std::move(disposable)) {}
  ScopedDisposable(ScopedDisposable&& other) noexcept = default;
  ScopedDisposable& operator=(ScopedDisposable&& other) noexcept {
    if (this != &other) {
      reset();
      _disposable = std::move(other._disposable);
    }
    return *this;
  }
  ScopedDisposable& operator=(DisposablePtr disposable) {
    reset();
    _disposable = std::move(disposable);
    return *this;
  }
  ~ScopedDisposable() { reset(); }

  void reset() {
    if (auto d = std::move(_disposable)) d->dispose();
  }
  const DisposablePtr& get() const { return _disposable; }
  explicit operator bool() const { return _disposable != nullptr; }

 private:
  DisposablePtr _disposable;
};

// The "deallocation disposable" of an object: an object that wants its
// bindings and observations to end with it holds a Lifetime member, which
// disposes everything added to it when the object is destroyed.
class Lifetime {
 public:
  Lifetime() : _disposable(CompoundDisposable::create()) {}
  Lifetime(const Lifetime&) = delete;
  Lifetime& operator=(const Lifetime&) = delete;
  ~Lifetime() { _disposable->dispose(); }

  void add(DisposablePtr disposable) { _disposable->addDisposable(std::move(disposable)); }
  void remove(const Disposable* disposable) { _disposable->removeDisposable(disposable); }
  const std::shared_ptr<CompoundDisposable>& deallocDisposable() const { return _disposable; }
  bool isEnded() const { return _disposable->isDisposed(); }

 private:
  std::shared_ptr<CompoundDisposable> _disposable;
};

}  // namespace qur
