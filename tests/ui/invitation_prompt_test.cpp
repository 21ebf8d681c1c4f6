// The invitation prompt and the desktop notification against real inviters
// on loopback; notifications go through a private session bus this test
// starts, to a small notification server of its own.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/walkie_talkie_controller.h"
#include "peers/device_identity.h"
#include "peers/session_controller.h"
#include "running_peers.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "ui/desktop_notifier.h"
#include "ui/invitation_prompt.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::LogCapture;
using testing::processMainQueue;
using testing::RunningApp;
using testing::spinFor;
using testing::spinUntil;
using testing::WindowSide;

InvitationPrompt* askedBy(WindowSide& window, const std::string& inviter) {
  spinUntil(
      [&] {
        auto* prompt = window.prompter->current();
        return prompt && prompt->invitation().peer == inviter;
      },
      20s);
  auto* prompt = window.prompter->current();
  return prompt && prompt->invitation().peer == inviter ? prompt : nullptr;
}

bool invite(RunningApp& inviter, WindowSide& window) {
  if (!spinUntil([&] { return inviter.lists(window.name()); }, 20s)) return false;
  std::string error;
  const bool sent = inviter.app->invite(window.name(), &error);
  EXPECT_TRUE(sent) << error;
  return sent;
}

TEST(InvitationPromptKeys, SpaceAnswersNothingEscapeDeclinesAndEnterAccepts) {
  WindowSide window("keys", false);
  RunningApp bravo("keys-bravo", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app);
  ASSERT_TRUE(invite(bravo, window));
  InvitationPrompt* prompt = askedBy(window, bravo.name());
  ASSERT_TRUE(prompt);
  EXPECT_EQ(prompt->questionLabel()->text(),
            QString::fromStdString(bravo.name() + " wants to talk"));
  EXPECT_TRUE(prompt->isVisible());
  // The key bravo proved in the handshake, seen for the first time.
  const QString key = QString::fromStdString(peers::fingerprintForIdentifier(
      bravo.app->controller()->multipeerController()->peerID().identifier()));
  EXPECT_FALSE(prompt->fingerprintLabel()->isHidden());
  EXPECT_TRUE(prompt->fingerprintLabel()->text().contains(key))
      << prompt->fingerprintLabel()->text().toStdString();
  EXPECT_TRUE(prompt->warningLabel()->isHidden());

  // A Space held for talking when the question pops up answers nothing.
  QTest::keyClick(prompt, Qt::Key_Space);
  processMainQueue();
  EXPECT_FALSE(prompt->isAnswered());
  EXPECT_EQ(bravo.find(AppEvent::Kind::InvitationResult), nullptr);

  QTest::keyClick(prompt, Qt::Key_Escape);
  ASSERT_TRUE(
      spinUntil([&] { return bravo.find(AppEvent::Kind::InvitationResult, "declined"); }, 10s));
  EXPECT_FALSE(window.launcher.app()->connected().get());
  EXPECT_TRUE(spinUntil([&] { return window.prompter->current() == nullptr; }));

  bravo.events->clear();
  ASSERT_TRUE(invite(bravo, window));
  prompt = askedBy(window, bravo.name());
  ASSERT_TRUE(prompt);
  QTest::keyClick(prompt, Qt::Key_Return);
  ASSERT_TRUE(
      spinUntil([&] { return bravo.find(AppEvent::Kind::InvitationResult, "accepted"); }, 10s));
  EXPECT_TRUE(spinUntil([&] { return window.launcher.app()->connected().get(); }, 10s));
}

TEST(InvitationPromptKeys, AChangedKeyIsShoutedAndEnterDeclinesIt) {
  Invitation invitation;
  invitation.id = 7;
  invitation.peer = "Ada's laptop";
  invitation.fingerprint = "ABCD EFGH IJKL MNOP";
  invitation.trust = "key changed";
  InvitationPrompt prompt(invitation, nullptr);
  std::vector<bool> answers;
  QObject::connect(&prompt, &InvitationPrompt::answered,
                   [&answers](bool accept) { answers.push_back(accept); });
  prompt.show();
  EXPECT_FALSE(prompt.warningLabel()->isHidden());
  EXPECT_TRUE(prompt.warningLabel()->text().contains(QStringLiteral("Ada's laptop")));
  EXPECT_TRUE(prompt.fingerprintLabel()->text().contains(QStringLiteral("ABCD EFGH IJKL MNOP")));
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(&prompt).save(dir + "/invitation-key-changed.png"));
  // A user who presses Enter out of habit does not let another device in.
  QTest::keyClick(&prompt, Qt::Key_Return);
  EXPECT_EQ(answers, std::vector<bool>{false});
}

