// An action with enabled and executing state. execute() runs the signal
// block's signal once, shared by every subscriber of the returned signal, and
// starts it on the main-thread scheduler; while it runs the command reports
// executing and (unless concurrent execution is allowed) is disabled.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "signals/property.h"
#include "signals/subject.h"

namespace qur {

inline constexpr const char* kCommandErrorDomain = "QURCommandErrorDomain";
inline constexpr const char* kUnderlyingCommandErrorKey = "QURUnderlyingCommandErrorKey";
inline constexpr int kCommandErrorNotEnabled = 1;

template <class Input, class Output = Unit>
class Command {
 public:
  using SignalBlock = std::function<Signal<Output>(const Input&)>;

  explicit Command(SignalBlock signalBlock) : Command(Signal<bool>(), std::move(signalBlock)) {}
  // enabled: booleans, or a null signal for always enabled.
  Command(Signal<bool> enabled, SignalBlock signalBlock);
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;
  ~Command();

  Signal<Output> execute(const Input& input);

  // Each execution's signal (errors turned into completion), on the main thread.
  Signal<Signal<Output>> executionSignals() const { return _executionSignals; }
  // Whether an execution is running; starts with false, sends changes only,
  // on the main thread; new subscribers get the latest value.
  Signal<bool> executing() const { return Signal<bool>(_executing); }
  // Whether execute() would run: the first value at once, later changes on
  // the main thread; new subscribers get the latest value.
  Signal<bool> enabled() const { return Signal<bool>(_enabled); }
  // The error of any execution, on the main thread.
  Signal<Error> errors() const { return _errors; }

  bool allowsConcurrentExecution() const {
    std::lock_guard lock(_state->mutex);
    return _state->allowsConcurrentExecution;
  }
  void setAllowsConcurrentExecution(bool allows) {
    {
      std::lock_guard lock(_state->mutex);
      _state->allowsConcurrentExecution = allows;
    }
    _state->publish();
  }

 private:
  struct State {
    // Guards the three fields below; never held while calling out.
    mutable std::mutex mutex;
    bool latestEnabled = true;
    bool allowsConcurrentExecution = false;
    std::vector<Signal<Output>> activeExecutionSignals;

    // Publishes derived state one recomputation at a time, so the newest
    // state is always the last one sent.
    std::recursive_mutex publishMutex;
    Property<bool> immediateExecuting{false};
    Property<bool> immediateEnabled{true};

    std::shared_ptr<Subject<Signal<Output>>> addedExecutionSignals =
        Subject<Signal<Output>>::create();
    std::shared_ptr<Subject<Error>> executionErrors = Subject<Error>::create();

    bool canExecuteLocked() const {
      return latestEnabled && (allowsConcurrentExecution || activeExecutionSignals.empty());
    }

    void publish() {
      std::lock_guard publishing(publishMutex);
      bool executing;
      bool enabled;
      {
        std::lock_guard lock(mutex);
        executing = !activeExecutionSignals.empty();
        enabled = canExecuteLocked();
      }
      immediateExecuting.set(executing);
      immediateEnabled.set(enabled);
    }

    void removeActive(const SignalSource<Output>* source) {
      {
        std::lock_guard lock(mutex);
        auto& list = activeExecutionSignals;
        list.erase(
            std::remove_if(list.begin(), list.end(),
                           [&](const Signal<Output>& s) { return s.source().get() == source; }),
            list.end());
      }
      publish();
    }
  };

  SignalBlock _signalBlock;
  std::shared_ptr<State> _state;
  std::shared_ptr<ReplaySubject<bool>> _executing = ReplaySubject<bool>::create(1);
  std::shared_ptr<ReplaySubject<bool>> _enabled = ReplaySubject<bool>::create(1);
  Signal<Signal<Output>> _executionSignals;
  Signal<Error> _errors;
  std::shared_ptr<CompoundDisposable> _connections = CompoundDisposable::create();
  Lifetime _lifetime;
};

template <class Input, class Output>
Command<Input, Output>::Command(Signal<bool> enabled, SignalBlock signalBlock)
    : _signalBlock(std::move(signalBlock)), _state(std::make_shared<State>()) {
  const auto main = Scheduler::mainThreadScheduler();
  std::weak_ptr<State> weakState = _state;

  if (!enabled) enabled = Signal<bool>::just(true);
  _connections->addDisposable(
      enabled.startWith(true).takeUntil(_lifetime).subscribeNext([weakState](const bool& value) {
        auto state = weakState.lock();
        if (!state) return;
        {
          std::lock_guard lock(state->mutex);
          state->latestEnabled = value;
        }
        state->publish();
      }));

  _connections->addDisposable(_state->immediateExecuting.values()
                                  .deliverOn(main)
                                  .startWith(false)
                                  .distinctUntilChanged()
                                  .subscribe(_executing));

  // The first value at once, every later one on the main thread, from one
  // subscription so that no change falls between the two.
  Signal<bool> immediateEnabled = _state->immediateEnabled.values();
  auto enabledOnMain =
      Signal<bool>::create([immediateEnabled, main](const SubscriberPtr<bool>& subscriber) {
        auto first = std::make_shared<bool>(true);
        return immediateEnabled.subscribeNext([subscriber, main, first](const bool& value) {
          if (*first) {
            *first = false;
            subscriber->sendNext(value);
          } else {
            main->schedule([subscriber, value] { subscriber->sendNext(value); });
          }
        });
      });
  _connections->addDisposable(enabledOnMain.distinctUntilChanged().subscribe(_enabled));

  _executionSignals = Signal<Signal<Output>>(_state->addedExecutionSignals)
                          .map([](const Signal<Output>& s) { return s.catchToCompletion(); })
                          .deliverOn(main);
  _errors = Signal<Error>(_state->executionErrors).deliverOn(main);
}

template <class Input, class Output>
Command<Input, Output>::~Command() {
  _connections->dispose();
}

template <class Input, class Output>
Signal<Output> Command<Input, Output>::execute(const Input& input) {
  const auto state = _state;
  auto multicast = ReplaySubject<Output>::create();
  Signal<Output> execution(multicast);
  {
    // Checking and claiming happen together, so two threads cannot both pass
    // a command that allows one execution at a time.
    std::lock_guard lock(state->mutex);
    if (!state->canExecuteLocked()) {
      Error error(kCommandErrorDomain, kCommandErrorNotEnabled,
                  "The command is disabled and cannot be executed");
      error.userInfo[kUnderlyingCommandErrorKey] = static_cast<const void*>(this);
      return Signal<Output>::error(std::move(error));
    }
    state->activeExecutionSignals.push_back(execution);
  }
  // executing turns true and enabled false before any work starts.
  state->publish();

  Signal<Output> work = _signalBlock(input);
  std::weak_ptr<State> weakState = state;
  const SignalSource<Output>* key = multicast.get();
  execution.subscribeNext([](const Output&) {},
                          [weakState, key](const Error& error) {
                            auto state = weakState.lock();
                            if (!state) return;
                            state->executionErrors->sendNext(error);
                            state->removeActive(key);
                          },
                          [weakState, key] {
                            if (auto state = weakState.lock()) state->removeActive(key);
                          });
  state->addedExecutionSignals->sendNext(execution);
  // Started on the main queue, also when execute() runs on the main thread.
  Scheduler::mainThreadScheduler()->schedule([work, multicast] { work.subscribe(multicast); });
  return execution;
}

}  // namespace qur
