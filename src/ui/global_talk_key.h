// The talk key that works while another application has focus: on X11 the
// server's raw key events (XInput2: every press and release, no grab, so the
// focused application still gets the key), on Wayland the desktop portal's
// global shortcuts where the desktop offers them. Off until a key is set.
// Main thread.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QKeyEvent;

namespace qur {

class GlobalTalkKey : public QObject {
  Q_OBJECT

 public:
  enum class Backend { Unavailable, X11, Portal };

  // The backend this session offers (X11 on an X server with XInput2, the
  // portal on Wayland when it has global shortcuts), or one that only says
  // why there is none.
  static std::unique_ptr<GlobalTalkKey> create(QObject* parent = nullptr);
  ~GlobalTalkKey() override = default;

  virtual Backend backend() const = 0;
  // One line for the settings page: where the key works, or why it cannot.
  virtual QString availability() const = 0;
  // The key by its X keysym name ("F8", "Control_R", "Pause"); empty: off.
  // False when the key has no name the backend knows (it stays off).
  virtual bool setKey(const QString& keyName) = 0;
  virtual QString key() const = 0;
  // Whether the key is down now (as this object last heard).
  bool isHeld() const { return _held; }

  // The name to store for a key the user pressed; empty for one that cannot
  // be a talk key (Escape).
  static QString keyName(const QKeyEvent& event);
  // The name as people read it ("F8", "Right Ctrl").
  static QString displayName(const QString& keyName);

 Q_SIGNALS:
  // Once per press however long the key is held (auto-repeat folded), and
  // once at its release.
  void pressed();
  void released();
  // The availability line changed (the portal answers later than it is asked).
  void availabilityChanged();

 protected:
  explicit GlobalTalkKey(QObject* parent) : QObject(parent) {}
  // Backends report here; repeats and stray releases go no further.
  void keyDown();
  void keyUp();

 private:
  bool _held = false;
};

}  // namespace qur
