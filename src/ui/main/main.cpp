// qur-wtalkie: the walkie-talkie window.
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <cstdio>
#include <string>
#include <vector>

#include "app/run_option_parser.h"
#include "qur/version.h"
#include "ui/animation_driver.h"
#include "ui/app_bridge.h"
#include "ui/debug_playground.h"
#include "ui/desktop_notifier.h"
#include "ui/global_talk_key.h"
#include "ui/invitation_prompter.h"
#include "ui/preferences.h"
#include "ui/qt_main_queue.h"
#include "ui/settings_screen.h"
#include "ui/tray_icon.h"
#include "ui/ui_adapters.h"
#include "ui/walkie_talkie_screen.h"

namespace {

constexpr const char* kToldAboutTrayKey = "ui/toldAboutTray";

// The window starts where the user left it in the tray, or shown.
void present(QWidget* window, bool minimized, bool tray) {
  if (!minimized) {
    window->show();
    window->setFocus();
  } else if (!tray) {
    window->showMinimized();
  }
}

// Restarting replaces this process with the same program and the same
// options, so nothing the user gave on the command line is lost; the user
// is at the window, so it opens shown.
[[noreturn]] void restartWith(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) {
    if (argument != "--minimized") argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::fflush(nullptr);
  // Nothing of this run (sockets, the display connection) goes along.
  close_range(3, ~0U, 0);
  execv("/proc/self/exe", argv.data());
  std::perror("qur-wtalkie: cannot restart");
  std::_Exit(1);
}

int run(int argc, char** argv, bool* restartRequested);

}  // namespace

int main(int argc, char** argv) {
  bool restart = false;
  const int status = run(argc, argv, &restart);
  if (restart) restartWith(std::vector<std::string>(argv, argv + argc));
  return status;
}

