// The debug playground: the talk button where the main screen puts it, the
// keys that fire each pulse kind, Dismiss, and the option that opens it.
#include "ui/debug_playground.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTest>

#include "ui/app_bridge.h"
#include "ui/styles.h"
#include "ui/walkie_talkie_screen.h"
#include "ui_test_support.h"

namespace qur {
namespace {

TEST(Playground, TalkButtonSitsWhereTheMainScreenPutsIt) {
  DebugPlayground playground;
  playground.show();
  for (const QSize size : {QSize(375, 667), QSize(600, 480)}) {
    playground.resize(size);
    QCoreApplication::processEvents();
    const QRect button = playground.talkButton()->geometry();
    EXPECT_EQ(button.size(),
              QSize(WalkieTalkieScreen::kTalkButtonSize, WalkieTalkieScreen::kTalkButtonSize));
    EXPECT_NEAR(button.center().x() + 0.5, size.width() / 2.0, 1.0);
    // A quarter of the button hangs below the bottom edge.
    EXPECT_NEAR(button.top() + button.height() - size.height(),
                WalkieTalkieScreen::kTalkButtonOverhang, 0.5);
    const QRect strip = playground.debugStrip()->geometry();
    EXPECT_EQ(strip.bottom(), size.height() - 1);
    EXPECT_EQ(strip.width(), size.width());
  }
}

TEST(Playground, EachKeyFiresItsPulseKind) {
  DebugPlayground playground;
  playground.show();
  playground.setFocus();
  struct Case {
    Qt::Key key;
    QColor colour;
  };
  const Case cases[] = {{Qt::Key_P, Styles::transmitButtonPulseColor()},
                        {Qt::Key_I, Styles::transmitButtonPulseColor()},
                        {Qt::Key_D, Styles::peerDotPulseColor()},
                        {Qt::Key_T, Styles::peerDotPulseColor()}};
  std::uint64_t fired = playground.talkButton()->pulseCount();
  for (const Case& c : cases) {
    QTest::keyClick(&playground, c.key);
    ASSERT_EQ(playground.talkButton()->pulseCount(), fired + 1) << QTest::toString(c.key);
    fired = playground.talkButton()->pulseCount();
    EXPECT_TRUE(testing::sameColour(playground.talkButton()->ripples().back().color, c.colour));
  }
  // The peer talking ripple is the widest of all.
  float widest = 0;
  for (const auto& ripple : playground.talkButton()->ripples()) {
    widest = std::max(widest, ripple.targetScale);
  }
  EXPECT_EQ(widest, 30.0f);
  // Keys the playground does not know fire nothing.
  QTest::keyClick(&playground, Qt::Key_Z);
  EXPECT_EQ(playground.talkButton()->pulseCount(), fired);

  testing::advanceAnimations(&playground, 0.4);
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(&playground).save(dir + "/playground.png"));
}

TEST(Playground, ColourKeyCyclesReadyPressedDisabled) {
  DebugPlayground playground;
  playground.show();
  playground.setFocus();
  QTest::keyClick(&playground, Qt::Key_C);
  EXPECT_TRUE(testing::sameColour(playground.talkButton()->backgroundColor(),
                                  Styles::transmitButtonPressedColor()));
  QTest::keyClick(&playground, Qt::Key_C);
  EXPECT_FALSE(playground.talkButton()->isButtonEnabled());
  QTest::keyClick(&playground, Qt::Key_C);
  EXPECT_TRUE(playground.talkButton()->isButtonEnabled());
  EXPECT_TRUE(testing::sameColour(playground.talkButton()->backgroundColor(),
                                  Styles::transmitButtonColor()));
}

TEST(Playground, DismissClosesOrCallsItsHandler) {
  {
    DebugPlayground playground;
    playground.show();
    QTest::mouseClick(playground.dismissButton(), Qt::LeftButton);
    EXPECT_FALSE(playground.isVisible());
  }
  DebugPlayground playground;
  int dismissed = 0;
  playground.setDismissHandler([&] { ++dismissed; });
  playground.show();
  playground.setFocus();
  QTest::mouseClick(playground.dismissButton(), Qt::LeftButton);
  QTest::keyClick(&playground, Qt::Key_Escape);
  EXPECT_EQ(dismissed, 2);
  EXPECT_TRUE(playground.isVisible());
}

TEST(Playground, OptionIsTakenBeforeQtSeesIt) {
  std::vector<std::string> args = {"qur-wtalkie", "--playground", "-platform", "offscreen"};
  std::string error;
  auto options = parseLaunchOptions(args, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->playground);
  EXPECT_EQ(args, (std::vector<std::string>{"qur-wtalkie", "-platform", "offscreen"}));
  std::vector<std::string> plain = {"qur-wtalkie"};
  EXPECT_FALSE(parseLaunchOptions(plain, &error)->playground);
}

}  // namespace
}  // namespace qur
