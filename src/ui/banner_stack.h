// Lines on the main screen that say what went wrong or what happened: a
// warning stays until the user closes it or its cause is gone (a peer that
// comes back takes its "left" line away), a note goes after a few seconds.
// Each may carry one action button. The newest is at the top. Main thread.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <vector>

namespace qur {

class Banner : public QFrame {
  Q_OBJECT

 public:
  enum class Kind { Warning, Note };

  Banner(QString key, Kind kind, QWidget* parent);
  const QString& key() const { return _key; }
  Kind kind() const { return _kind; }
  QLabel* label() const { return _label; }
  QPushButton* actionButton() const { return _action; }
  QToolButton* closeButton() const { return _close; }
  void setText(const QString& text);
  void setAction(const QString& text, std::function<void()> action);

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 Q_SIGNALS:
  void closeRequested();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layOut();

  QString _key;
  Kind _kind;
  QLabel* _label;
  QPushButton* _action = nullptr;
  std::function<void()> _onAction;
  QToolButton* _close;
};

class BannerStack : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kNoteMs = 5000;
  static constexpr int kSpacing = 6;

  explicit BannerStack(QWidget* parent = nullptr);

  // Shows the line under the key, replacing one of the same key; the newest
  // goes to the top.
  Banner* showBanner(const QString& key, Banner::Kind kind, const QString& text);
  void dismiss(const QString& key);
  // Keys starting with the prefix.
  void dismissMatching(const QString& prefix);
  Banner* banner(const QString& key) const;
  // Newest first.
  std::vector<Banner*> banners() const;
  Banner* newest() const;

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  // The banners that fit in the height, newest first; those below are hidden.
  void layOutWithin(int height);

 Q_SIGNALS:
  // A banner came or went: the owner lays the screen out again.
  void changed();

 private:
  void remove(Banner* banner);

  std::vector<QPointer<Banner>> _banners;  // newest first
};

}  // namespace qur
