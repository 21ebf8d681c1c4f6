#include <gtest/gtest.h>

#include "recorder.h"
#include "signals/notification_center.h"

namespace qur {
namespace {

using testing::Recorder;

std::vector<std::string> names(const std::vector<Notification>& notifications) {
  std::vector<std::string> result;
  for (const auto& n : notifications) result.push_back(n.name);
  return result;
}

TEST(NotificationCenter, ObserversGetMatchingNamesAndSendersOnly) {
  NotificationCenter center;
  int sender = 0;
  int other = 0;
  std::vector<std::string> any;
  std::vector<std::string> fromSender;
  auto a =
      center.addObserver("active", nullptr, [&](const Notification& n) { any.push_back(n.name); });
  auto b = center.addObserver("active", &sender,
                              [&](const Notification& n) { fromSender.push_back(n.name); });
  center.post("active", &sender);
  center.post("active", &other);
  center.post("inactive", &sender);
  EXPECT_EQ(any.size(), 2u);
  EXPECT_EQ(fromSender.size(), 1u);
  a->dispose();
  center.post("active", &sender);
  EXPECT_EQ(any.size(), 2u);
  EXPECT_EQ(fromSender.size(), 2u);
}

TEST(NotificationCenter, SignalRegistersOnSubscriptionAndUnregistersOnDisposal) {
  NotificationCenter center;
  auto signal = center.addObserverForName("ping");
  center.post("ping");
  Recorder<Notification> recorder;
  auto subscription = recorder.subscribeTo(signal);
  center.post("ping", nullptr, {{"n", 1}});
  subscription->dispose();
  center.post("ping");
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(std::any_cast<int>(recorder.values()[0].userInfo.at("n")), 1);
  EXPECT_FALSE(recorder.completed());
}

TEST(NotificationCenter, SeveralNamesArriveMergedInPostingOrder) {
  NotificationCenter center;
  Recorder<Notification> recorder;
  recorder.subscribeTo(center.addObserverForNames({"resign", "active", "background"}));
  center.post("active");
  center.post("other");
  center.post("resign");
  center.post("background");
  center.post("active");
  EXPECT_EQ(names(recorder.values()),
            (std::vector<std::string>{"active", "resign", "background", "active"}));
}

TEST(NotificationCenter, SignalOutlivingTheCentreIsHarmless) {
  auto center = std::make_unique<NotificationCenter>();
  auto signal = center->addObserverForName("x");
  Recorder<Notification> recorder;
  auto subscription = recorder.subscribeTo(signal);
  center.reset();
  subscription->dispose();
  Recorder<Notification> late;
  late.subscribeTo(signal);
  EXPECT_EQ(late.count(), 0u);
}

}  // namespace
}  // namespace qur
