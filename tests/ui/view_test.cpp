// Looks that follow from geometry and time: the fade in and out, the peer
// dot with a long name, the background at any size.
#include <gtest/gtest.h>

#include <QAbstractAnimation>
#include <QImage>

#include <thread>

#include "signals/subject.h"
#include "ui/application_background_view.h"
#include "ui/link_quality_indicator.h"
#include "ui/peer_dot_view.h"
#include "ui/styles.h"
#include "ui/view_extensions.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using testing::advanceAnimations;
using testing::grabImage;
using testing::processMainQueue;
using testing::sameColour;

TEST(FadeAnimation, HidingFadesToZeroThenHidesAndRestoresTheOpacity) {
  QWidget parent;
  auto* view = new QWidget(&parent);
  parent.show();
  setWidgetOpacity(view, 0.6);
  setHiddenAnimated(view, true, 0.5);
  advanceAnimations(&parent, 0.25);
  EXPECT_FALSE(view->isHidden());
  EXPECT_NEAR(widgetOpacity(view), 0.3, 0.01);
  advanceAnimations(&parent, 0.25);
  EXPECT_TRUE(view->isHidden());
  EXPECT_NEAR(widgetOpacity(view), 0.6, 1e-9);

  // Showing fades from 0 back to the remembered opacity.
  setHiddenAnimated(view, false, 0.5);
  EXPECT_FALSE(view->isHidden());
  EXPECT_NEAR(widgetOpacity(view), 0.0, 1e-9);
  advanceAnimations(&parent, 0.25);
  EXPECT_NEAR(widgetOpacity(view), 0.3, 0.01);
  advanceAnimations(&parent, 0.25);
  EXPECT_NEAR(widgetOpacity(view), 0.6, 1e-9);
}

TEST(FadeAnimation, AskingForTheCurrentStateChangesNothingEvenAtZeroOpacity) {
  QWidget parent;
  auto* view = new QWidget(&parent);
  parent.show();
  setWidgetOpacity(view, 0.0);
  setHiddenAnimated(view, false, 0.5);
  EXPECT_TRUE(parent.findChildren<QAbstractAnimation*>().isEmpty());
  EXPECT_EQ(widgetOpacity(view), 0.0);
  view->hide();
  setHiddenAnimated(view, true, 0.5);
  EXPECT_TRUE(parent.findChildren<QAbstractAnimation*>().isEmpty());
}

TEST(FadeAnimation, HidingDuringAFadeInRestoresTheOpacityTheShowWasHeadingFor) {
  QWidget parent;
  auto* view = new QWidget(&parent);
  parent.show();
  view->hide();
  setWidgetOpacity(view, 0.8);
  setHiddenAnimated(view, false, 1.0);
  advanceAnimations(&parent, 0.5);
  setHiddenAnimated(view, true, 0.2);
  advanceAnimations(&parent, 0.2);
  processMainQueue();
  EXPECT_TRUE(view->isHidden());
  EXPECT_NEAR(widgetOpacity(view), 0.8, 1e-9);
}

TEST(PeerDot, TheDotStaysCentredAndALongNameEndsInAnEllipsis) {
  PeerDotView strip;
  strip.resize(375, 40);
  strip.show();
  strip.setText("short");
  const QRect dot = strip.dot()->geometry();
  EXPECT_EQ(dot.size(), QSize(PeerDotView::kDotSize, PeerDotView::kDotSize));
  EXPECT_EQ(dot.x(), (375 - PeerDotView::kDotSize) / 2);
  EXPECT_EQ(strip.label()->x(), dot.right() + 1 + PeerDotView::kLabelGap);

  strip.setText(QString(80, QChar('W')));
  EXPECT_EQ(strip.dot()->geometry(), dot);
  EXPECT_EQ(strip.label()->x(), dot.right() + 1 + PeerDotView::kLabelGap);
  // The name stays inside the strip, cut, and whole in its tooltip.
  EXPECT_LE(strip.label()->geometry().right(), strip.width());
  EXPECT_TRUE(strip.label()->text().endsWith(QChar(0x2026)));
  EXPECT_EQ(strip.text().size(), 80);
  EXPECT_EQ(strip.label()->toolTip(), strip.text());
  EXPECT_EQ(strip.label()->geometry().center().y(), dot.center().y());

  // Any strip size keeps the dot in the middle.
  strip.resize(200, 60);
  EXPECT_EQ(strip.dot()->geometry(), QRect(85, 15, 30, 30));
  const QImage image = grabImage(&strip);
  EXPECT_TRUE(sameColour(image.pixelColor(100, 30), Styles::peerDotIconColor()));
}

