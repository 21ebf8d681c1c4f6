#include "ui/markup_parser.h"

#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

namespace qur {
namespace {

// One start tag, content on one line, its own end tag, nothing around but whitespace.
const QRegularExpression& wrappedTest() {
  static const QRegularExpression expression(
      QStringList{
          QStringLiteral("# leading whitespace"),
          QStringLiteral("^\\s*"),
          QStringLiteral("# start tag, capturing tag name into group 1"),
          QStringLiteral("<([^/][^\\s]*)[^>]*>"),
          QStringLiteral("# content, non-greedy"),
          QStringLiteral(".*?"),
          QStringLiteral("# end tag"),
          QStringLiteral("</\\1>"),
          QStringLiteral("# trailing whitespace"),
          QStringLiteral("\\s*$"),
      }
          .join(QLatin1Char('\n')),
      QRegularExpression::ExtendedPatternSyntaxOption);
  return expression;
}

}  // namespace

QString MarkupParser::preprocessString(const QString& text) {
  if (wrappedTest().match(text).hasMatch()) return text;
  return QStringLiteral("<root>") + text + QStringLiteral("</root>");
}

std::optional<AttributedString> MarkupParser::parseString(const QString& text,
                                                          const TagAttributes& tagAttributes,
                                                          QString* error) {
  if (error) error->clear();
  MarkupParser parser(tagAttributes);
  QXmlStreamReader reader(preprocessString(text).toUtf8());
  while (!reader.atEnd()) {
    switch (reader.readNext()) {
      case QXmlStreamReader::StartElement:
        parser.didStartElement(reader.name().toString());
        break;
      case QXmlStreamReader::EndElement:
        parser.didEndElement();
        break;
      case QXmlStreamReader::Characters:
        // CDATA sections contribute nothing, like comments and instructions.
        if (!reader.isCDATA()) parser.foundCharacters(reader.text().toString());
        break;
      default:
        break;
    }
  }
  if (reader.hasError()) {
    if (error) {
      *error = QStringLiteral("line %1, column %2: %3")
                   .arg(reader.lineNumber())
                   .arg(reader.columnNumber())
                   .arg(reader.errorString());
    }
    return std::nullopt;
  }
  return parser.result();
}

MarkupParser::MarkupParser(TagAttributes tagAttributes)
    : _tagAttributes(std::move(tagAttributes)) {}

void MarkupParser::flushPending() {
  if (!_currentRange) return;
  _result.appendString(*_currentRange, attributesInStack());
  _currentRange.reset();
}

void MarkupParser::didStartElement(const QString& name) {
  flushPending();
  push(_attributeStack, _tagAttributes.value(name));
}

void MarkupParser::foundCharacters(const QString& characters) {
  // The reader may split one run of text; the pieces join up here.
  if (!_currentRange) _currentRange = QString();
  *_currentRange += characters;
}

void MarkupParser::didEndElement() {
  flushPending();
  pop(_attributeStack);
}

TextAttributes MarkupParser::attributesInStack() const {
  TextAttributes merged;
  for (const auto& attributes : _attributeStack) {
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
      merged.insert(it.key(), it.value());
  }
  return merged;
}

}  // namespace qur
