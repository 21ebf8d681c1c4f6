#include <gtest/gtest.h>

#include "recorder.h"
#include "signals/channel.h"
#include "signals/subject.h"

namespace qur {
namespace {

using testing::Recorder;

// A value control in the shape the user-interface adapters wrap: it reports
// user changes and can be written.
class Control {
 public:
  void userMoves(float value) {
    _value = value;
    _changes->sendNext(value);
  }
  float value() const { return _value; }
  void setValue(float value) { _value = value; }

  std::shared_ptr<ChannelTerminal<std::optional<float>>> newValueChannel(float nilValue) {
    auto changes = Signal<float>(_changes)
                       .map([](float v) { return std::optional<float>(v); })
                       .takeUntil(_lifetime);
    auto writer = BlockSubscriber<std::optional<float>>::create(
        [this, nilValue](const std::optional<float>& v) { setValue(v.value_or(nilValue)); });
    _lifetime.add(Disposable::create([writer] { writer->sendCompleted(); }));
    return ChannelTerminal<std::optional<float>>::create(changes, writer);
  }

 private:
  float _value = 0;
  std::shared_ptr<Subject<float>> _changes = Subject<float>::create();
  Lifetime _lifetime;
};

TEST(ChannelTerminal, CarriesChangesOutAndWritesValuesIn) {
  auto control = std::make_unique<Control>();
  control->userMoves(0.25f);
  auto channel = control->newValueChannel(0.5f);
  Recorder<std::optional<float>> recorder;
  recorder.subscribeTo(channel->signal());
  EXPECT_TRUE(recorder.values().empty());  // the current value is not replayed
  control->userMoves(0.75f);
  EXPECT_EQ(recorder.values(), (std::vector<std::optional<float>>{0.75f}));

  channel->sendNext(0.1f);
  EXPECT_FLOAT_EQ(control->value(), 0.1f);
  channel->sendNext(std::nullopt);
  EXPECT_FLOAT_EQ(control->value(), 0.5f);

  // A signal bound into the channel drives the control.
  auto source = Subject<std::optional<float>>::create();
  auto subscription = Signal<std::optional<float>>(source).subscribe(channel);
  source->sendNext(0.9f);
  EXPECT_FLOAT_EQ(control->value(), 0.9f);

  control.reset();
  EXPECT_TRUE(recorder.completed());
}

}  // namespace
}  // namespace qur