TEST(InvitationPromptKeys, AnIntroducedLookAlikeSaysWhoBroughtItAndEnterDeclinesIt) {
  Invitation invitation;
  invitation.id = 8;
  invitation.peer = "\u0410da's laptop";  // a Cyrillic A
  invitation.identifier = "5c1e0a7b00000000000000000000000";
  invitation.address = "192.168.1.40";
  invitation.fingerprint = "LZYA UWAA AAAA AAAA";
  invitation.trust = "looks like Ada's laptop";
  invitation.introducedBy = "Mallory";
  InvitationPrompt prompt(invitation, nullptr);
  std::vector<bool> answers;
  QObject::connect(&prompt, &InvitationPrompt::answered,
                   [&answers](bool accept) { answers.push_back(accept); });
  prompt.show();
  EXPECT_TRUE(prompt.questionLabel()->text().contains(QStringLiteral("introduced by Mallory")));
  EXPECT_TRUE(prompt.detailLabel()->text().contains(QStringLiteral("5c1e0a7b")));
  EXPECT_FALSE(prompt.warningLabel()->isHidden());
  EXPECT_TRUE(prompt.warningLabel()->text().contains(QStringLiteral("looks like Ada's laptop")));
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(&prompt).save(dir + "/invitation-introduced.png"));
  QTest::keyClick(&prompt, Qt::Key_Return);
  EXPECT_EQ(answers, std::vector<bool>{false});
}

TEST(InvitationPromptLimits, AThirdDeviceIsAskedAboutWhileAPeerIsConnected) {
  WindowSide window("third", false);
  RunningApp bravo("third-bravo", AcceptPolicy::Auto);
  RunningApp charlie("third-charlie", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app && charlie.app);
  std::string error;
  ASSERT_TRUE(spinUntil(
      [&] {
        const auto nearby = window.launcher.app()->nearbyPeers().get();
        return std::find(nearby.begin(), nearby.end(), bravo.name()) != nearby.end();
      },
      20s));
  ASSERT_TRUE(window.launcher.app()->invite(bravo.name(), &error)) << error;
  ASSERT_TRUE(spinUntil([&] { return window.launcher.app()->connected().get(); }, 15s));

  // The session holds several peers: the user decides, as for the first.
  ASSERT_TRUE(invite(charlie, window));
  InvitationPrompt* prompt = askedBy(window, charlie.name());
  ASSERT_TRUE(prompt) << "the third device was not asked about";
  EXPECT_FALSE(charlie.find(AppEvent::Kind::InvitationResult, "declined"));
  prompt->answer(true);
  ASSERT_TRUE(
      spinUntil([&] { return window.launcher.app()->connectedPeers().get().size() == 2; }, 15s));
}

TEST(InvitationPromptLateAnswers, AnAnswerAfterTheInviterGaveUpDoesNothingAndSaysSo) {
  WindowSide window("late", true);
  ASSERT_TRUE(window.screen);
  window.screen->hide();
  auto early = std::make_unique<RunningApp>("late-early", AcceptPolicy::Never);
  ASSERT_TRUE(early->app);
  const std::string earlyName = early->name();
  ASSERT_TRUE(invite(*early, window));
  InvitationPrompt* prompt = askedBy(window, earlyName);
  ASSERT_TRUE(prompt);
  const QPointer<InvitationPrompt> watched(prompt);

  early->stop();
  ASSERT_TRUE(spinUntil([&] { return watched && watched->isWithdrawn(); }, 15s))
      << "the prompt still asks for an inviter that is gone";
  EXPECT_TRUE(prompt->detailLabel()->text().contains(QStringLiteral("no longer waiting")));
  EXPECT_FALSE(prompt->acceptButton()->isVisible());
  EXPECT_FALSE(prompt->declineButton()->isVisible());
  EXPECT_TRUE(prompt->closeButton()->isVisible());

  // Enter now only closes: nothing is answered.
  QTest::keyClick(prompt, Qt::Key_Return);
  EXPECT_TRUE(spinUntil([&] { return !watched || !watched->isVisible(); }));
  EXPECT_FALSE(prompt && prompt->isAnswered());
  processMainQueue();
  EXPECT_FALSE(window.answeredHere()) << "an answer reached the application";
  EXPECT_TRUE(window.said(QStringLiteral("withdrawn")));
  EXPECT_FALSE(window.launcher.app()->connected().get());
}

