#include "ui/attributed_text.h"

#include <QColor>
#include <QFontMetricsF>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace qur {

void AttributedString::appendString(const QString& text, const TextAttributes& attributes) {
  if (text.isEmpty()) return;
  _runs.append({text, attributes});
}

QString AttributedString::string() const {
  QString text;
  for (const auto& run : _runs) text += run.text;
  return text;
}

qsizetype AttributedString::length() const {
  qsizetype length = 0;
  for (const auto& run : _runs) length += run.text.size();
  return length;
}

void AttributedString::renderInto(QTextDocument& document) const {
  document.clear();
  document.setDocumentMargin(0);
  QTextCursor cursor(&document);
  bool firstBlock = true;
  for (const auto& run : _runs) {
    QTextCharFormat format;
    if (run.attributes.contains(kFontAttribute)) {
      format.setFont(run.attributes.value(kFontAttribute).value<QFont>());
    }
    if (run.attributes.contains(kColorAttribute)) {
      format.setForeground(run.attributes.value(kColorAttribute).value<QColor>());
    }
    QTextBlockFormat block;
    block.setAlignment(
        Qt::Alignment(run.attributes.value(kAlignmentAttribute, int(Qt::AlignHCenter)).toInt()));
    block.setTopMargin(0);
    block.setBottomMargin(0);
    if (run.attributes.contains(kMaximumLineHeightAttribute)) {
      block.setLineHeight(run.attributes.value(kMaximumLineHeightAttribute).toDouble(),
                          QTextBlockFormat::FixedHeight);
    }
    const QStringList lines = run.text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
      if (i > 0) cursor.insertBlock(block, format);
      if (firstBlock) {
        cursor.setBlockFormat(block);
        firstBlock = false;
      } else if (!lines[i].trimmed().isEmpty()) {
        // The tallest run on a line decides its height.
        QTextBlockFormat current = cursor.blockFormat();
        if (block.lineHeight() > current.lineHeight()) cursor.setBlockFormat(block);
      }
      if (!lines[i].isEmpty()) cursor.insertText(lines[i], format);
    }
  }
}

TextRange rangeForWholeString(const QString& text) {
  return {0, text.size()};
}
TextRange rangeForWholeString(const AttributedString& text) {
  return {0, text.length()};
}

}  // namespace qur
