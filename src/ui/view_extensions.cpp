#include "ui/view_extensions.h"

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QWidget>
#include <cmath>
#include <optional>

namespace qur {
namespace {

constexpr const char* kFadeAnimationName = "qur-fade";
constexpr const char* kShowingProperty = "qur-showing";

QGraphicsOpacityEffect* opacityEffect(QWidget* widget) {
  auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
  if (!effect) {
    effect = new QGraphicsOpacityEffect(widget);
    effect->setOpacity(1.0);
    widget->setGraphicsEffect(effect);
  }
  return effect;
}

// A hide may start while a show still fades in; it stops that fade and keeps
// the opacity the show was heading for as the one to restore.
std::optional<double> stopRunningFade(QWidget* widget) {
  std::optional<double> target;
  for (auto* animation : widget->findChildren<QPropertyAnimation*>(
           QString::fromLatin1(kFadeAnimationName), Qt::FindDirectChildrenOnly)) {
    if (animation->state() == QAbstractAnimation::Stopped) continue;
    if (animation->property(kShowingProperty).toBool()) target = animation->endValue().toDouble();
    animation->disconnect();
    animation->stop();
    animation->deleteLater();
  }
  return target;
}

}  // namespace

double widgetOpacity(const QWidget* widget) {
  const auto* effect = qobject_cast<const QGraphicsOpacityEffect*>(widget->graphicsEffect());
  return effect ? effect->opacity() : 1.0;
}

void setWidgetOpacity(QWidget* widget, double opacity) {
  opacityEffect(widget)->setOpacity(opacity);
}

void setHiddenAnimated(QWidget* widget, bool hidden, double duration) {
  if (!widget || widget->isHidden() == hidden) return;
  const std::optional<double> heading = stopRunningFade(widget);
  auto* effect = opacityEffect(widget);
  const double opacity = heading ? *heading : effect->opacity();
  auto* animation = new QPropertyAnimation(effect, "opacity", widget);
  animation->setObjectName(QString::fromLatin1(kFadeAnimationName));
  animation->setDuration(std::max(0, int(std::lround(duration * 1000.0))));
  if (hidden) {
    animation->setStartValue(effect->opacity());
    animation->setEndValue(0.0);
    const QPointer<QWidget> target(widget);
    QObject::connect(animation, &QAbstractAnimation::finished, widget, [target, effect, opacity] {
      if (!target) return;
      target->hide();
      effect->setOpacity(opacity);
    });
  } else {
    effect->setOpacity(0.0);
    widget->show();
    animation->setProperty(kShowingProperty, true);
    animation->setStartValue(0.0);
    animation->setEndValue(opacity);
    if (opacity >= 1.0) {
      // A fully opaque widget needs no effect, which would render it off-screen
      // on every repaint.
      const QPointer<QWidget> target(widget);
      QObject::connect(animation, &QAbstractAnimation::finished, widget, [target] {
        if (target) target->setGraphicsEffect(nullptr);
      });
    }
  }
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}

}  // namespace qur
