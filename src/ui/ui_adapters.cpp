#include "ui/ui_adapters.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include "signals/notification_center.h"
#include "signals/signal_operators.h"

namespace qur {
namespace {

constexpr const char* kCommandHolderName = "qur-command";

// Lives as a child of the button: the binding ends with it.
class CommandHolder final : public QObject {
 public:
  CommandHolder(QAbstractButton* button, std::shared_ptr<ButtonCommand> command,
                std::shared_ptr<Command<Unit, Unit>> plainCommand)
      : QObject(button), _command(std::move(command)), _plainCommand(std::move(plainCommand)) {
    setObjectName(QString::fromLatin1(kCommandHolderName));
    const QPointer<QAbstractButton> weakButton(button);
    const Signal<bool> enabled = _command ? _command->enabled() : _plainCommand->enabled();
    _binding = enabled.subscribeNext([weakButton](const bool& value) {
      // enabled() sends its first value at once and later ones on the main
      // thread; a first value from another thread is moved over.
      if (Scheduler::isOnMainThread()) {
        if (weakButton) weakButton->setEnabled(value);
        return;
      }
      Scheduler::mainThreadScheduler()->schedule([weakButton, value] {
        if (weakButton) weakButton->setEnabled(value);
      });
    });
    QObject::connect(button, &QAbstractButton::clicked, this, [this, weakButton] {
      if (!weakButton) return;
      if (_command) {
        _command->execute(weakButton.data());
      } else {
        _plainCommand->execute(Unit{});
      }
    });
  }
  ~CommandHolder() override {
    if (_binding) _binding->dispose();
  }

  const std::shared_ptr<ButtonCommand>& command() const { return _command; }

 private:
  std::shared_ptr<ButtonCommand> _command;
  std::shared_ptr<Command<Unit, Unit>> _plainCommand;
  DisposablePtr _binding;
};

void replaceHolder(QAbstractButton* button, std::shared_ptr<ButtonCommand> command,
                   std::shared_ptr<Command<Unit, Unit>> plainCommand) {
  if (!button) return;
  for (auto* holder : button->findChildren<CommandHolder*>(QString::fromLatin1(kCommandHolderName),
                                                           Qt::FindDirectChildrenOnly)) {
    delete holder;
  }
  if (command || plainCommand)
    new CommandHolder(button, std::move(command), std::move(plainCommand));
}

}  // namespace

void setCommand(QAbstractButton* button, std::shared_ptr<ButtonCommand> command) {
  replaceHolder(button, std::move(command), nullptr);
}

void setCommand(QAbstractButton* button, std::shared_ptr<Command<Unit, Unit>> command) {
  replaceHolder(button, nullptr, std::move(command));
}

std::shared_ptr<ButtonCommand> command(const QAbstractButton* button) {
  if (!button) return nullptr;
  auto* holder = button->findChild<CommandHolder*>(QString::fromLatin1(kCommandHolderName),
                                                   Qt::FindDirectChildrenOnly);
  return holder ? holder->command() : nullptr;
}

std::shared_ptr<ChannelTerminal<std::optional<int>>> newValueChannel(QAbstractSlider* slider,
                                                                     int nilValue) {
  const QPointer<QAbstractSlider> weakSlider(slider);
  auto values = Signal<std::optional<int>>::create(
      [weakSlider](const SubscriberPtr<std::optional<int>>& subscriber) -> DisposablePtr {
        if (!weakSlider) {
          subscriber->sendCompleted();
          return nullptr;
        }
        // A receiver object per subscription: disconnecting is deleting it.
        auto* receiver = new QObject();
        QObject::connect(weakSlider, &QAbstractSlider::valueChanged, receiver,
                         [subscriber](int value) { subscriber->sendNext(value); });
        const QPointer<QObject> weakReceiver(receiver);
        QObject::connect(weakSlider, &QObject::destroyed, receiver, [subscriber, weakReceiver] {
          subscriber->sendCompleted();
          if (weakReceiver) weakReceiver->deleteLater();
        });
        // Later, never at once: disposal may come from inside the receiver's own slot.
        return Disposable::create([weakReceiver] {
          if (weakReceiver) weakReceiver->deleteLater();
        });
      });
  auto toSlider = BlockSubscriber<std::optional<int>>::create(
      [weakSlider, nilValue](const std::optional<int>& value) {
        const int target = value.value_or(nilValue);
        auto apply = [weakSlider, target] {
          if (weakSlider) weakSlider->setValue(target);
        };
        if (Scheduler::isOnMainThread()) {
          apply();
        } else {
          Scheduler::mainThreadScheduler()->schedule(apply);
        }
      });
  return ChannelTerminal<std::optional<int>>::create(std::move(values), std::move(toSlider));
}

ApplicationActivityNotifier::ApplicationActivityNotifier(QWidget* window)
    : QObject(window), _window(window) {
  if (window) window->installEventFilter(this);
}

bool ApplicationActivityNotifier::eventFilter(QObject* watched, QEvent* event) {
  if (watched == _window) {
    switch (event->type()) {
      case QEvent::Hide:
        setActive(false);
        break;
      case QEvent::Show:
        setActive(!_window->isMinimized());
        break;
      case QEvent::WindowStateChange:
        setActive(!_window->isMinimized() && _window->isVisible());
        break;
      default:
        break;
    }
  }
  return QObject::eventFilter(watched, event);
}

void ApplicationActivityNotifier::setActive(bool active) {
  if (_active == active) return;
  _active = active;
  NotificationCenter::defaultCenter().post(
      active ? kApplicationDidBecomeActiveNotification : kApplicationWillResignActiveNotification,
      QCoreApplication::instance());
}

}  // namespace qur
