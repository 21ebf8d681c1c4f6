#include "peers/display_name.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

#include "peers/protocol.h"

namespace qur::peers {

namespace {

// Longer input cannot become a name, however much trimming removes.
constexpr std::size_t kMaxInputBytes = 1024;

NameProblem characterProblem(UChar32 c) {
  const auto type = static_cast<UCharCategory>(u_charType(c));
  if (type == U_CONTROL_CHAR) return NameProblem::Control;
  if (type == U_FORMAT_CHAR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR ||
      type == U_SURROGATE) {
    return NameProblem::Invisible;
  }
  // Blank fillers (Hangul fillers and the like) show nothing either; the
  // variation selectors only pick a glyph (emoji) and stay allowed.
  if (u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT) &&
      !u_hasBinaryProperty(c, UCHAR_VARIATION_SELECTOR)) {
    return NameProblem::Invisible;
  }
  return NameProblem::None;
}

// Strict UTF-8 to UTF-16: ill-formed input is refused, not patched.
std::optional<icu::UnicodeString> decode(std::string_view text) {
  if (text.size() > kMaxInputBytes) return std::nullopt;
  UChar buffer[kMaxInputBytes];
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(buffer, int32_t(kMaxInputBytes), &length, text.data(), int32_t(text.size()),
                &status);
  if (U_FAILURE(status)) return std::nullopt;
  return icu::UnicodeString(buffer, length);
}

icu::UnicodeString trimmed(const icu::UnicodeString& text) {
  int32_t start = 0;
  int32_t end = text.length();
  while (start < end && u_isUWhiteSpace(text.char32At(start))) start = text.moveIndex32(start, 1);
  while (end > start) {
    const int32_t last = text.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(text.char32At(last))) break;
    end = last;
  }
  return icu::UnicodeString(text, start, end - start);
}

std::optional<icu::UnicodeString> nfc(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::nullopt;
  icu::UnicodeString out = normalizer->normalize(text, status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

struct SpoofCheckerCloser {
  void operator()(USpoofChecker* checker) const { uspoof_close(checker); }
};

}  // namespace

const char* nameProblemText(NameProblem problem) {
  switch (problem) {
    case NameProblem::Empty:
      return "is empty";
    case NameProblem::TooLong:
      return "is longer than 63 bytes";
    case NameProblem::InvalidUtf8:
      return "is not valid UTF-8";
    case NameProblem::Control:
      return "holds control characters";
    case NameProblem::Invisible:
      return "holds invisible or direction-changing characters";
    case NameProblem::None:
      break;
  }
  return "is valid";
}

std::optional<std::string> normalizeDisplayName(std::string_view name, NameProblem* problem) {
  NameProblem ignored;
  NameProblem& why = problem ? *problem : ignored;
  why = NameProblem::None;
  if (name.size() > kMaxInputBytes) {
    why = NameProblem::TooLong;
    return std::nullopt;
  }
  const auto text = decode(name);
  if (!text) {
    why = NameProblem::InvalidUtf8;
    return std::nullopt;
  }
  for (int32_t i = 0; i < text->length(); i = text->moveIndex32(i, 1)) {
    why = characterProblem(text->char32At(i));
    if (why != NameProblem::None) return std::nullopt;
  }
  const auto composed = nfc(*text);
  if (!composed) {
    why = NameProblem::InvalidUtf8;
    return std::nullopt;
  }
  std::string out = utf8(trimmed(*composed));
  if (out.empty()) {
    why = NameProblem::Empty;
    return std::nullopt;
  }
  if (out.size() > kMaxDisplayNameBytes) {
    why = NameProblem::TooLong;
    return std::nullopt;
  }
  return out;
}

std::string displayNameSkeleton(std::string_view name) {
  thread_local std::unique_ptr<USpoofChecker, SpoofCheckerCloser> checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<USpoofChecker, SpoofCheckerCloser> opened(uspoof_open(&status));
    if (U_FAILURE(status)) opened.reset();
    return opened;
  }();
  if (!checker || name.size() > kMaxInputBytes) return std::string(name);
  char buffer[4 * kMaxInputBytes];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uspoof_getSkeletonUTF8(checker.get(), 0, name.data(), int32_t(name.size()),
                                                buffer, int32_t(sizeof buffer), &status);
  if (U_FAILURE(status)) return std::string(name);
  return std::string(buffer, std::size_t(length));
}

bool isValidDisplayName(std::string_view name) {
  const auto normal = normalizeDisplayName(name);
  return normal && *normal == name;
}

std::string sanitizeDisplayName(std::string_view name) {
  // What can be shown of the name: the characters that may stand in one,
  // then the normal form, cut at a character boundary.
  icu::UnicodeString kept;
  UChar32 c = 0;
  for (int32_t i = 0; i < int32_t(std::min(name.size(), kMaxInputBytes));) {
    U8_NEXT(name.data(), i, int32_t(std::min(name.size(), kMaxInputBytes)), c);
    if (c >= 0 && characterProblem(c) == NameProblem::None) kept.append(c);
  }
  const auto composed = nfc(kept);
  icu::UnicodeString text = trimmed(composed ? *composed : kept);
  std::string out = utf8(text);
  while (out.size() > kMaxDisplayNameBytes) {
    text.truncate(text.moveIndex32(text.length(), -1));
    text = trimmed(text);
    out = utf8(text);
  }
  return out.empty() ? std::string("peer") : out;
}

}  // namespace qur::peers
