// One end of a two-way channel: subscribing to it gives the values coming
// from the other side; values sent into it go to the other side. Adapters
// over widgets (a slider's value, for instance) are built from a signal of
// the widget's changes and a subscriber that writes the widget.
#pragma once

#include "signals/signal.h"

namespace qur {

template <class T>
class ChannelTerminal final : public SignalSource<T>, public Subscriber<T> {
 public:
  ChannelTerminal(Signal<T> values, SubscriberPtr<T> otherTerminal)
      : _values(std::move(values)), _otherTerminal(std::move(otherTerminal)) {}

  static std::shared_ptr<ChannelTerminal> create(Signal<T> values, SubscriberPtr<T> otherTerminal) {
    return std::make_shared<ChannelTerminal>(std::move(values), std::move(otherTerminal));
  }

  DisposablePtr subscribe(SubscriberPtr<T> subscriber) override {
    return _values.subscribe(std::move(subscriber));
  }
  void sendNext(const T& value) override { _otherTerminal->sendNext(value); }
  void sendError(const Error& error) override { _otherTerminal->sendError(error); }
  void sendCompleted() override { _otherTerminal->sendCompleted(); }
  void didSubscribeWithDisposable(const std::shared_ptr<CompoundDisposable>& disposable) override {
    _otherTerminal->didSubscribeWithDisposable(disposable);
  }

  Signal<T> signal() {
    return Signal<T>(std::static_pointer_cast<SignalSource<T>>(this->shared_from_this()));
  }

 private:
  Signal<T> _values;
  SubscriberPtr<T> _otherTerminal;
};

}  // namespace qur
