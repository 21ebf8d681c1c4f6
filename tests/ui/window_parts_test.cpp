// The pieces the window is built of for daily use, each on its own: the
// tray icon's states and menu, the banner lines, the autostart entry, the
// talk key's names and the eliding label.
#include <gtest/gtest.h>

#include <QFile>
#include <QKeyEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include "ui/autostart.h"
#include "ui/banner_stack.h"
#include "ui/elided_label.h"
#include "ui/global_talk_key.h"
#include "ui/styles.h"
#include "ui/tray_icon.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::sameColour;

QColor centreOf(const QIcon& icon) {
  const QImage image = icon.pixmap(32, 32).toImage();
  return image.pixelColor(16, 16);
}

QColor edgeOf(const QIcon& icon) {
  const QImage image = icon.pixmap(32, 32).toImage();
  return image.pixelColor(16, 1);
}

TEST(TrayIconStates, EachStateHasItsColourAndTalkingIsAToggle) {
  struct Case {
    TrayState state;
    QColor centre;
    bool canTalk;
    const char* talkText;
  };
  const Case cases[] = {
      {TrayState::Alone, Styles::transmitButtonDisabledColor(), false, "Start talking"},
      {TrayState::Connected, Styles::transmitButtonColor(), true, "Start talking"},
      {TrayState::Talking, Styles::transmitButtonPressedColor(), true, "Stop talking"},
      {TrayState::Hearing, Styles::transmitButtonColor(), true, "Start talking"},
  };
  std::vector<bool> talked;
  TrayIcon::Actions actions;
  actions.talk = [&talked](bool on) { talked.push_back(on); };
  TrayIcon tray(std::move(actions));
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.state));
    tray.setState(c.state);
    EXPECT_TRUE(sameColour(centreOf(tray.currentIcon()), c.centre, 6));
    EXPECT_EQ(tray.talkAction()->isEnabled(), c.canTalk);
    EXPECT_EQ(tray.talkAction()->text(), QString::fromLatin1(c.talkText));
  }
  // The menu cannot be held: the entry starts a transmission, or ends one.
  tray.setState(TrayState::Connected);
  tray.talkAction()->trigger();
  tray.setState(TrayState::Talking);
  tray.talkAction()->trigger();
  EXPECT_EQ(talked, (std::vector<bool>{true, false}));
}

TEST(TrayIconStates, APeerTalkingBlinksARingAndStopsWithIt) {
  TrayIcon tray(TrayIcon::Actions{});
  tray.setState(TrayState::Hearing);
  const QColor lit = edgeOf(tray.currentIcon());
  EXPECT_TRUE(sameColour(lit, Styles::peerDotIconColor(), 8));
  ASSERT_TRUE(testing::spinUntil([&] { return edgeOf(tray.currentIcon()).alpha() == 0; }, 2s));
  ASSERT_TRUE(testing::spinUntil([&] { return edgeOf(tray.currentIcon()).alpha() > 200; }, 2s));
  // Back to plain connected: no ring, and it stays so.
  tray.setState(TrayState::Connected);
  testing::spinFor(1200ms);
  EXPECT_EQ(edgeOf(tray.currentIcon()).alpha(), 0);
  tray.setPeers({QStringLiteral("Alpha"), QStringLiteral("Bravo")});
  EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("Alpha, Bravo")));
}

TEST(Banners, WarningsStayNotesGoAndTheNewestIsOnTop) {
  BannerStack stack;
  stack.resize(300, 400);
  stack.show();
  stack.showBanner(QStringLiteral("peer:Alpha"), Banner::Kind::Warning,
                   QStringLiteral("Alpha left"));
  stack.showBanner(QStringLiteral("note:x"), Banner::Kind::Note, QStringLiteral("a note"));
  ASSERT_EQ(stack.banners().size(), 2u);
  EXPECT_EQ(stack.newest()->key(), QStringLiteral("note:x"));
  // The same key again replaces its line and brings it to the top.
  stack.showBanner(QStringLiteral("peer:Alpha"), Banner::Kind::Warning,
                   QStringLiteral("Lost Alpha: no answer for 4 s"));
  ASSERT_EQ(stack.banners().size(), 2u);
  EXPECT_EQ(stack.newest()->label()->text(), QStringLiteral("Lost Alpha: no answer for 4 s"));
  // The note goes by itself; the warning waits for its close button.
  ASSERT_TRUE(testing::spinUntil([&] { return stack.banners().size() == 1; },
                                 std::chrono::milliseconds(BannerStack::kNoteMs + 2000)));
  EXPECT_EQ(stack.newest()->key(), QStringLiteral("peer:Alpha"));
  stack.newest()->closeButton()->click();
  testing::processMainQueue();
  EXPECT_TRUE(stack.banners().empty());
}

