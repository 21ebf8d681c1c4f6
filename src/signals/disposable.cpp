#include "signals/disposable.h"

#include <algorithm>
#include <mutex>

namespace qur {

void Disposable::dispose() {
  if (_disposed.exchange(true, std::memory_order_acq_rel)) return;
  // Only the winner of the exchange touches the block.
  auto block = std::move(_disposeBlock);
  _disposeBlock = nullptr;
  if (block) block();
}

std::shared_ptr<CompoundDisposable> CompoundDisposable::create(
    std::initializer_list<DisposablePtr> members) {
  auto compound = create();
  for (const auto& member : members) compound->addDisposable(member);
  return compound;
}

std::shared_ptr<CompoundDisposable> CompoundDisposable::create(
    const std::vector<DisposablePtr>& members) {
  auto compound = create();
  for (const auto& member : members) compound->addDisposable(member);
  return compound;
}

void CompoundDisposable::addDisposable(DisposablePtr disposable) {
  if (!disposable) return;
  {
    std::lock_guard lock(_spinLock);
    if (!_disposed.load(std::memory_order_relaxed)) {
      if (!_inlineDisposables[0]) {
        _inlineDisposables[0] = std::move(disposable);
      } else if (!_inlineDisposables[1]) {
        _inlineDisposables[1] = std::move(disposable);
      } else {
        _disposables.push_back(std::move(disposable));
      }
      return;
    }
  }
  disposable->dispose();
}

void CompoundDisposable::removeDisposable(const Disposable* disposable) {
  if (!disposable) return;
  DisposablePtr removed;  // released outside the lock: its destructor may run user code
  std::lock_guard lock(_spinLock);
  for (auto& slot : _inlineDisposables) {
    if (slot.get() == disposable) {
      removed = std::move(slot);
      slot = nullptr;
      return;
    }
  }
  auto it = std::find_if(_disposables.begin(), _disposables.end(),
                         [&](const DisposablePtr& d) { return d.get() == disposable; });
  if (it != _disposables.end()) {
    removed = std::move(*it);
    _disposables.erase(it);
  }
}

void CompoundDisposable::dispose() {
  DisposablePtr first;
  DisposablePtr second;
  std::vector<DisposablePtr> rest;
  {
    std::lock_guard lock(_spinLock);
    if (_disposed.load(std::memory_order_relaxed)) return;
    _disposed.store(true, std::memory_order_release);
    first = std::move(_inlineDisposables[0]);
    second = std::move(_inlineDisposables[1]);
    rest.swap(_disposables);
  }
  if (first) first->dispose();
  if (second) second->dispose();
  for (const auto& d : rest) d->dispose();
}

}  // namespace qur
