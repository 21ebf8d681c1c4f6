// qur-wtalkie: the walkie-talkie window.
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/run_option_parser.h"
#include "qur/version.h"
#include "ui/app_bridge.h"
#include "ui/debug_playground.h"
#include "ui/preferences.h"
#include "ui/qt_main_queue.h"
#include "ui/settings_screen.h"
#include "ui/ui_adapters.h"
#include "ui/walkie_talkie_screen.h"

namespace {

QString invitationQuestion(const qur::Invitation& invitation) {
  QString from = QString::fromStdString(invitation.peer);
  // Two inviters may share a name; where they are and who they are tells them apart.
  const QString id = QString::fromStdString(invitation.identifier.substr(0, 8));
  const QString address = QString::fromStdString(invitation.address);
  if (!id.isEmpty() && !address.isEmpty()) {
    from += QObject::tr(" (%1 at %2)").arg(id, address);
  } else if (!id.isEmpty()) {
    from += QStringLiteral(" (%1)").arg(id);
  }
  return QObject::tr("%1 wants to talk with you.\n%2")
      .arg(from, QString::fromStdString(qur::invitationKeyNotice(invitation)));
}

}  // namespace

int main(int argc, char** argv) {
  // Ours first: Qt would take -name (and others) for itself.
  std::vector<std::string> args(argv, argv + argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--version") {
      std::printf("qur-wtalkie %s\n", qur::kVersion);
      return 0;
    }
  }
  // The window's own option; everything else is shared with the CLI.
  const bool playgroundOnly = qur::takeFlag(args, "--playground");
  std::string error;
  auto options = qur::takeRunOptions(args, &error);
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
  auto mainQueue = qur::QtMainQueue::install();
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
  const auto preferences = qur::Preferences::load(QSettings());
  if (options->run.name.empty()) options->run.name = preferences.displayName.toStdString();
  if (options->run.audio.empty()) {
    options->run.inputDevice = preferences.inputDevice.toStdString();
    options->run.outputDevice = preferences.outputDevice.toStdString();
  }

  qur::CoreLauncher launcher(*options);
  QPointer<qur::WalkieTalkieScreen> window;
  std::map<std::uint64_t, QPointer<QMessageBox>> prompts;
  launcher.setInvitationPrompt(
      [&window, &prompts](const qur::Invitation& invitation, std::function<void(bool)> answer) {
        auto* box = new QMessageBox(QMessageBox::Question, QObject::tr("Invitation"),
                                    invitationQuestion(invitation), QMessageBox::NoButton, window);
        auto* accept = box->addButton(QObject::tr("Accept"), QMessageBox::AcceptRole);
        box->addButton(QObject::tr("Decline"), QMessageBox::RejectRole);
        box->setAttribute(Qt::WA_DeleteOnClose);
        const std::uint64_t id = invitation.id;
        QObject::connect(box, &QMessageBox::finished, box, [box, accept, answer, id, &prompts] {
          // Closed because the invitation is gone: nothing to answer.
          if (box->property("withdrawn").toBool()) return;
          prompts.erase(id);
          answer(box->clickedButton() == accept);
        });
        prompts[invitation.id] = box;
        box->open();
      });
  launcher.setClosePrompt([&prompts](std::uint64_t id) {
    const auto it = prompts.find(id);
    if (it == prompts.end()) return;
    if (QMessageBox* box = it->second) {
      box->setProperty("withdrawn", true);
      box->done(QMessageBox::Cancel);
    }
    prompts.erase(it);
  });
  launcher.setMessageHandler([&window](const std::string& text) {
    if (window) window->showMessage(QString::fromStdString(text));
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
    if (const auto& app = launcher.app()) {
      context.compressor = app->compressor();
      context.engine = app->engine();
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
  qur::setMainQueue(nullptr);
  return status;
}
