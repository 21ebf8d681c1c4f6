// The window's layout from its smallest size to the whole screen, run once
// per scale factor (ctest sets QT_SCALE_FACTOR to 1, 1.5 and 2 on a
// 1280 x 800 screen): no control overlaps another or leaves the window,
// nothing is cut, and the window fits the screen it opens on. The main
// screen is shown with three real peers (one with a 63-byte name), lines
// on it and the peer browser open; the settings page with every card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "screen_core.h"
#include "ui/settings_screen.h"
#include "ui/walkie_talkie_screen.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using testing::Core;
using testing::processMainQueue;

QSize availableRoom() {
  return QGuiApplication::primaryScreen()->availableGeometry().size();
}

QRect inScreen(const QWidget* widget, const QWidget* screen) {
  return QRect(widget->mapTo(screen, QPoint(0, 0)), widget->size());
}

// What a user reads or presses on the main screen, by name.
std::vector<std::pair<QString, QRect>> controlsOf(const WalkieTalkieScreen& screen) {
  std::vector<std::pair<QString, QRect>> controls;
  auto add = [&](const QString& name, const QWidget* widget) {
    if (widget && widget->isVisibleTo(&screen))
      controls.emplace_back(name, inScreen(widget, &screen));
  };
  add(QStringLiteral("Connect"), screen.connectButton());
  add(QStringLiteral("Settings"), screen.settingsButton());
  add(QStringLiteral("Disconnect"), screen.disconnectButton());
  add(QStringLiteral("menu"), screen.menuButton());
  add(QStringLiteral("guidance"), screen.guidanceLabel());
  add(QStringLiteral("more peers"), screen.morePeersLabel());
  for (Banner* banner : screen.banners()->banners()) add(banner->key(), banner);
  for (PeerDotView* strip : screen.peerDotViews()) {
    add(QStringLiteral("dot ") + strip->text(), strip->dot());
    add(QStringLiteral("name ") + strip->text(), strip->label());
  }
  // The part of the talk button inside the window, and its label.
  const QRect talk = inScreen(screen.talkButton(), &screen).intersected(screen.rect());
  controls.emplace_back(QStringLiteral("talk button"), talk);
  add(QStringLiteral("talk label"), screen.talkButton()->labelWidget());
  return controls;
}

void expectNothingCut(const QWidget* root, const QString& where) {
  for (const QPushButton* button : root->findChildren<QPushButton*>()) {
    if (!button->isVisibleTo(root) || button->text().isEmpty()) continue;
    EXPECT_GE(button->width(), button->minimumSizeHint().width())
        << where.toStdString() << ": '" << button->text().toStdString() << "' is cut";
    EXPECT_GE(button->height(), button->minimumSizeHint().height())
        << where.toStdString() << ": '" << button->text().toStdString() << "' is squashed";
  }
  for (const QLabel* label : root->findChildren<QLabel*>()) {
    if (!label->isVisibleTo(root) || label->text().isEmpty() || !label->wordWrap()) continue;
    EXPECT_GE(label->height(), label->heightForWidth(label->width()))
        << where.toStdString() << ": '" << label->text().toStdString() << "' is cut";
  }
}

class WindowLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string pid = std::to_string(getpid());
    local = new Core("layout-local-" + pid);
    // A name of the longest length a device may have.
    const std::vector<std::string> names = {"Alpha-" + pid, std::string(63 - pid.size(), 'W') + pid,
                                            "Charlie-" + pid};
    for (const auto& name : names) {
      remotes.push_back(new Core(name));
      ASSERT_TRUE(testing::connectCores(*local, *remotes.back())) << name;
    }
  }
  static void TearDownTestSuite() {
    for (Core* remote : remotes) delete remote;
    remotes.clear();
    delete local;
    local = nullptr;
    processMainQueue();
  }

  void SetUp() override {
    ASSERT_TRUE(local);
    WalkieTalkieScreen::Options options;
    options.inhibitIdle = false;
    screen = std::make_unique<WalkieTalkieScreen>(std::make_shared<AppBridge>(local->controller),
                                                  options);
    screen->setSettingsHandler([] {});
    screen->show();
    ASSERT_TRUE(
        testing::spinUntil([&] { return screen->peerDotViews().size() == remotes.size(); }));
    processMainQueue();
  }
  void TearDown() override {
    screen.reset();
    processMainQueue();
  }

  static QSize available() { return availableRoom(); }
  // From the smallest the window allows on this screen to all of it.
  static std::vector<QSize> sizes() {
    const QSize smallest = WalkieTalkieScreen::minimumSizeFor(available());
    return {smallest,        QSize(smallest.width(), 480),
            QSize(320, 560), QSize(375, 667),
            QSize(720, 420), available()};
  }

  void checkMainScreen(const QSize& size, const char* state) {
    const QSize fitted = size.boundedTo(available()).expandedTo(screen->minimumSize());
    screen->resize(fitted);
    processMainQueue();
    const QString where =
        QStringLiteral("%1 at %2x%3").arg(state).arg(fitted.width()).arg(fitted.height());
    SCOPED_TRACE(where.toStdString());
    const auto controls = controlsOf(*screen);
    for (const auto& [name, rect] : controls) {
      EXPECT_TRUE(screen->rect().contains(rect))
          << name.toStdString() << " leaves the window: " << rect.x() << "," << rect.y() << " "
          << rect.width() << "x" << rect.height();
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
      for (std::size_t j = i + 1; j < controls.size(); ++j) {
        // The label is written on the button.
        if (controls[i].first.startsWith(QStringLiteral("talk")) &&
            controls[j].first.startsWith(QStringLiteral("talk")))
          continue;
        EXPECT_FALSE(controls[i].second.intersects(controls[j].second))
            << controls[i].first.toStdString() << " overlaps " << controls[j].first.toStdString();
      }
    }
    if (PeerListDialog* browser = screen->peerList()) {
      const QRect panel = inScreen(browser, screen.get());
      EXPECT_TRUE(screen->rect().contains(panel)) << "the browser leaves the window";
      for (const auto& [name, rect] : controls) {
        const bool under = name.startsWith(QStringLiteral("dot")) ||
                           name.startsWith(QStringLiteral("name")) ||
                           name.startsWith(QStringLiteral("talk"));
        if (!under) {
          EXPECT_FALSE(panel.intersects(rect)) << "the browser covers " << name.toStdString();
        }
      }
      expectNothingCut(browser, where);
    }
    expectNothingCut(screen.get(), where);
    // A long name never runs past the window: it ends in an ellipsis.
    for (PeerDotView* strip : screen->peerDotViews()) {
      if (!strip->isVisibleTo(screen.get())) continue;
      EXPECT_EQ(strip->label()->toolTip(), strip->text());
    }
  }

  static Core* local;
  static std::vector<Core*> remotes;
  std::unique_ptr<WalkieTalkieScreen> screen;
};

Core* WindowLayout::local = nullptr;
std::vector<Core*> WindowLayout::remotes;

TEST(WindowSize, TheWindowOpensWithinTheScreen) {
  const QSize room = availableRoom();
  const QSize preferred = WalkieTalkieScreen::preferredSize(room);
  const QSize smallest = WalkieTalkieScreen::minimumSizeFor(room);
  EXPECT_LE(preferred.width(), room.width());
  EXPECT_LE(preferred.height(), room.height());
  EXPECT_LE(smallest.width(), preferred.width());
  EXPECT_LE(smallest.height(), preferred.height());
  // Where the screen allows it, the usual size and minimum.
  if (room.height() >= 667) {
    EXPECT_EQ(preferred, QSize(375, 667));
  }
  if (room.height() >= WalkieTalkieScreen::kMinimumHeight) {
    EXPECT_EQ(smallest.height(), WalkieTalkieScreen::kMinimumHeight);
  }
}

