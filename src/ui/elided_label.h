// A one-line label that ends in an ellipsis when its text does not fit and
// then shows the whole text as its tooltip; it never asks for more width
// than a few characters, so a long text cannot push its neighbours out.
// Main thread.
#pragma once

#include <QLabel>
#include <QString>

namespace qur {

class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ElidedLabel(const QString& text = {}, QWidget* parent = nullptr);

  void setFullText(const QString& text);
  const QString& fullText() const { return _fullText; }
  // Whether the text is cut now.
  bool isElided() const;

  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void refresh();

  QString _fullText;
};

}  // namespace qur
