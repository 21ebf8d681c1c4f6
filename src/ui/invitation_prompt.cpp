#include "ui/invitation_prompt.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/styles.h"

namespace qur {
namespace {

QString css(const QColor& colour) {
  return colour.name(QColor::HexArgb);
}

// Two inviters may share a name; who and where they are tells them apart.
QString detailText(const Invitation& invitation) {
  const QString id = QString::fromStdString(invitation.identifier.substr(0, 8));
  const QString address = QString::fromStdString(invitation.address);
  if (!id.isEmpty() && !address.isEmpty()) return InvitationPrompt::tr("%1 at %2").arg(id, address);
  return id.isEmpty() ? address : id;
}

class GradientBackground : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      auto* widget = static_cast<QWidget*>(watched);
      QPainter painter(widget);
      painter.fillRect(widget->rect(),
                       Styles::applicationBackgroundGradient(QRectF(widget->rect())));
    }
    return false;
  }
};

}  // namespace

QString InvitationPrompt::questionText(const Invitation& invitation) {
  const QString peer = QString::fromStdString(invitation.peer);
  if (!invitation.introducedBy.empty()) {
    return tr("%1, introduced by %2, wants to join")
        .arg(peer, QString::fromStdString(invitation.introducedBy));
  }
  return tr("%1 wants to talk").arg(peer);
}

InvitationPrompt::InvitationPrompt(const Invitation& invitation, QWidget* parent)
    : QDialog(parent), _invitation(invitation) {
  setWindowTitle(tr("Invitation"));
  setObjectName(QStringLiteral("invitationPrompt"));
  installEventFilter(new GradientBackground(this));
  setStyleSheet(
      QStringLiteral(
          "QLabel { color: white; }"
          "QLabel#question { font-size: 21px; font-weight: 300; }"
          "QLabel#detail { color: rgba(255,255,255,150); font-size: 12px; }"
          "QLabel#fingerprint { color: rgba(255,255,255,200); font-size: 13px;"
          " font-family: 'DejaVu Sans Mono'; }"
          "QLabel#warning { color: white; background: %2; border-radius: 6px; padding: 6px 8px;"
          " font-size: 13px; font-weight: 600; }"
          "QPushButton { color: white; background: rgba(255,255,255,28);"
          " border: 1px solid rgba(255,255,255,60); border-radius: 6px; padding: 6px 16px;"
          " font-size: 15px; }"
          "QPushButton:pressed { background: rgba(255,255,255,60); }"
          "QPushButton:focus { border-color: white; }"
          "QPushButton#accept { background: %1; border: none; font-weight: 600; }")
          .arg(css(Styles::transmitButtonColor()), css(Styles::transmitButtonPressedColor())));

  _question = new QLabel(questionText(invitation), this);
  _question->setObjectName(QStringLiteral("question"));
  _question->setWordWrap(true);
  _detail = new QLabel(detailText(invitation), this);
  _detail->setObjectName(QStringLiteral("detail"));
  _detail->setWordWrap(true);
  _detail->setVisible(!_detail->text().isEmpty());
  _fingerprint = new QLabel(this);
  _fingerprint->setObjectName(QStringLiteral("fingerprint"));
  _fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
  _fingerprint->hide();
  _warning = new QLabel(this);
  _warning->setObjectName(QStringLiteral("warning"));
  _warning->setWordWrap(true);
  _warning->hide();

  _decline = new QPushButton(tr("Decline"), this);
  _accept = new QPushButton(tr("Accept"), this);
  _accept->setObjectName(QStringLiteral("accept"));
  _close = new QPushButton(tr("Close"), this);
  _close->hide();
  for (auto* button : {_decline, _accept, _close}) {
    button->setAutoDefault(false);
    // Tab reaches them; a Space held for talking does not.
    button->setFocusPolicy(Qt::TabFocus);
  }
  _accept->setDefault(true);
  setFocusPolicy(Qt::StrongFocus);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  buttons->addWidget(_decline);
  buttons->addWidget(_accept);
  buttons->addWidget(_close);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 20, 24, 18);
  layout->setSpacing(8);
  layout->addWidget(_question);
  layout->addWidget(_detail);
  layout->addWidget(_fingerprint);
  layout->addWidget(_warning);
  layout->addSpacing(10);
  layout->addLayout(buttons);
  setMinimumWidth(420);

  connect(_accept, &QPushButton::clicked, this, [this] { answer(true); });
  connect(_decline, &QPushButton::clicked, this, [this] { answer(false); });
  connect(_close, &QPushButton::clicked, this, [this] { QDialog::reject(); });

  // The key the inviter proved in the handshake, against the one pinned for
  // its name.
  if (!invitation.fingerprint.empty()) {
    QString key = QString::fromStdString(invitation.fingerprint);
    if (invitation.trust == "new") key += tr("  (first time)");
    if (invitation.trust.rfind("known", 0) == 0)
      key += tr("  (%1)").arg(QString::fromStdString(invitation.trust));
    setFingerprint(key);
  }
  const bool lookalike = invitation.trust.rfind("looks like ", 0) == 0;
  if (invitation.trust == "key changed") {
    setKeyChangedWarning(tr("Key changed: this is not the key %1 used before. Another device "
                            "may be using the name; accept only if you know why.")
                             .arg(QString::fromStdString(invitation.peer)));
  } else if (lookalike) {
    setKeyChangedWarning(tr("Look-alike name: %1 %2, a name you accepted with another key. "
                            "Another device may pose as it; accept only if you know why.")
                             .arg(QString::fromStdString(invitation.peer),
                                  QString::fromStdString(invitation.trust)));
  }
  if (invitation.trust == "key changed" || lookalike) {
    // Enter must not let an impostor in, and Accept no longer looks like the
    // obvious choice.
    _accept->setDefault(false);
    _accept->setObjectName(QStringLiteral("acceptDespiteWarning"));
    _accept->style()->unpolish(_accept);
    _accept->style()->polish(_accept);
    _decline->setDefault(true);
  }
}

void InvitationPrompt::setFingerprint(const QString& fingerprint) {
  _fingerprint->setText(fingerprint.isEmpty() ? QString() : tr("Key %1").arg(fingerprint));
  _fingerprint->setVisible(!fingerprint.isEmpty());
  adjustSize();
}

void InvitationPrompt::setKeyChangedWarning(const QString& warning) {
  _warning->setText(warning);
  _warning->setVisible(!warning.isEmpty());
  adjustSize();
}

void InvitationPrompt::answer(bool accept) {
  if (_answered || _withdrawn) return;
  _answered = true;
  Q_EMIT answered(accept);
  done(accept ? QDialog::Accepted : QDialog::Rejected);
}

void InvitationPrompt::withdraw(const QString& why) {
  if (_answered || _withdrawn) return;
  _withdrawn = true;
  _detail->setText(why);
  _detail->show();
  _accept->hide();
  _decline->hide();
  _close->show();
  _close->setDefault(true);
  setFocus();
}

void InvitationPrompt::reject() {
  // Escape or the window's close button: the safe answer.
  if (!_answered && !_withdrawn) return answer(false);
  QDialog::reject();
}

void InvitationPrompt::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  setFocus();
}

void InvitationPrompt::keyPressEvent(QKeyEvent* event) {
  // Space goes to a button only when the user tabbed to it.
  if (event->key() == Qt::Key_Space && focusWidget() == this) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace qur
