// The settings page's "Desktop" card and who we are: the global talk key
// (chosen by pressing it) and the autostart entry.
#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>

#include "log/log.h"
#include "ui/app_bridge.h"
#include "ui/autostart.h"
#include "ui/settings_screen.h"

namespace qur {

QWidget* SettingsScreen::buildDesktop() {
  auto* card = new QFrame(this);
  card->setObjectName(QStringLiteral("card"));
  auto* grid = new QGridLayout(card);
  grid->setContentsMargins(14, 12, 14, 12);
  grid->setColumnStretch(1, 1);
  grid->setColumnMinimumWidth(0, 56);

  _talkKeyLabel = new QLabel(card);
  _talkKeyLabel->setAccessibleName(tr("Talk key"));
  _talkKeyButton = new QPushButton(tr("Choose…"), card);
  _talkKeyButton->setAccessibleName(tr("Choose the talk key"));
  _talkKeyOff = new QPushButton(tr("Off"), card);
  _talkKeyOff->setAccessibleName(tr("No talk key"));
  _talkKeyAvailability = new QLabel(card);
  _talkKeyAvailability->setObjectName(QStringLiteral("caption"));
  _talkKeyAvailability->setWordWrap(true);
  connect(_talkKeyButton, &QPushButton::clicked, this, [this] { captureKey(!_capturing); });
  connect(_talkKeyOff, &QPushButton::clicked, this, [this] {
    captureKey(false);
    setTalkKey(QString());
  });
  auto* keyRow = new QHBoxLayout();
  keyRow->addWidget(_talkKeyLabel, 1);
  keyRow->addWidget(_talkKeyButton);
  keyRow->addWidget(_talkKeyOff);
  grid->addWidget(new QLabel(tr("Talk key"), card), 0, 0);
  grid->addLayout(keyRow, 0, 1);
  grid->addWidget(_talkKeyAvailability, 1, 1);
  if (_context.talkKey) {
    const auto showAvailability = [this] {
      _talkKeyAvailability->setText(_context.talkKey->availability());
    };
    showAvailability();
    connect(_context.talkKey, &GlobalTalkKey::availabilityChanged, this, showAvailability);
  } else {
    _talkKeyAvailability->setText(
        tr("No global talk key here: Space talks while the window "
           "has focus."));
    _talkKeyButton->setEnabled(false);
  }
  // The stored key, or none: nothing is listened to unasked.
  _talkKey = _started.talkKey;
  setTalkKey(_talkKey);

  _startAtLogin = new QCheckBox(tr("Start at login, in the tray"), card);
  _startAtLoginAtOpening = Autostart::isEnabled();
  _startAtLogin->setChecked(_startAtLoginAtOpening);
  _startAtLogin->setVisible(!_context.program.isEmpty());
  _desktopProblem = new QLabel(card);
  _desktopProblem->setObjectName(QStringLiteral("caption"));
  _desktopProblem->setWordWrap(true);
  _desktopProblem->hide();
  connect(_startAtLogin, &QCheckBox::toggled, this, [this](bool on) {
    QString error;
    if (Autostart::setEnabled(on, _context.program, &error)) {
      _desktopProblem->hide();
      return;
    }
    QUR_LOG_ERROR("Start at login: %s", error.toUtf8().constData());
    _desktopProblem->setText(error);
    _desktopProblem->show();
    const QSignalBlocker blocker(_startAtLogin);
    _startAtLogin->setChecked(!on);
  });
  grid->addWidget(_startAtLogin, 2, 1);
  grid->addWidget(_desktopProblem, 3, 1);
  return card;
}

void SettingsScreen::setTalkKey(const QString& keyName) {
  _talkKey = keyName;
  // Applied at once, so the key can be tried before Done.
  if (_context.talkKey && !_context.talkKey->setKey(keyName)) {
    _talkKeyLabel->setText(
        tr("%1 is on no key of this keyboard").arg(GlobalTalkKey::displayName(keyName)));
  } else {
    _talkKeyLabel->setText(keyName.isEmpty() ? tr("Off") : GlobalTalkKey::displayName(keyName));
  }
  _talkKeyOff->setEnabled(!keyName.isEmpty());
}

void SettingsScreen::captureKey(bool on) {
  if (_capturing == on) return;
  _capturing = on;
  _talkKeyButton->setText(on ? tr("Press the key…") : tr("Choose…"));
  // Every key comes here while waiting, even Tab and Enter.
  if (on) {
    grabKeyboard();
  } else {
    releaseKeyboard();
  }
}

void SettingsScreen::keyPressEvent(QKeyEvent* event) {
  if (!_capturing) return QDialog::keyPressEvent(event);
  event->accept();
  if (event->isAutoRepeat()) return;
  // Escape only ends the waiting; the page stays open.
  if (event->key() == Qt::Key_Escape) {
    captureKey(false);
    return;
  }
  const QString name = GlobalTalkKey::keyName(*event);
  if (name.isEmpty()) return;
  captureKey(false);
  setTalkKey(name);
}

}  // namespace qur
