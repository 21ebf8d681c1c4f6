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

  bool allowsConcurrentExecution() const { return _state->allowsConcurrentExecution.get(); }
  void setAllowsConcurrentExecution(bool allows) { _state->allowsConcurrentExecution.set(allows); }

 private:
  struct State {
    std::recursive_mutex mutex;  // read-modify-write of the active list
    Property<std::vector<Signal<Output>>> activeExecutionSignals;
    Property<bool> allowsConcurrentExecution{false};
    std::shared_ptr<ReplaySubject<bool>> latestEnabled = ReplaySubject<bool>::create(1);
    std::shared_ptr<Subject<Signal<Output>>> addedExecutionSignals =
        Subject<Signal<Output>>::create();
    std::shared_ptr<Subject<Error>> executionErrors = Subject<Error>::create();

    void removeActive(const std::shared_ptr<SignalSource<Output>>& source) {
      std::lock_guard lock(mutex);
      auto list = activeExecutionSignals.get();
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const Signal<Output>& s) { return s.source() == source; }),
                 list.end());
      activeExecutionSignals.set(std::move(list));
    }
  };

  SignalBlock _signalBlock;
  std::shared_ptr<State> _state;
  std::shared_ptr<ReplaySubject<bool>> _executing = ReplaySubject<bool>::create(1);
  std::shared_ptr<ReplaySubject<bool>> _enabled = ReplaySubject<bool>::create(1);
  Signal<bool> _immediateEnabled;
  Signal<Signal<Output>> _executionSignals;
  Signal<Error> _errors;
  std::shared_ptr<CompoundDisposable> _connections = CompoundDisposable::create();
  Lifetime _lifetime;
};

template <class Input, class Output>
Command<Input, Output>::Command(Signal<bool> enabled, SignalBlock signalBlock)
    : _signalBlock(std::move(signalBlock)), _state(std::make_shared<State>()) {
  const auto main = Scheduler::mainThreadScheduler();
  Signal<bool> immediateExecuting = _state->activeExecutionSignals.values().map(
      [](const std::vector<Signal<Output>>& list) { return !list.empty(); });

  _connections->addDisposable(
      immediateExecuting.deliverOn(main).startWith(false).distinctUntilChanged().subscribe(
          _executing));

  Signal<bool> moreExecutionsAllowed =
      Signal<bool>::ifThenElse(_state->allowsConcurrentExecution.values(), Signal<bool>::just(true),
                               immediateExecuting.logicalNot());

  if (!enabled) enabled = Signal<bool>::just(true);
  _connections->addDisposable(
      enabled.startWith(true).takeUntil(_lifetime).subscribe(_state->latestEnabled));

  _immediateEnabled = Signal<bool>(_state->latestEnabled).andWithSignal(moreExecutionsAllowed);
  _connections->addDisposable(_immediateEnabled.take(1)
                                  .concat(_immediateEnabled.skip(1).deliverOn(main))
                                  .distinctUntilChanged()
                                  .subscribe(_enabled));

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
  {
    // The decision is taken now, on the caller's thread, from the latest values.
    std::lock_guard lock(state->mutex);
    const bool enabledNow = state->latestEnabled->lastValue().value_or(true);
    const bool allowed =
        state->allowsConcurrentExecution.get() || state->activeExecutionSignals.get().empty();
    if (!enabledNow || !allowed) {
      Error error(kCommandErrorDomain, kCommandErrorNotEnabled,
                  "The command is disabled and cannot be executed");
      error.userInfo[kUnderlyingCommandErrorKey] = static_cast<const void*>(this);
      return Signal<Output>::error(std::move(error));
    }
  }

  Signal<Output> work = _signalBlock(input);
  auto multicast = ReplaySubject<Output>::create();
  Signal<Output> execution(multicast);
  {
    std::lock_guard lock(state->mutex);
    auto list = state->activeExecutionSignals.get();
    list.push_back(execution);
    state->activeExecutionSignals.set(std::move(list));
  }
  std::weak_ptr<State> weakState = state;
  auto source = execution.source();
  std::weak_ptr<SignalSource<Output>> weakSource = source;
  execution.subscribeNext([](const Output&) {},
                          [weakState, weakSource](const Error& error) {
                            auto state = weakState.lock();
                            if (!state) return;
                            state->executionErrors->sendNext(error);
                            if (auto source = weakSource.lock()) state->removeActive(source);
                          },
                          [weakState, weakSource] {
                            auto state = weakState.lock();
                            auto source = weakSource.lock();
                            if (state && source) state->removeActive(source);
                          });
  state->addedExecutionSignals->sendNext(execution);
  // Started on the main queue, also when execute() runs on the main thread.
  Scheduler::mainThreadScheduler()->schedule([work, multicast] { work.subscribe(multicast); });
  return execution;
}

}  // namespace qur
