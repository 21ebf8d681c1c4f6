// qur-wtalkie: the walkie-talkie window.
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <cstdio>
#include <string>
#include <vector>

#include "app/application.h"
#include "ui/app_bridge.h"
#include "ui/debug_playground.h"
#include "ui/preferences.h"
#include "ui/qt_main_queue.h"
#include "ui/settings_screen.h"
#include "ui/ui_adapters.h"
#include "ui/walkie_talkie_screen.h"

int main(int argc, char** argv) {
  // Ours first: Qt would take -name (and others) for itself.
  std::vector<std::string> args(argv, argv + argc);
  std::string error;
  auto options = qur::parseLaunchOptions(args, &error);
  if (!options) {
    std::fprintf(stderr, "qur-wtalkie: %s (try --help)\n", error.c_str());
    return 2;
  }
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
  QApplication::setOrganizationName(QStringLiteral("qur-wtalkie"));
  auto mainQueue = qur::QtMainQueue::install();

  if (options->playground) {
    auto* playground = qur::DebugPlayground::playground();
    playground->setAttribute(Qt::WA_DeleteOnClose);
    playground->show();
    playground->setFocus();
    const int status = application.exec();
    qur::setMainQueue(nullptr);
    return status;
  }
  // What the settings page remembered; options given on the command line win.
  const auto preferences = qur::Preferences::load(QSettings());
  if (options->name.empty()) options->name = preferences.displayName.toStdString();
  if (options->audio.empty()) {
    options->inputDevice = preferences.inputDevice.toStdString();
    options->outputDevice = preferences.outputDevice.toStdString();
  }

  qur::CoreLauncher launcher(*options);
  QPointer<QWidget> window;
  launcher.setInvitationPrompt([&window](const std::string& peer,
                                         std::function<void(bool)> answer) {
    auto* box =
        new QMessageBox(QMessageBox::Question, QObject::tr("Invitation"),
                        QObject::tr("%1 wants to talk with you.").arg(QString::fromStdString(peer)),
                        QMessageBox::NoButton, window);
    auto* accept = box->addButton(QObject::tr("Accept"), QMessageBox::AcceptRole);
    box->addButton(QObject::tr("Decline"), QMessageBox::RejectRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, accept, answer]() mutable { answer(box->clickedButton() == accept); });
    box->open();
  });
  if (!launcher.launch(&error)) {
    std::fprintf(stderr, "qur-wtalkie: %s\n", error.c_str());
    return 1;
  }

  auto* screen = new qur::WalkieTalkieScreen(launcher.makeBridge());
  window = screen;
  screen->setAttribute(Qt::WA_DeleteOnClose);
  screen->setWindowTitle(QStringLiteral("qur-wtalkie"));
  new qur::ApplicationActivityNotifier(screen);
  screen->setSettingsHandler([&launcher, screen] {
    screen->bridge()->setScreenName("Settings View");
    screen->bridge()->trackScreenView();
    qur::SettingsScreen::Context context;
    if (auto* core = launcher.application()) {
      context.compressor = core->dynamicRangeCompressor();
      context.engine = core->audioController();
    }
    // A fresh process picks up the stored devices and name from scratch.
    context.restartAudio = [] {
      QProcess::startDetached(QCoreApplication::applicationFilePath(),
                              QCoreApplication::arguments().mid(1));
      QCoreApplication::quit();
    };
    auto* settings = new qur::SettingsScreen(std::move(context), screen);
    settings->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(settings, &QDialog::finished, screen,
                     [screen] { screen->dismissPresented(); });
    settings->open();
  });
  screen->show();
  screen->setFocus();

  QObject::connect(&application, &QApplication::aboutToQuit, [&launcher] { launcher.shutdown(); });
  const int status = application.exec();
  qur::setMainQueue(nullptr);
  return status;
}