// A picture in the build tree for people to look at.
TEST(InvitationPromptPictures, TheQuestionAsTheUserSeesIt) {
  WindowSide window("prompt-picture", true);
  ASSERT_TRUE(window.screen);
  RunningApp ada("prompt-ada", AcceptPolicy::Never,
                 "Ada's laptop (" + std::to_string(getpid() % 1000) + ")");
  ASSERT_TRUE(ada.app);
  ASSERT_TRUE(invite(ada, window));
  InvitationPrompt* prompt = askedBy(window, ada.name());
  ASSERT_TRUE(prompt);
  EXPECT_EQ(prompt->parentWidget(), window.screen.get());
  EXPECT_TRUE(prompt->detailLabel()->text().contains(QStringLiteral("127.0.0.1")));
  processMainQueue();
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(prompt).save(dir + "/invitation.png"));
  prompt->declineButton()->click();
  EXPECT_TRUE(
      spinUntil([&] { return ada.find(AppEvent::Kind::InvitationResult, "declined"); }, 10s));
}

// ---- desktop notifications ----------------------------------------------------

// A notification server as a desktop runs one, enough for the calls we make.
class NotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Shown {
    uint id;
    QString summary;
    QString body;
    QStringList actions;
  };
  std::vector<Shown> shown;
  std::vector<uint> closed;
  bool withActions = true;

 public Q_SLOTS:
  QStringList GetCapabilities() {
    return withActions ? QStringList{QStringLiteral("body"), QStringLiteral("actions")}
                       : QStringList{QStringLiteral("body")};
  }
  uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
              const QStringList& actions, const QVariantMap&, int) {
    const uint id = uint(shown.size() + 1);
    shown.push_back({id, summary, body, actions});
    return id;
  }
  void CloseNotification(uint id) {
    closed.push_back(id);
    Q_EMIT NotificationClosed(id, 3);
  }

 Q_SIGNALS:
  void ActionInvoked(uint id, const QString& key);
  void NotificationClosed(uint id, uint reason);
};

// A session bus of our own: nothing on it but what the test puts there.
class PrivateBus {
 public:
  PrivateBus() {
    if (!_dir.isValid()) return;
    const QString config = _dir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(QStringLiteral("<busconfig><type>session</type>"
                              "<listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                              "<policy context=\"default\"><allow send_destination=\"*\"/>"
                              "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy>"
                              "</busconfig>")
                   .arg(_dir.path())
                   .toUtf8());
    file.close();
    _daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--nofork", "--print-address", "--config-file=" + config.toStdString()});
    if (auto line = _daemon->readLine(10s)) _address = QString::fromStdString(*line);
  }
  ~PrivateBus() {
    for (const auto& name : _names) QDBusConnection::disconnectFromBus(name);
  }
  bool ok() const { return !_address.isEmpty(); }
  QDBusConnection connect(const QString& name) {
    _names.push_back(name);
    return QDBusConnection::connectToBus(_address, name);
  }
  // Puts the server on the bus under the desktop's notification name.
  bool serve(NotificationServer& server) {
    QDBusConnection connection = connect(QStringLiteral("server"));
    return connection.registerObject(
               QStringLiteral("/org/freedesktop/Notifications"), &server,
               QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
           connection.registerService(QStringLiteral("org.freedesktop.Notifications"));
  }

 private:
  QTemporaryDir _dir;
  std::unique_ptr<ChildProcess> _daemon;
  QString _address;
  QStringList _names;
};

TEST(DesktopNotifications, AnInvitationInTheBackgroundIsAnsweredFromTheNotification) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  NotificationServer server;
  ASSERT_TRUE(bus.serve(server));
  DesktopNotifier notifier(bus.connect(QStringLiteral("client")), nullptr);

  WindowSide window("notify", false, &notifier);
  window.inFront = false;
  // What the key check will say about an inviter whose key changed.
  window.describeKey = [](InvitationPrompt& prompt) {
    prompt.setFingerprint(QStringLiteral("ABCD EFGH IJKL MNOP"));
    prompt.setKeyChangedWarning(QStringLiteral("This device's key changed."));
  };
  RunningApp bravo("notify-bravo", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app);

  // Declined from the notification's button.
  ASSERT_TRUE(invite(bravo, window));
  InvitationPrompt* prompt = askedBy(window, bravo.name());
  ASSERT_TRUE(prompt);
  EXPECT_TRUE(prompt->warningLabel()->isVisible());
  EXPECT_TRUE(prompt->fingerprintLabel()->text().contains(QStringLiteral("ABCD EFGH IJKL MNOP")));
  ASSERT_TRUE(spinUntil([&] { return server.shown.size() == 1; }, 10s)) << "nothing was shown";
  EXPECT_EQ(server.shown[0].summary, QString::fromStdString(bravo.name() + " wants to talk"));
  // Answering from the desktop, the user still reads the warning.
  EXPECT_TRUE(server.shown[0].body.contains(QStringLiteral("key changed")));
  EXPECT_TRUE(server.shown[0].actions.contains(QStringLiteral("accept")));
  EXPECT_TRUE(server.shown[0].actions.contains(QStringLiteral("decline")));
  Q_EMIT server.ActionInvoked(server.shown[0].id, QStringLiteral("decline"));
  ASSERT_TRUE(
      spinUntil([&] { return bravo.find(AppEvent::Kind::InvitationResult, "declined"); }, 10s));
  // Answered: the notification goes too.
  EXPECT_TRUE(spinUntil([&] { return server.closed.size() == 1; }, 5s));

