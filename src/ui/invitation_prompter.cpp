#include "ui/invitation_prompter.h"

#include <QLabel>
#include <QTimer>

#include "log/log.h"
#include "ui/desktop_notifier.h"
#include "ui/peer_list_dialog.h"

namespace qur {

InvitationPrompter::InvitationPrompter(Context context, QObject* parent)
    : QObject(parent), _context(std::move(context)) {}

InvitationPrompter::~InvitationPrompter() {
  closeNotification();
  if (_prompt) _prompt->deleteLater();
}

bool InvitationPrompter::windowInFront() const {
  if (_context.windowInFront) return _context.windowInFront();
  QWidget* window = _context.window ? _context.window() : nullptr;
  return window && window->isActiveWindow();
}

void InvitationPrompter::ask(const Invitation& invitation, std::function<void(bool)> answer) {
  const QString peer = QString::fromStdString(invitation.peer);
  const auto connected =
      _context.connectedPeers ? _context.connectedPeers() : std::vector<std::string>();
  // The application files the invitation after telling of it: answers wait
  // one turn of the loop.
  if (connected.size() + 1 >= PeerListDialog::kMaximumPeers) {
    QUR_LOG_INFO("Declining %s: the session is full", invitation.peer.c_str());
    QTimer::singleShot(0, this, [answer] { answer(false); });
    if (_context.showMessage) {
      _context.showMessage(tr("%1 wanted to talk; declined: the session is full (%2 devices).")
                               .arg(peer)
                               .arg(PeerListDialog::kMaximumPeers));
    }
    return;
  }
  // The application asks one question at a time: the open prompt is
  // answered or gone by now (and says so); the next one takes its place.
  if (_prompt) {
    _prompt->disconnect(this);
    _prompt->close();
    _prompt->deleteLater();
  }
  closeNotification();

  QWidget* window = _context.window ? _context.window() : nullptr;
  auto* prompt = new InvitationPrompt(invitation, window);
  prompt->setAttribute(Qt::WA_DeleteOnClose);
  connect(prompt, &InvitationPrompt::answered, this, [this, answer](bool accept) {
    closeNotification();
    answer(accept);
  });
  if (_context.describeKey) _context.describeKey(*prompt);
  _prompt = prompt;
  prompt->open();

  if (_context.notifier && !windowInFront()) {
    const std::uint64_t id = invitation.id;
    QString body = prompt->detailLabel()->text();
    // A changed key must not be missed by someone who answers from the desktop.
    if (!prompt->warningLabel()->text().isEmpty()) body += "\n" + prompt->warningLabel()->text();
    _notification = _context.notifier->notify(
        InvitationPrompt::questionText(invitation), body,
        {{QStringLiteral("default"), tr("Show")},
         {QStringLiteral("decline"), tr("Decline")},
         {QStringLiteral("accept"), tr("Accept")}},
        [this, id, peer](const QString& key) { notificationAction(id, peer, key); });
  }
}

void InvitationPrompter::notificationAction(std::uint64_t id, const QString& peer,
                                            const QString& key) {
  const bool open = _prompt && _prompt->invitation().id == id && !_prompt->isAnswered() &&
                    !_prompt->isWithdrawn();
  if (key == QStringLiteral("default")) {
    if (QWidget* window = _context.window ? _context.window() : nullptr) {
      window->show();
      window->raise();
      window->activateWindow();
    }
    if (_prompt) {
      _prompt->raise();
      _prompt->activateWindow();
    }
    return;
  }
  if (!open) {
    // Too late: the inviter gave up or another invitation took its place.
    if (_context.showMessage) {
      _context.showMessage(tr("%1 is no longer waiting; nothing was answered.").arg(peer));
    }
    return;
  }
  if (key == QStringLiteral("accept")) _prompt->answer(true);
  if (key == QStringLiteral("decline")) _prompt->answer(false);
}

void InvitationPrompter::withdraw(std::uint64_t id) {
  if (!_prompt || _prompt->invitation().id != id) return;
  closeNotification();
  if (_prompt->isAnswered()) return;
  _prompt->withdraw(tr("%1 is no longer waiting; nothing was answered.")
                        .arg(QString::fromStdString(_prompt->invitation().peer)));
}

void InvitationPrompter::closeNotification() {
  if (_notification && _context.notifier) _context.notifier->close(_notification);
  _notification = 0;
}

}  // namespace qur
