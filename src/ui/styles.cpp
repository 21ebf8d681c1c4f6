#include "ui/styles.h"

namespace qur {
namespace {

QColor rgba(float red, float green, float blue, float alpha) {
  return QColor::fromRgbF(red, green, blue, alpha);
}

// Device-independent pixel sizes, so the label keeps its size on every screen.
QFont lightFont(int pixelSize, QFont::Weight weight) {
  QFont font(Styles::kLightFontFamily);
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  font.setStyleStrategy(QFont::PreferAntialias);
  return font;
}

}  // namespace

QColor Styles::transmitButtonColor() {
  return rgba(0.204f, 0.596f, 0.859f, 1.0f);
}
QColor Styles::transmitButtonPulseColor() {
  return rgba(0.204f, 0.596f, 0.859f, 0.5f);
}
QColor Styles::transmitButtonPressedColor() {
  return rgba(0.573f, 0.145f, 0.365f, 1.0f);
}
QColor Styles::transmitButtonDisabledColor() {
  return rgba(0.549f, 0.596f, 0.600f, 1.0f);
}
QColor Styles::peerDotIconColor() {
  return rgba(0.98f, 1.0f, 0.129f, 1.0f);
}
QColor Styles::peerDotPulseColor() {
  return rgba(0.98f, 1.0f, 0.129f, 0.5f);
}
QColor Styles::peerDotLabelColor() {
  return rgba(0.98f, 1.0f, 0.129f, 0.5f);
}
QColor Styles::labelColor() {
  return QColor(Qt::white);
}

QFont Styles::peerDotLabelFont() {
  return lightFont(15, QFont::Light);
}
QFont Styles::talkButtonSmallFont() {
  return lightFont(30, QFont::ExtraLight);
}
QFont Styles::talkButtonLargeFont() {
  return lightFont(70, QFont::ExtraLight);
}
QFont Styles::screenButtonFont() {
  return lightFont(17, QFont::Light);
}

QColor Styles::applicationBackgroundTopColor() {
  return rgba(0.0f, 0.0f, 0.0f, 1.0f);
}
QColor Styles::applicationBackgroundBottomColor() {
  return rgba(0.173f, 0.243f, 0.314f, 1.0f);
}

QLinearGradient Styles::applicationBackgroundGradient(const QRectF& rect) {
  QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
  gradient.setColorAt(0.0, applicationBackgroundTopColor());
  gradient.setColorAt(1.0, applicationBackgroundBottomColor());
  return gradient;
}

}  // namespace qur
