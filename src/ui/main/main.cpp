// qur-wtalkie: the walkie-talkie window.
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>
#include <string>
#include <vector>

#include "ui/app_bridge.h"
#include "ui/qt_main_queue.h"
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
  auto mainQueue = qur::QtMainQueue::install();

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
  screen->show();
  screen->setFocus();

  QObject::connect(&application, &QApplication::aboutToQuit, [&launcher] { launcher.shutdown(); });
  const int status = application.exec();
  qur::setMainQueue(nullptr);
  return status;
}
