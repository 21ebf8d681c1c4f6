#include "ui/banner_stack.h"

#include <QResizeEvent>
#include <algorithm>

#include "ui/styles.h"

namespace qur {
namespace {

constexpr int kPadding = 8;
constexpr int kGap = 6;

QString bannerStyle(Banner::Kind kind) {
  const QString edge = kind == Banner::Kind::Warning ? QStringLiteral("rgb(240, 150, 110)")
                                                     : QStringLiteral("rgba(255, 255, 255, 90)");
  return QStringLiteral(
             "qur--Banner { background: rgba(20, 28, 36, 225); border-radius: 8px;"
             " border-left: 4px solid %1; }"
             "QLabel { color: white; font-size: 14px; background: transparent; }"
             "QPushButton { color: white; background: rgba(255,255,255,28);"
             " border: 1px solid rgba(255,255,255,60); border-radius: 6px; padding: 3px 10px; }"
             "QPushButton:focus, QToolButton:focus { border-color: white; }"
             "QToolButton { color: rgba(255,255,255,170); background: transparent;"
             " border: 1px solid transparent; border-radius: 4px; font-size: 14px; }")
      .arg(edge);
}

}  // namespace

Banner::Banner(QString key, Kind kind, QWidget* parent)
    : QFrame(parent), _key(std::move(key)), _kind(kind) {
  setStyleSheet(bannerStyle(kind));
  setAttribute(Qt::WA_StyledBackground);
  _label = new QLabel(this);
  _label->setWordWrap(true);
  _label->setTextFormat(Qt::PlainText);
  _label->setObjectName(QStringLiteral("bannerText"));
  _close = new QToolButton(this);
  _close->setText(QStringLiteral("✕"));
  _close->setAccessibleName(tr("Close"));
  _close->setToolTip(tr("Close"));
  _close->setFocusPolicy(Qt::TabFocus);
  _close->setCursor(Qt::PointingHandCursor);
  connect(_close, &QToolButton::clicked, this, &Banner::closeRequested);
}

void Banner::setText(const QString& text) {
  _label->setText(text);
  _label->setAccessibleName(text);
  updateGeometry();
  layOut();
}

void Banner::setAction(const QString& text, std::function<void()> action) {
  if (!_action) {
    _action = new QPushButton(this);
    _action->setFocusPolicy(Qt::TabFocus);
    _action->setAutoDefault(true);
    _action->setCursor(Qt::PointingHandCursor);
    connect(_action, &QPushButton::clicked, this, [this] {
      if (_onAction) _onAction();
    });
  }
  _action->setText(text);
  _action->show();
  _onAction = std::move(action);
  updateGeometry();
  layOut();
}

// Text on the left, then the action and the close button on the text's
// first line; the text wraps into what is left.
int Banner::heightForWidth(int width) const {
  int buttons = _close->sizeHint().width() + kGap;
  int buttonHeight = _close->sizeHint().height();
  if (_action && _action->isVisibleTo(this)) {
    buttons += _action->sizeHint().width() + kGap;
    buttonHeight = std::max(buttonHeight, _action->sizeHint().height());
  }
  const int textWidth = std::max(40, width - 2 * kPadding - 4 - buttons);
  return std::max(_label->heightForWidth(textWidth), buttonHeight) + 2 * kPadding;
}

QSize Banner::sizeHint() const {
  return {300, heightForWidth(300)};
}

QSize Banner::minimumSizeHint() const {
  return {160, heightForWidth(160)};
}

void Banner::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  layOut();
}

void Banner::layOut() {
  const int w = width();
  const QSize close = _close->sizeHint();
  int right = w - kPadding;
  _close->setGeometry(right - close.width(), kPadding, close.width(), close.height());
  right -= close.width() + kGap;
  int lineHeight = close.height();
  if (_action && _action->isVisibleTo(this)) {
    const QSize action = _action->sizeHint();
    _action->setGeometry(right - action.width(), kPadding, action.width(), action.height());
    right -= action.width() + kGap;
    lineHeight = std::max(lineHeight, action.height());
  }
  const int left = kPadding + 4;
  const int textWidth = std::max(40, right - left);
  const int textHeight = _label->heightForWidth(textWidth);
  // A one-line text sits in the middle of the buttons' line.
  const int top = kPadding + std::max(0, (lineHeight - textHeight) / 2);
  _label->setGeometry(left, top, textWidth, textHeight);
}

BannerStack::BannerStack(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
}

Banner* BannerStack::showBanner(const QString& key, Banner::Kind kind, const QString& text) {
  Banner* banner = this->banner(key);
  if (banner && banner->kind() != kind) {
    remove(banner);
    banner = nullptr;
  }
  if (!banner) {
    banner = new Banner(key, kind, this);
    connect(banner, &Banner::closeRequested, this, [this, banner] { remove(banner); });
    if (kind == Banner::Kind::Note) {
      auto* timer = new QTimer(banner);
      timer->setSingleShot(true);
      timer->setObjectName(QStringLiteral("noteTimer"));
      connect(timer, &QTimer::timeout, this, [this, banner] { remove(banner); });
    }
  } else {
    std::erase(_banners, QPointer<Banner>(banner));
  }
  _banners.insert(_banners.begin(), banner);
  banner->setText(text);
  if (auto* timer = banner->findChild<QTimer*>(QStringLiteral("noteTimer"))) timer->start(kNoteMs);
  banner->show();
  Q_EMIT changed();
  return banner;
}

void BannerStack::dismiss(const QString& key) {
  if (Banner* banner = this->banner(key)) remove(banner);
}

void BannerStack::dismissMatching(const QString& prefix) {
  for (Banner* banner : banners()) {
    if (banner->key().startsWith(prefix)) remove(banner);
  }
}

Banner* BannerStack::banner(const QString& key) const {
  for (const auto& banner : _banners) {
    if (banner && banner->key() == key) return banner;
  }
  return nullptr;
}

std::vector<Banner*> BannerStack::banners() const {
  std::vector<Banner*> out;
  for (const auto& banner : _banners) {
    if (banner) out.push_back(banner);
  }
  return out;
}

Banner* BannerStack::newest() const {
  const auto all = banners();
  return all.empty() ? nullptr : all.front();
}

void BannerStack::remove(Banner* banner) {
  std::erase(_banners, QPointer<Banner>(banner));
  banner->hide();
  banner->deleteLater();
  Q_EMIT changed();
}

int BannerStack::heightForWidth(int width) const {
  int height = 0;
  for (Banner* banner : banners()) {
    height += (height > 0 ? kSpacing : 0) + banner->heightForWidth(width);
  }
  return height;
}

QSize BannerStack::sizeHint() const {
  return {300, heightForWidth(300)};
}

void BannerStack::layOutWithin(int height) {
  int y = 0;
  bool full = false;
  for (Banner* banner : banners()) {
    const int h = banner->heightForWidth(width());
    // An older line that does not fit waits out of sight until newer ones go.
    full = full || y + h > height;
    banner->setVisible(!full);
    if (full) continue;
    banner->setGeometry(0, y, width(), h);
    y += h + kSpacing;
  }
}

}  // namespace qur
