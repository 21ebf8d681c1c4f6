// Small helpers on widgets: an animated show and hide by opacity.
// Main thread.
#pragma once

class QWidget;

namespace qur {

// Fades the widget out (then hides it and restores its opacity, so a plain
// show later brings back the old opacity) or shows it and fades it in from 0.
// Nothing happens when the widget is already in the requested state.
void setHiddenAnimated(QWidget* widget, bool hidden, double duration);

// The widget's own opacity (1 when it has no opacity effect).
double widgetOpacity(const QWidget* widget);
void setWidgetOpacity(QWidget* widget, double opacity);

}  // namespace qur
