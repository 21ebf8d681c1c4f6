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
    PulsatingButton* button;
    QColor colour;
    float targetScale;
  };
  PulsatingButton* talk = playground.talkButton();
  PulsatingButton* dot = playground.peerDotView()->dot();
  const Case cases[] = {{Qt::Key_P, talk, Styles::transmitButtonPulseColor(), 3.5f},
                        {Qt::Key_I, talk, Styles::transmitButtonPulseColor(), 2.0f},
                        {Qt::Key_D, dot, Styles::peerDotPulseColor(), 2.0f},
                        {Qt::Key_T, dot, Styles::peerDotPulseColor(), 30.0f}};
  for (const Case& c : cases) {
    const std::uint64_t talkBefore = talk->pulseCount();
    const std::uint64_t dotBefore = dot->pulseCount();
    QTest::keyClick(&playground, c.key);
    ASSERT_EQ(talk->pulseCount(), talkBefore + (c.button == talk ? 1 : 0));
    ASSERT_EQ(dot->pulseCount(), dotBefore + (c.button == dot ? 1 : 0));
    EXPECT_TRUE(testing::sameColour(c.button->ripples().back().color, c.colour));
    EXPECT_EQ(c.button->ripples().back().targetScale, c.targetScale);
  }
  // Keys the playground does not know fire nothing.
  const std::uint64_t fired = talk->pulseCount() + dot->pulseCount();
  QTest::keyClick(&playground, Qt::Key_Z);
  EXPECT_EQ(talk->pulseCount() + dot->pulseCount(), fired);

  // The picture: the dot's talking ripple well spread, the button's fresh.
  testing::advanceAnimations(&playground, 1.2);
  QTest::keyClick(&playground, Qt::Key_P);
  testing::advanceAnimations(&playground, 0.5);
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
  EXPECT_TRUE(takeFlag(args, "--playground"));
  EXPECT_EQ(args, (std::vector<std::string>{"qur-wtalkie", "-platform", "offscreen"}));
  auto options = takeRunOptions(args, &error);
  ASSERT_TRUE(options) << error;
  std::vector<std::string> plain = {"qur-wtalkie"};
  EXPECT_FALSE(takeFlag(plain, "--playground"));
}

}  // namespace
}  // namespace qur
