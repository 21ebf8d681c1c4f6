// Names people read to decide whom they let in. A display name is one
// canonical string (NFC, no outer blanks), and nothing in it may hide or
// reorder what is shown: no control, format (zero-width, joiners, byte
// order mark) or bidirectional-control characters, nor blank fillers. Two
// names that merely look alike share a confusable skeleton (Unicode TR39),
// so a newcomer cannot pass under a look-alike of a name the user trusts.
// Pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qur::peers {

enum class NameProblem {
  None,
  Empty,        // nothing left once trimmed
  TooLong,      // over 63 bytes of UTF-8 once normalised
  InvalidUtf8,  // not UTF-8 text
  Control,      // a control character (tab, newline, C1 controls)
  Invisible,    // a format, bidirectional-control or blank filler character
};
const char* nameProblemText(NameProblem problem);

// The name as it is shown and sent: NFC, without leading or trailing white
// space. Nullopt, with *problem set, for a name that cannot be shown as it is.
std::optional<std::string> normalizeDisplayName(std::string_view name,
                                                NameProblem* problem = nullptr);

// The confusable skeleton of a name: equal for names that look alike
// ("Alpha", "Аlpha" with a Cyrillic A, "A1pha"). Only for comparing.
std::string displayNameSkeleton(std::string_view name);

}  // namespace qur::peers