namespace {

int run(int argc, char** argv, bool* restartRequested) {
  const std::vector<std::string> original(argv, argv + argc);
  // Ours first: Qt would take -name (and others) for itself.
  std::vector<std::string> args = original;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--version") {
      std::printf("qur-wtalkie %s\n", qur::kVersion);
      return 0;
    }
  }
  // The window's own options; everything else is shared with the CLI.
  const bool playgroundOnly = qur::takeFlag(args, "--playground");
  const bool micFromTalk = qur::takeFlag(args, "--mic-from-talk");
  const bool minimized = qur::takeFlag(args, "--minimized");
  std::string error;
  auto options = qur::takeRunOptions(args, &error);
  if (!options) {
    std::fprintf(stderr, "qur-wtalkie: %s (try --help)\n", error.c_str());
    return 2;
  }
  options->run.micFromTalk = micFromTalk;
  if (options->help) {
    std::fputs(qur::launchHelpText(), stdout);
    return 0;
  }
  std::vector<char*> qtArgv;
  for (auto& arg : args) qtArgv.push_back(arg.data());
  qtArgv.push_back(nullptr);
  int qtArgc = int(args.size());

  QApplication application(qtArgc, qtArgv.data());
  QApplication::setApplicationName(QStringLiteral("qur-wtalkie"));
  QApplication::setApplicationDisplayName(QStringLiteral("qur-wtalkie"));
  QApplication::setDesktopFileName(QStringLiteral("qur-wtalkie"));
  auto mainQueue = qur::QtMainQueue::install();
  qur::AnimationDriver animations;
  animations.install();
  QApplication::setOrganizationName(QStringLiteral("qur-wtalkie"));
  if (playgroundOnly) {
    auto* playground = qur::DebugPlayground::playground();
    playground->setAttribute(Qt::WA_DeleteOnClose);
    playground->show();
    playground->setFocus();
    const int status = application.exec();
    qur::setMainQueue(nullptr);
    return status;
  }
  // What the settings page remembered; options given on the command line win.
  auto settings = std::make_shared<QSettings>();
  const auto preferences = qur::Preferences::load(*settings);
  const bool nameGiven = !options->run.name.empty();
  const bool devicesGiven = !options->run.audio.empty() || !options->run.micFile.empty() ||
                            !options->run.speakerFile.empty();
  if (options->run.name.empty()) options->run.name = preferences.displayName.toStdString();
  if (options->run.audio.empty()) {
    options->run.inputDevice = preferences.inputDevice.toStdString();
    options->run.outputDevice = preferences.outputDevice.toStdString();
  }
  if (!options->run.voiceProcessing) options->run.voiceProcessing = preferences.voiceProcessing;

  qur::CoreLauncher launcher(*options);
  QPointer<qur::WalkieTalkieScreen> window;
  qur::DesktopNotifier notifier;
  qur::InvitationPrompter::Context promptContext;
  promptContext.window = [&window]() -> QWidget* { return window; };
  promptContext.connectedPeers = [&launcher] {
    return launcher.app() ? launcher.app()->connectedPeers().get() : std::vector<std::string>();
  };
  promptContext.showMessage = [&window](const QString& text) {
    if (window) window->showMessage(text);
  };
  promptContext.notifier = &notifier;
  qur::InvitationPrompter prompter(std::move(promptContext));
  launcher.setInvitationPrompt(
      [&prompter](const qur::Invitation& invitation, std::function<void(bool)> answer) {
        prompter.ask(invitation, std::move(answer));
      });
  launcher.setClosePrompt([&prompter](std::uint64_t id) { prompter.withdraw(id); });
  launcher.setMessageHandler([&window](const std::string& text) {
    if (window) window->showMessage(QString::fromStdString(text));
  });
  if (!launcher.launch(&error)) {
    std::fprintf(stderr, "qur-wtalkie: %s\n", error.c_str());
    return 1;
  }

  qur::WalkieTalkieScreen::Options screenOptions;
  screenOptions.settings = settings;
  auto* screen = new qur::WalkieTalkieScreen(launcher.makeBridge(), screenOptions);
  window = screen;
  screen->setAttribute(Qt::WA_DeleteOnClose);
  screen->setWindowTitle(QStringLiteral("qur-wtalkie"));
  // The window fits the screen it opens on, whatever the scale factor.
  if (QScreen* display = QGuiApplication::primaryScreen()) {
    const QSize available = display->availableGeometry().size() - QSize(0, 40);
    screen->setMinimumSize(qur::WalkieTalkieScreen::minimumSizeFor(available));
    screen->resize(qur::WalkieTalkieScreen::preferredSize(available));
  }
  new qur::ApplicationActivityNotifier(screen);

  // The talk key from any application: off until the user picks one.
  auto talkKey = qur::GlobalTalkKey::create();
  talkKey->setKey(preferences.talkKey);
  QObject::connect(talkKey.get(), &qur::GlobalTalkKey::pressed, screen,
                   [screen] { screen->beginHold(qur::WalkieTalkieScreen::Hold::TalkKey); });
  QObject::connect(talkKey.get(), &qur::GlobalTalkKey::released, screen,
                   [screen] { screen->endHold(qur::WalkieTalkieScreen::Hold::TalkKey); });

  bool quitting = false;
  bool restart = false;
  auto quit = [&quitting] {
    quitting = true;
    QCoreApplication::quit();
  };
  auto showWindow = [&window] {
    if (!window) return;
    window->showNormal();
    window->raise();
    window->activateWindow();
  };

  // The tray keeps the program at hand all day; without one, closing quits.
  std::unique_ptr<qur::TrayIcon> tray;
  if (qur::TrayIcon::isAvailable()) {
    qur::TrayIcon::Actions actions;
    actions.show = showWindow;
    actions.quit = quit;
    actions.talk = [&window](bool on) {
      if (!window) return;
      if (on) {
        window->beginHold(qur::WalkieTalkieScreen::Hold::Latch);
      } else {
        window->endHold(qur::WalkieTalkieScreen::Hold::Latch);
      }
    };
    actions.visibleToOthers = screen->visibleAction();
    tray = std::make_unique<qur::TrayIcon>(std::move(actions));
    QObject::connect(tray.get(), &qur::TrayIcon::toggleWindow, screen, [&window, showWindow] {
      if (window && window->isVisible() && !window->isMinimized()) {
        window->hide();
      } else {
        showWindow();
      }
    });
    tray->setVisible(true);
    QApplication::setQuitOnLastWindowClosed(false);
    tray->follow(*launcher.app());
  }
  screen->setQuitHandler(quit);
  screen->setCloseHandler([&quitting, &tray, &window, &notifier, settings] {
    if (quitting || !tray) return true;
    window->hide();
    if (!settings->value(kToldAboutTrayKey, false).toBool()) {
      settings->setValue(kToldAboutTrayKey, true);
      notifier.notify(QObject::tr("qur-wtalkie keeps running"),
                      QObject::tr("It waits in the tray so colleagues can reach you; "
                                  "choose Quit in its menu to end it."),
                      {}, {});
    }
    return false;
  });
  // Without a tray the window is the program: closing it quits.
  QObject::connect(screen, &QObject::destroyed, &application, [&quitting] {
    quitting = true;
    QCoreApplication::quit();
  });

  screen->setSettingsHandler([&launcher, screen, &talkKey, &restart, quit, settings, nameGiven,
                              devicesGiven] {
    screen->bridge()->setScreenName("Settings View");
    screen->bridge()->trackScreenView();
    qur::SettingsScreen::Context context;
    if (const auto& app = launcher.app()) {
      context.compressor = app->compressor();
      context.engine = app->engine();
      context.localName = QString::fromStdString(app->localName());
      context.localFingerprint = QString::fromStdString(app->localFingerprint());
    }
    context.settings = settings;
    context.nameFromCommandLine = nameGiven;
    context.devicesFromCommandLine = devicesGiven;
    context.talkKey = talkKey.get();
    context.program = QCoreApplication::applicationFilePath();
    // The same program with the same options, the stored devices and name
    // read afresh.
    context.restartAudio = [&restart, quit] {
      restart = true;
      quit();
    };
    auto* page = new qur::SettingsScreen(std::move(context), screen);
    page->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(page, &QDialog::finished, screen, [screen] { screen->dismissPresented(); });
    page->open();
  });
  present(screen, minimized, bool(tray));

  const int status = application.exec();
  // Leave as the command-line program does: the end of a transmission, the
  // Bye and the mDNS goodbye go out and the recording is completed, which
  // needs the event loop for a moment longer.
  QEventLoop leaving;
  bool left = false;
  launcher.shutdown([&leaving, &left] {
    left = true;
    leaving.quit();
  });
  if (!left) leaving.exec();
  tray.reset();
  delete window;
  talkKey.reset();
  qur::setMainQueue(nullptr);
  *restartRequested = restart;
  return status;
}

}  // namespace
