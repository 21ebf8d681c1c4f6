// Collects the events a subscription receives, from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "signals/signal.h"
#include "support/test_main.h"

namespace qur::testing {

template <class T>
class Recorder {
 public:
  DisposablePtr subscribeTo(const Signal<T>& signal) {
    auto self = _state;
    return signal.subscribeNext(
        [self](const T& value) {
          std::lock_guard lock(self->mutex);
          self->values.push_back(value);
        },
        [self](const Error& error) {
          std::lock_guard lock(self->mutex);
          self->error = error;
          ++self->terminals;
        },
        [self] {
          std::lock_guard lock(self->mutex);
          self->completed = true;
          ++self->terminals;
        });
  }

  std::vector<T> values() const {
    std::lock_guard lock(_state->mutex);
    return _state->values;
  }
  std::size_t count() const {
    std::lock_guard lock(_state->mutex);
    return _state->values.size();
  }
  bool completed() const {
    std::lock_guard lock(_state->mutex);
    return _state->completed;
  }
  std::optional<Error> error() const {
    std::lock_guard lock(_state->mutex);
    return _state->error;
  }
  int terminals() const {
    std::lock_guard lock(_state->mutex);
    return _state->terminals;
  }
  // Spins the main loop until the recorder holds count values.
  bool waitForCount(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return mainLoop().runUntil([&] { return count() >= n; }, timeout);
  }
  bool waitForTerminal(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return mainLoop().runUntil([&] { return terminals() > 0; }, timeout);
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::vector<T> values;
    std::optional<Error> error;
    bool completed = false;
    int terminals = 0;
  };
  std::shared_ptr<State> _state = std::make_shared<State>();
};

}  // namespace qur::testing