// The link bars: how many are lit and in what colour follows the link's
// quality; the strip puts them after the name and follows the peer's reports.
TEST(LinkQualityBars, LitBarsFollowTheQualityAndTheStripFollowsTheReports) {
  struct Case {
    const char* name;
    PeerLink link;
    int lit;
    QColor colour;
  };
  const std::vector<Case> cases{
      {"clean", PeerLink{"p", 2, 8, 0.0, 30, 0, 0, false}, 3, QColor(60, 190, 90)},
      {"some loss", PeerLink{"p", 5, 20, 0.02, 40, 3, 2, false}, 2, QColor(235, 170, 40)},
      {"much jitter", PeerLink{"p", 40, 90, 0.0, 110, 0, 0, false}, 2, QColor(235, 170, 40)},
      {"heavy loss", PeerLink{"p", 5, 20, 0.08, 40, 9, 3, false}, 1, QColor(220, 60, 50)},
  };
  auto litBars = [](LinkQualityIndicator& bars, QColor* colour) {
    const QImage image = grabImage(&bars);
    int lit = 0;
    // The middle of each bar's lowest row.
    for (const int x : {2, 7, 12}) {
      const QColor pixel = image.pixelColor(x, LinkQualityIndicator::kHeight - 2);
      if (pixel.alpha() > 200 && pixel.saturation() > 100) {
        ++lit;
        *colour = pixel;
      }
    }
    return lit;
  };
  for (const auto& c : cases) {
    LinkQualityIndicator bars;
    bars.show();
    QColor colour;
    EXPECT_EQ(litBars(bars, &colour), 0) << "nothing heard yet";
    bars.setLink(c.link);
    EXPECT_EQ(litBars(bars, &colour), c.lit) << c.name;
    EXPECT_TRUE(sameColour(colour, c.colour)) << c.name;
  }

  PeerDotView strip;
  strip.resize(375, 40);
  strip.show();
  strip.setText("bravo");
  EXPECT_GT(strip.linkIndicator()->x(), strip.label()->geometry().right());
  auto reports = Subject<PeerLink>::create();
  strip.followLink(reports->signal());
  std::thread([&] { reports->sendNext(PeerLink{"bravo", 5, 20, 0.08, 40, 9, 3, true}); }).join();
  processMainQueue();
  EXPECT_EQ(strip.linkIndicator()->quality(), LinkQuality::Poor);
  EXPECT_TRUE(strip.linkIndicator()->toolTip().contains("loss 8.0 %"))
      << strip.linkIndicator()->toolTip().toStdString();
}

TEST(ApplicationBackground, TheGradientCoversTheViewAtEverySize) {
  ApplicationBackgroundView view;
  for (const QSize size : {QSize(375, 667), QSize(800, 300)}) {
    view.resize(size);
    const QImage image = grabImage(&view);
    EXPECT_TRUE(sameColour(image.pixelColor(size.width() / 2, 0),
                           Styles::applicationBackgroundTopColor(), 2));
    EXPECT_TRUE(sameColour(image.pixelColor(size.width() - 1, size.height() - 1),
                           Styles::applicationBackgroundBottomColor(), 2));
    const QColor middle = image.pixelColor(0, size.height() / 2);
    EXPECT_NEAR(middle.blueF(), Styles::applicationBackgroundBottomColor().blueF() / 2, 0.02);
  }
}

TEST(StylesTest, EachCallGivesAnEqualButIndependentObject) {
  QFont a = Styles::talkButtonLargeFont();
  QFont b = Styles::talkButtonLargeFont();
  EXPECT_EQ(a, b);
  a.setPixelSize(5);
  EXPECT_EQ(Styles::talkButtonLargeFont().pixelSize(), 70);
  // The talk-button colours differ from each other enough to be told apart.
  EXPECT_FALSE(
      sameColour(Styles::transmitButtonColor(), Styles::transmitButtonDisabledColor(), 20));
  EXPECT_FALSE(sameColour(Styles::transmitButtonPressedColor(), Styles::transmitButtonColor(), 20));
}

}  // namespace
}  // namespace qur