TEST(Banners, LinesThatDoNotFitWaitOutOfSightAndTheActionRuns) {
  BannerStack stack;
  stack.resize(260, 400);
  stack.show();
  int runs = 0;
  for (int i = 0; i < 4; ++i) {
    Banner* banner = stack.showBanner(QStringLiteral("k%1").arg(i), Banner::Kind::Warning,
                                      QStringLiteral("A line long enough to wrap onto a second "
                                                     "line in a narrow window %1")
                                          .arg(i));
    banner->setAction(QStringLiteral("Settings"), [&runs] { ++runs; });
  }
  const int one = stack.newest()->heightForWidth(260);
  stack.layOutWithin(one * 2 + BannerStack::kSpacing);
  int shown = 0;
  for (Banner* banner : stack.banners()) {
    if (!banner->isVisible()) continue;
    ++shown;
    // Nothing of a shown line is cut: its text has the height it needs.
    EXPECT_GE(banner->label()->height(), banner->label()->heightForWidth(banner->label()->width()));
    EXPECT_LE(banner->label()->geometry().right(), banner->actionButton()->x());
  }
  EXPECT_EQ(shown, 2);
  EXPECT_TRUE(stack.banners()[0]->isVisible()) << "the newest line must be the one shown";
  stack.newest()->actionButton()->click();
  EXPECT_EQ(runs, 1);
}

class AutostartEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) saved = old;
    setenv("XDG_CONFIG_HOME", dir.path().toUtf8().constData(), 1);
  }
  void TearDown() override {
    if (saved.empty()) {
      unsetenv("XDG_CONFIG_HOME");
    } else {
      setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    }
  }
  QTemporaryDir dir;
  std::string saved;
};

TEST_F(AutostartEntry, WritesAnEntryThatStartsInTheTrayAndRemovesIt) {
  EXPECT_TRUE(Autostart::entryPath().startsWith(dir.path()));
  EXPECT_FALSE(Autostart::isEnabled());
  QString error;
  // A path with a blank and a quote must survive the desktop's Exec parsing.
  ASSERT_TRUE(Autostart::setEnabled(true, QStringLiteral("/opt/my apps/qur\"wtalkie"), &error))
      << error.toStdString();
  EXPECT_TRUE(Autostart::isEnabled());
  QFile file(Autostart::entryPath());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(file.readAll());
  EXPECT_TRUE(text.contains(QStringLiteral("Exec=\"/opt/my apps/qur\\\"wtalkie\" --minimized\n")))
      << text.toStdString();
  file.close();
  // Switched off by the desktop's own settings: not ours to call on.
  QSettings entry(Autostart::entryPath(), QSettings::IniFormat);
  entry.setValue(QStringLiteral("Desktop Entry/Hidden"), QStringLiteral("true"));
  entry.sync();
  EXPECT_FALSE(Autostart::isEnabled());
  ASSERT_TRUE(Autostart::setEnabled(false, QString(), &error));
  EXPECT_FALSE(QFile::exists(Autostart::entryPath()));
}

TEST_F(AutostartEntry, AFolderThatCannotBeMadeIsReportedNotIgnored) {
  // A file where the autostart folder should be.
  QFile blocker(dir.filePath(QStringLiteral("autostart")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  QString error;
  EXPECT_FALSE(Autostart::setEnabled(true, QStringLiteral("/usr/bin/qur-wtalkie"), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(Autostart::isEnabled());
}

TEST(TalkKeyNames, KeysAreStoredByTheirXNames) {
  struct Case {
    int key;
    quint32 keysym;  // what X11 reports; 0 elsewhere
    const char* stored;
  };
  const Case cases[] = {
      {Qt::Key_F8, 0, "F8"},
      {Qt::Key_F8, 0xffc5, "F8"},
      // Right Ctrl is its own key on X11, whatever Qt calls it.
      {Qt::Key_Control, 0xffe4, "Control_R"},
      {Qt::Key_Control, 0, "Control_L"},
      {Qt::Key_ScrollLock, 0, "Scroll_Lock"},
      {Qt::Key_Pause, 0xff13, "Pause"},
      {Qt::Key_Escape, 0xff1b, ""},
  };
  for (const auto& c : cases) {
    QKeyEvent event(QEvent::KeyPress, c.key, Qt::NoModifier, 0, c.keysym, 0);
    EXPECT_EQ(GlobalTalkKey::keyName(event).toStdString(), c.stored) << c.key << " " << c.keysym;
  }
  EXPECT_EQ(GlobalTalkKey::displayName(QStringLiteral("Control_R")), QStringLiteral("Right Ctrl"));
  EXPECT_EQ(GlobalTalkKey::displayName(QStringLiteral("F8")), QStringLiteral("F8"));
}

TEST(TalkKeyNames, WithoutADesktopThatOffersOneTheWindowSaysWhy) {
  // The offscreen platform is neither X11 nor Wayland.
  auto key = GlobalTalkKey::create();
  EXPECT_EQ(key->backend(), GlobalTalkKey::Backend::Unavailable);
  EXPECT_TRUE(key->availability().contains(QStringLiteral("only while the window has focus")));
  EXPECT_TRUE(key->setKey(QStringLiteral("F8")));
  EXPECT_EQ(key->key(), QStringLiteral("F8"));
}

TEST(ElidedText, ALongNameEndsInAnEllipsisAndShowsWholeAsTooltip) {
  const QString name = QString(63, QChar('W'));
  ElidedLabel label(name);
  label.resize(120, 20);
  label.show();
  EXPECT_TRUE(label.isElided());
  EXPECT_TRUE(label.text().endsWith(QChar(0x2026)));
  EXPECT_LE(QFontMetrics(label.font()).horizontalAdvance(label.text()), 120);
  EXPECT_EQ(label.toolTip(), name);
  EXPECT_LT(label.minimumSizeHint().width(), 60);
  label.resize(2000, 20);
  EXPECT_FALSE(label.isElided());
  EXPECT_TRUE(label.toolTip().isEmpty());
}

}  // namespace
}  // namespace qur