TEST_F(WindowLayout, ThreePeersLinesAndTheBrowserFitEverySize) {
  screen->banners()
      ->showBanner(QStringLiteral("audio"), Banner::Kind::Warning,
                   QStringLiteral("No sound device — others will not hear you"))
      ->setAction(QStringLiteral("Settings"), [] {});
  screen->showMessage(QStringLiteral("Bravo declined the invitation"));
  for (const QSize& size : sizes()) checkMainScreen(size, "three peers, two lines");
  // The first strip stands where a single peer's always stood.
  screen->resize(375, 667);
  processMainQueue();
  const QRect talk = screen->talkButton()->geometry();
  EXPECT_EQ(talk.size(), QSize(250, 250));
  EXPECT_EQ(screen->peerDotView()->geometry().bottom() + 1,
            talk.top() - WalkieTalkieScreen::kPeerDotGap);
  // The long name is cut, with the whole of it as a tooltip.
  PeerDotView* longest = nullptr;
  for (PeerDotView* strip : screen->peerDotViews()) {
    if (!longest || strip->text().size() > longest->text().size()) longest = strip;
  }
  ASSERT_TRUE(testing::spinUntil([&] { return longest->isVisible(); }));
  EXPECT_TRUE(longest->label()->text().endsWith(QChar(0x2026)));
  EXPECT_LE(inScreen(longest->label(), screen.get()).right(), screen->width());
  if (screen->devicePixelRatioF() == 1.0) {
    // A picture in the build tree for people to look at.
    const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
    QDir().mkpath(dir);
    QTest::qWait(800);  // the strips' fade-in
    EXPECT_TRUE(testing::grabImage(screen.get()).save(dir + "/main-screen-peers.png"));
  }

  // The browser over all of it.
  screen->connectButton()->click();
  processMainQueue();
  ASSERT_TRUE(screen->peerList());
  for (const QSize& size : sizes()) checkMainScreen(size, "browser open");
}

TEST(SettingsLayout, TheSettingsPageScrollsRatherThanSqueezes) {
  QTemporaryDir dir;
  SettingsScreen::Context context;
  context.settings =
      std::make_shared<QSettings>(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
  context.listDevices = [] {
    return std::vector<PortAudioDeviceInfo>{{"A device with a rather long descriptive name", 2, 2}};
  };
  context.restartAudio = [] {};
  context.localName = QStringLiteral("a-desk");
  context.localFingerprint = QStringLiteral("ABCD EFGH IJKL MNOP");
  context.program = QStringLiteral("/usr/bin/qur-wtalkie");
  SettingsScreen page(std::move(context));
  page.show();
  // Echo cancelling on: its hint once squeezed the controls around it.
  page.voiceProcessingSwitch()->setChecked(true);
  const QSize room = availableRoom();
  for (const QSize& size :
       {page.minimumSize(), QSize(page.minimumWidth(), 420), QSize(480, 700), room}) {
    const QSize fitted = size.boundedTo(room).expandedTo(page.minimumSize());
    page.resize(fitted);
    processMainQueue();
    const QString where =
        QStringLiteral("settings at %1x%2").arg(fitted.width()).arg(fitted.height());
    SCOPED_TRACE(where.toStdString());
    EXPECT_LE(page.height(), room.height());
    expectNothingCut(&page, where);
    // Controls within each card keep apart.
    for (const QFrame* card : page.findChildren<QFrame*>(QStringLiteral("card"))) {
      std::vector<const QWidget*> parts;
      for (const QWidget* child : card->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isVisibleTo(card)) parts.push_back(child);
      }
      for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_TRUE(card->rect().contains(parts[i]->geometry()));
        for (std::size_t j = i + 1; j < parts.size(); ++j) {
          EXPECT_FALSE(parts[i]->geometry().intersects(parts[j]->geometry()))
              << parts[i]->metaObject()->className() << " '"
              << parts[i]->property("text").toString().toStdString() << "' overlaps "
              << parts[j]->metaObject()->className() << " '"
              << parts[j]->property("text").toString().toStdString() << "'";
        }
      }
    }
  }
}

}  // namespace
}  // namespace qur
