// The one place that names the application's colours, fonts and background.
#pragma once

#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QRectF>

namespace qur {

class Styles {
 public:
  static QColor transmitButtonColor();
  static QColor transmitButtonPulseColor();
  static QColor transmitButtonPressedColor();
  static QColor transmitButtonDisabledColor();
  static QColor peerDotIconColor();
  static QColor peerDotPulseColor();
  static QColor peerDotLabelColor();
  // Text on the talk button and the screen's small buttons.
  static QColor labelColor();

  // The light sans-serif every label uses; Debian ships it in fonts-dejavu-extra.
  static constexpr const char* kLightFontFamily = "DejaVu Sans";
  static QFont peerDotLabelFont();
  static QFont talkButtonSmallFont();
  static QFont talkButtonLargeFont();
  static QFont screenButtonFont();

  // Black at the top edge of the rectangle, slate at the bottom.
  static QLinearGradient applicationBackgroundGradient(const QRectF& rect);
  static QColor applicationBackgroundTopColor();
  static QColor applicationBackgroundBottomColor();
};

}  // namespace qur
