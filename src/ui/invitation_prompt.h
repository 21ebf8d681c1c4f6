// The question an incoming invitation asks: "NAME wants to talk" (or, for a
// device a member introduced, "NAME, introduced by MEMBER, wants to join"),
// Accept or Decline, with the inviter's identifier, address and key. Enter accepts, Escape (or
// closing the window) declines; the dialog itself holds the focus, so a Space held for talking
// presses neither button. Once the inviter gives up, the buttons go and the text says so: nothing
// is answered any more. Main thread.
#pragma once

#include <QDialog>
#include <QString>

#include "app/walkie_talkie_app.h"

class QLabel;
class QPushButton;

namespace qur {

class InvitationPrompt : public QDialog {
  Q_OBJECT

 public:
  InvitationPrompt(const Invitation& invitation, QWidget* parent);

  const Invitation& invitation() const { return _invitation; }

  // A short key fingerprint of the inviter; empty hides the line.
  void setFingerprint(const QString& fingerprint);
  // A loud warning (the inviter's key changed); empty hides it.
  void setKeyChangedWarning(const QString& warning);

  // Answers once; nothing after the first answer or a withdrawal.
  void answer(bool accept);
  bool isAnswered() const { return _answered; }
  // The inviter gave up: the question stays readable with why, and a Close.
  void withdraw(const QString& why);
  bool isWithdrawn() const { return _withdrawn; }

  QLabel* questionLabel() const { return _question; }
  QLabel* detailLabel() const { return _detail; }
  QLabel* fingerprintLabel() const { return _fingerprint; }
  QLabel* warningLabel() const { return _warning; }
  QPushButton* acceptButton() const { return _accept; }
  QPushButton* declineButton() const { return _decline; }
  QPushButton* closeButton() const { return _close; }

  static QString questionText(const Invitation& invitation);

 Q_SIGNALS:
  void answered(bool accept);

 public Q_SLOTS:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  Invitation _invitation;
  bool _answered = false;
  bool _withdrawn = false;
  QLabel* _question;
  QLabel* _detail;
  QLabel* _fingerprint;
  QLabel* _warning;
  QPushButton* _accept;
  QPushButton* _decline;
  QPushButton* _close;
};

}  // namespace qur
