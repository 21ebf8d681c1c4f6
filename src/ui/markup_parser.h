// Tagged text to styled text: each tag name maps to text attributes, and the
// text inside nested tags carries the merged attributes of every enclosing
// tag (the innermost wins). Translators mark large words without knowing
// fonts. A text that is not one element already is wrapped in <root>.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <optional>

#include "ui/attributed_text.h"

namespace qur {

using TagAttributes = QMap<QString, TextAttributes>;

// Any thread; one parser object serves one parse.
class MarkupParser {
 public:
  // Null on malformed XML (unbalanced tags, a stray '<' or '&', text outside
  // the single top element), with the reader's message in *error; never a
  // partial result.
  static std::optional<AttributedString> parseString(const QString& text,
                                                     const TagAttributes& tagAttributes,
                                                     QString* error = nullptr);
  // The text, or "<root>" + text + "</root>" when it is not one element on one line.
  static QString preprocessString(const QString& text);

  explicit MarkupParser(TagAttributes tagAttributes);

  // The reader's three events, in document order.
  void didStartElement(const QString& name);
  void foundCharacters(const QString& characters);
  void didEndElement();

  TextAttributes attributesInStack() const;
  const AttributedString& result() const { return _result; }

 private:
  void flushPending();

  TagAttributes _tagAttributes;
  QList<TextAttributes> _attributeStack;
  AttributedString _result;
  std::optional<QString> _currentRange;
};

}  // namespace qur
