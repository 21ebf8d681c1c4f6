// How well a peer's voice reaches us, as three small bars beside its name:
// all three green for a good link, two amber for a fair one, one red for a
// poor one, three grey outlines before the peer has talked. The painter is
// a free function so any view can draw it; the widget is the ready-made
// 14 x 12 px form. Main thread.
#pragma once

#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace qur {

struct PeerLink;

enum class LinkQuality { Unknown, Good, Fair, Poor };

LinkQuality linkQualityOf(const PeerLink& link);
void paintLinkQuality(QPainter& painter, const QRectF& area, LinkQuality quality);
// The figures behind the bars, for a tooltip.
QString linkQualityDescription(const PeerLink& link);

class LinkQualityIndicator : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 14;
  static constexpr int kHeight = 12;

  explicit LinkQualityIndicator(QWidget* parent = nullptr);
  LinkQuality quality() const { return _quality; }
  void setLink(const PeerLink& link);
  QSize sizeHint() const override { return {kWidth, kHeight}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  LinkQuality _quality = LinkQuality::Unknown;
};

}  // namespace qur
