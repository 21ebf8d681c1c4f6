// Signals over widgets: a command attached to a button, a slider's value as
// one end of a two-way channel, and the application's active/inactive
// notifications posted from the main window's visibility.
// Main thread unless stated.
#pragma once

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

#include "signals/channel.h"
#include "signals/command.h"

namespace qur {

// Posted (object: the QCoreApplication) when the main window is minimized or
// hidden, and when it is shown again. Losing keyboard focus is not leaving:
// an unfocused desktop window is still in use.
inline constexpr const char* kApplicationWillResignActiveNotification =
    "ApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "ApplicationDidBecomeActiveNotification";

// Keeps the command on the button (ending the previous one's binding): the
// button's enabled state follows the command's, and every click executes it
// with the button as input. Null detaches.
using ButtonCommand = Command<QAbstractButton*, Unit>;
void setCommand(QAbstractButton* button, std::shared_ptr<ButtonCommand> command);
std::shared_ptr<ButtonCommand> command(const QAbstractButton* button);

// A command whose input is ignored, for commands owned by the core.
void setCommand(QAbstractButton* button, std::shared_ptr<Command<Unit, Unit>> command);

// The slider's value after each change by the user or by code (none at
// subscription: add a start value with startWith); a value sent in is set on
// the slider (nil as nilValue); completes when the slider is destroyed.
std::shared_ptr<ChannelTerminal<std::optional<int>>> newValueChannel(QAbstractSlider* slider,
                                                                     int nilValue);

// Watches the top-level window and posts the two notifications above.
class ApplicationActivityNotifier : public QObject {
  Q_OBJECT

 public:
  explicit ApplicationActivityNotifier(QWidget* window);
  bool isActive() const { return _active; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setActive(bool active);

  QPointer<QWidget> _window;
  bool _active = true;
};

}  // namespace qur
