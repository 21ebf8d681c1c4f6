// Process-local notifications: posters name an event (and optionally the
// object it concerns); observers register for a name and an object, or for
// any object. Delivery is synchronous on the posting thread, in registration
// order.
#pragma once

#include <any>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "signals/signal.h"

namespace qur {

struct Notification {
  std::string name;
  const void* object = nullptr;  // identity only; never dereferenced
  std::map<std::string, std::any> userInfo;
};

class NotificationCenter {
 public:
  NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;
  ~NotificationCenter();

  static NotificationCenter& defaultCenter();

  // Calls the block for each notification of the name (any name when empty)
  // from the object (any object when null) until the result is disposed.
  DisposablePtr addObserver(std::string name, const void* object,
                            std::function<void(const Notification&)> block);
  void post(const Notification& notification);
  void post(std::string name, const void* object = nullptr,
            std::map<std::string, std::any> userInfo = {});

  // Each matching notification; registered on subscription and removed on
  // disposal; never completes. The signal does not keep the centre alive.
  Signal<Notification> addObserverForName(std::string name, const void* object = nullptr);
  // The signals of every name merged: all matching notifications in posting order.
  Signal<Notification> addObserverForNames(const std::vector<std::string>& names,
                                           const void* object = nullptr);

 private:
  struct State;
  std::shared_ptr<State> _state;
};

}  // namespace qur