  // A click that arrives after the answer changes nothing.
  Q_EMIT server.ActionInvoked(server.shown[0].id, QStringLiteral("accept"));
  spinFor(300ms);
  EXPECT_FALSE(window.launcher.app()->connected().get());
  EXPECT_EQ(std::count_if(window.events.begin(), window.events.end(),
                          [](const AppEvent& event) {
                            return event.kind == AppEvent::Kind::InvitationAnswered;
                          }),
            1);

  // Accepted from the notification.
  bravo.events->clear();
  ASSERT_TRUE(invite(bravo, window));
  ASSERT_TRUE(spinUntil([&] { return server.shown.size() == 2; }, 15s));
  Q_EMIT server.ActionInvoked(server.shown[1].id, QStringLiteral("accept"));
  ASSERT_TRUE(
      spinUntil([&] { return bravo.find(AppEvent::Kind::InvitationResult, "accepted"); }, 10s));
  EXPECT_TRUE(spinUntil([&] { return window.launcher.app()->connected().get(); }, 10s));
  EXPECT_TRUE(spinUntil([&] { return server.closed.size() == 2; }, 5s));
}

TEST(DesktopNotifications,
     AWithdrawnInvitationTakesItsNotificationDownAndALateClickAnswersNothing) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  NotificationServer server;
  server.withActions = false;
  ASSERT_TRUE(bus.serve(server));
  DesktopNotifier notifier(bus.connect(QStringLiteral("client")), nullptr);

  WindowSide window("withdraw", false, &notifier);
  window.inFront = false;
  auto early = std::make_unique<RunningApp>("withdraw-early", AcceptPolicy::Never);
  ASSERT_TRUE(early->app);
  const std::string earlyName = early->name();
  ASSERT_TRUE(invite(*early, window));
  ASSERT_TRUE(spinUntil([&] { return server.shown.size() == 1; }, 20s));
  // A server without buttons gets a plain notification.
  EXPECT_TRUE(server.shown[0].actions.isEmpty());
  EXPECT_FALSE(notifier.supportsActions());

  early->stop();
  ASSERT_TRUE(spinUntil([&] { return server.closed.size() == 1; }, 15s))
      << "the notification outlived its invitation";
  EXPECT_EQ(server.closed[0], server.shown[0].id);
  // A server may still deliver a click it had queued: nothing is answered.
  Q_EMIT server.ActionInvoked(server.shown[0].id, QStringLiteral("accept"));
  spinFor(300ms);
  EXPECT_FALSE(window.answeredHere());
  EXPECT_FALSE(window.launcher.app()->connected().get());
  EXPECT_EQ(notifier.openCount(), 0u);
}

TEST(DesktopNotifications, WithoutAServerOneLogLineAndThePromptStillAsks) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
  LogCapture log(LogFlagWarning | LogFlagError);
  DesktopNotifier notifier(bus.connect(QStringLiteral("client")), nullptr);
  WindowSide window("quiet", false, &notifier);
  window.inFront = false;
  RunningApp bravo("quiet-bravo", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app);

  ASSERT_TRUE(invite(bravo, window));
  InvitationPrompt* prompt = askedBy(window, bravo.name());
  ASSERT_TRUE(prompt);
  ASSERT_TRUE(spinUntil([&] { return notifier.serverMissing(); }, 10s));
  // Later notifications are skipped without another line.
  EXPECT_EQ(notifier.notify(QStringLiteral("again"), QString(), {}, nullptr), 0u);
  processMainQueue();
  EXPECT_EQ(log.count("Desktop notifications are off"), 1);

  prompt->acceptButton()->click();
  ASSERT_TRUE(
      spinUntil([&] { return bravo.find(AppEvent::Kind::InvitationResult, "accepted"); }, 10s));

  // No bus at all: the same single line, nothing else.
  log.clear();
  DesktopNotifier unbound(
      QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                    QStringLiteral("nowhere")),
      nullptr);
  EXPECT_EQ(unbound.notify(QStringLiteral("x"), QString(), {}, nullptr), 0u);
  EXPECT_EQ(log.count("Desktop notifications are off"), 1);
  QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

}  // namespace
}  // namespace qur

#include "invitation_prompt_test.moc"
