// Turns the application's invitations into prompts for the window: one
// question at a time, in the order the application asks them (the next one
// once the open one is answered or gone), a desktop notification when the window is not in
// front, and the window's one-peer limit. An invitation that arrives while
// a peer is connected is declined at once and the screen says so. Main
// thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/walkie_talkie_app.h"
#include "ui/invitation_prompt.h"

namespace qur {

class DesktopNotifier;

class InvitationPrompter : public QObject {
  Q_OBJECT

 public:
  struct Context {
    // The window prompts belong to; null: prompts of their own.
    std::function<QWidget*()> window;
    // Whether the user looks at the window; unset: the window is active.
    std::function<bool()> windowInFront;
    // The connected peers' names; unset: none.
    std::function<std::vector<std::string>()> connectedPeers;
    // A line on the main screen.
    std::function<void(const QString&)> showMessage;
    // Null: no desktop notifications.
    DesktopNotifier* notifier = nullptr;
    // Fills a new prompt's key lines (fingerprint, key-changed warning)
    // before it shows; unset: they stay empty.
    std::function<void(InvitationPrompt&)> describeKey;
  };

  explicit InvitationPrompter(Context context, QObject* parent = nullptr);
  ~InvitationPrompter() override;

  // Asks the user (or declines at the limit); answer goes to the application.
  void ask(const Invitation& invitation, std::function<void(bool)> answer);
  // The invitation is gone: its prompt says so and no longer answers.
  void withdraw(std::uint64_t id);

  // The open question, if any.
  InvitationPrompt* current() const { return _prompt; }
  quint64 notification() const { return _notification; }

 private:
  void notificationAction(std::uint64_t id, const QString& peer, const QString& key);
  void closeNotification();
  bool windowInFront() const;

  Context _context;
  QPointer<InvitationPrompt> _prompt;
  quint64 _notification = 0;
};

}  // namespace qur
