// A box holding an object weakly, so that it can sit in a list or a table
// without keeping the object alive.
#pragma once

#include <memory>
#include <mutex>

namespace qur {

template <typename T>
class WeakReference {
 public:
  static std::shared_ptr<WeakReference> referenceTo(const std::shared_ptr<T>& target) {
    return std::make_shared<WeakReference>(target);
  }

  explicit WeakReference(std::weak_ptr<T> target = {}) : _target(std::move(target)) {}

  // The object, or null once it has gone away.
  std::shared_ptr<T> target() const {
    std::lock_guard lock(_mutex);
    return _target.lock();
  }
  void setTarget(std::weak_ptr<T> target) {
    std::lock_guard lock(_mutex);
    _target = std::move(target);
  }
  // Whether the reference points at this object (false once it is gone).
  bool refersTo(const void* object) const {
    auto t = target();
    return t && static_cast<const void*>(t.get()) == object;
  }
  bool isExpired() const {
    std::lock_guard lock(_mutex);
    return _target.expired();
  }

 private:
  mutable std::mutex _mutex;
  std::weak_ptr<T> _target;
};

}  // namespace qur
