// Tagged text to styled runs: wrapping, merging of nested attributes, and
// refusal of anything that is not well-formed.
#include "ui/markup_parser.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QFont>

namespace qur {
namespace {

TextAttributes attributes(std::initializer_list<std::pair<const char*, QVariant>> entries) {
  TextAttributes result;
  for (const auto& [key, value] : entries) result.insert(QString::fromLatin1(key), value);
  return result;
}

const TextAttributes kRoot = attributes({{"size", 30}, {"weight", "light"}});
const TextAttributes kBig = attributes({{"size", 70}});
const TagAttributes kTags = {{"root", kRoot}, {"big", kBig}};

TextAttributes merged(const TextAttributes& outer, const TextAttributes& inner) {
  TextAttributes result = outer;
  for (auto it = inner.begin(); it != inner.end(); ++it) result.insert(it.key(), it.value());
  return result;
}

TEST(MarkupParser, AWordBeforeABigElementIsWrappedAndStyledByBothTags) {
  QString error;
  const auto text = MarkupParser::parseString("hold to <big>talk</big>", kTags, &error);
  ASSERT_TRUE(text) << error.toStdString();
  ASSERT_EQ(text->runs().size(), 2);
  EXPECT_EQ(text->runs()[0], (TextRun{"hold to ", kRoot}));
  EXPECT_EQ(text->runs()[1], (TextRun{"talk", merged(kRoot, kBig)}));
  EXPECT_EQ(text->runs()[1].attributes.value("size").toInt(), 70);
  EXPECT_EQ(text->runs()[1].attributes.value("weight").toString(), "light");
  EXPECT_TRUE(error.isEmpty());
}

TEST(MarkupParser, WrapsOnlyWhatIsNotOneElementOnOneLine) {
  EXPECT_EQ(MarkupParser::preprocessString("<root>plain</root>"), "<root>plain</root>");
  EXPECT_EQ(MarkupParser::preprocessString("  <root a=\"1\">x</root>\n"),
            "  <root a=\"1\">x</root>\n");
  EXPECT_EQ(MarkupParser::preprocessString(""), "<root></root>");
  EXPECT_EQ(MarkupParser::preprocessString("word"), "<root>word</root>");
  EXPECT_EQ(MarkupParser::preprocessString("<big>a</big> b"), "<root><big>a</big> b</root>");
  // The content must not cross a line break: such an element is wrapped again.
  EXPECT_EQ(MarkupParser::preprocessString("<root>a\nb</root>"), "<root><root>a\nb</root></root>");
  // An end tag is no start tag.
  EXPECT_EQ(MarkupParser::preprocessString("</x>y</x>"), "<root></x>y</x></root>");

  const auto once = MarkupParser::parseString("<root>plain</root>", kTags);
  ASSERT_TRUE(once);
  ASSERT_EQ(once->runs().size(), 1);
  EXPECT_EQ(once->runs()[0], (TextRun{"plain", kRoot}));

  const auto multiline = MarkupParser::parseString("<big>a\nb</big>", kTags);
  ASSERT_TRUE(multiline);
  EXPECT_EQ(multiline->string(), "a\nb");
  EXPECT_EQ(multiline->runs()[0].attributes, merged(kRoot, kBig));
}

TEST(MarkupParser, EmptyTextGivesAnEmptyResult) {
  const auto text = MarkupParser::parseString("", kTags);
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->isEmpty());
  EXPECT_EQ(rangeForWholeString(*text), (TextRange{0, 0}));
}

TEST(MarkupParser, NestedAndUnknownTagsMergeInnermostLast) {
  const TextAttributes inner = attributes({{"colour", "red"}, {"size", 12}});
  TagAttributes tags = kTags;
  tags.insert("inner", inner);
  const auto text = MarkupParser::parseString(
      "<root><big>a<inner>b</inner><unknown>c</unknown></big>d</root>", tags);
  ASSERT_TRUE(text);
  ASSERT_EQ(text->runs().size(), 4);
  EXPECT_EQ(text->runs()[0], (TextRun{"a", merged(kRoot, kBig)}));
  EXPECT_EQ(text->runs()[1], (TextRun{"b", merged(merged(kRoot, kBig), inner)}));
  EXPECT_EQ(text->runs()[1].attributes.value("size").toInt(), 12);
  // A tag without an entry keeps what encloses it.
  EXPECT_EQ(text->runs()[2], (TextRun{"c", merged(kRoot, kBig)}));
  // Closing the big element pops its attributes again.
  EXPECT_EQ(text->runs()[3], (TextRun{"d", kRoot}));
}

TEST(MarkupParser, AColourOnlyTagKeepsTheEnclosingFont) {
  const QFont font("DejaVu Sans", 30);
  TagAttributes tags = {{"root", attributes({{kFontAttribute, font}})},
                        {"red", attributes({{kColorAttribute, QColor(Qt::red)}})}};
  const auto text = MarkupParser::parseString("x <red>y</red>", tags);
  ASSERT_TRUE(text);
  ASSERT_EQ(text->runs().size(), 2);
  EXPECT_EQ(text->runs()[1].attributes.value(kFontAttribute).value<QFont>(), font);
  EXPECT_EQ(text->runs()[1].attributes.value(kColorAttribute).value<QColor>(), QColor(Qt::red));
}

TEST(MarkupParser, EntitiesBecomeCharactersAndCommentsInstructionsCdataVanish) {
  const auto text = MarkupParser::parseString(
      "<root>a &lt;&amp;&gt; &quot;b&apos;<!-- note --><?pi x?><![CDATA[hidden]]>c</root>", kTags);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->string(), "a <&> \"b'c");
  // Pieces of one run between two tags join into one run.
  EXPECT_EQ(text->runs().size(), 1);
}

TEST(MarkupParser, MalformedTextFailsWithTheReadersErrorAndNoPartialResult) {
  const char* broken[] = {
      "<big>unclosed",
      "a < b",
      "fish & chips",
      "<big>a</small>",
      // Starts and ends with the same tag, so it is not wrapped, yet holds two elements.
      "<big>a</big> and <big>b</big>",
      "<root>x</root><root>y</root>",
  };
  for (const char* input : broken) {
    QString error = "stale";
    const auto text = MarkupParser::parseString(input, kTags, &error);
    EXPECT_FALSE(text) << input;
    EXPECT_FALSE(error.isEmpty()) << input;
    EXPECT_NE(error, "stale") << input;
  }
  // Without an error out-parameter a failure is still only a null result.
  EXPECT_FALSE(MarkupParser::parseString("<a>", kTags, nullptr));
}

TEST(MarkupParser, NonAsciiTextKeepsItsUtf16Length) {
  const auto text = MarkupParser::parseString("<big>grüß 👋</big>", kTags);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->string(), QString::fromUtf8("grüß 👋"));
  EXPECT_EQ(rangeForWholeString(*text), (TextRange{0, 7}));
}

TEST(TextStack, PopAndPeekOnEmptyGiveNothingAndChangeNothing) {
  QList<int> stack;
  EXPECT_FALSE(pop(stack));
  EXPECT_FALSE(peek(stack));
  push(stack, 1);
  push(stack, 2);
  EXPECT_EQ(peek(stack), 2);
  EXPECT_EQ(stack.size(), 2);
  EXPECT_EQ(pop(stack), 2);
  EXPECT_EQ(pop(stack), 1);
  EXPECT_FALSE(pop(stack));
  EXPECT_TRUE(stack.isEmpty());
}

}  // namespace
}  // namespace qur
