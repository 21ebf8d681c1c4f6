// Styled text as runs: each run carries the attributes of the tags around it.
// The stack helpers keep one attribute set per open element.
#pragma once

#include <QFont>
#include <QList>
#include <QString>
#include <QVariantMap>
#include <optional>

class QTextDocument;

namespace qur {

// Attribute keys a run may carry; unknown keys are kept and ignored by rendering.
inline constexpr const char* kFontAttribute = "font";                  // QFont
inline constexpr const char* kColorAttribute = "color";                // QColor
inline constexpr const char* kAlignmentAttribute = "alignment";        // int (Qt::Alignment)
inline constexpr const char* kMaximumLineHeightAttribute = "maxLine";  // double, pixels

using TextAttributes = QVariantMap;

struct TextRun {
  QString text;
  TextAttributes attributes;
  bool operator==(const TextRun&) const = default;
};

// Any thread (plain value).
class AttributedString {
 public:
  // Appends the text carrying exactly these attributes (empty text adds nothing).
  void appendString(const QString& text, const TextAttributes& attributes);
  const QList<TextRun>& runs() const { return _runs; }
  QString string() const;
  // Length in UTF-16 units, as rangeForWholeString reports it.
  qsizetype length() const;
  bool isEmpty() const { return _runs.isEmpty(); }

  // Main thread (text layout): fills the document with one block per line,
  // fonts, colours and line heights taken from the runs.
  void renderInto(QTextDocument& document) const;

 private:
  QList<TextRun> _runs;
};

struct TextRange {
  qsizetype location = 0;
  qsizetype length = 0;
  bool operator==(const TextRange&) const = default;
};

TextRange rangeForWholeString(const QString& text);
TextRange rangeForWholeString(const AttributedString& text);

// Stack operations on a list: the last element is the top.
template <class T>
void push(QList<T>& stack, T value) {
  stack.append(std::move(value));
}
template <class T>
std::optional<T> pop(QList<T>& stack) {
  if (stack.isEmpty()) return std::nullopt;
  return stack.takeLast();
}
template <class T>
std::optional<T> peek(const QList<T>& stack) {
  if (stack.isEmpty()) return std::nullopt;
  return stack.last();
}

}  // namespace qur
