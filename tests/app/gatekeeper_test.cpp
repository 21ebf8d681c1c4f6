// Names people are shown and the trust a device gets for them: what a
// stranger can send as a name, and whether it passes for a colleague.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/gatekeeper.h"
#include "peers/display_name.h"

namespace qur {
namespace {

using peers::NameProblem;
using State = Trust::State;

peers::Identifier key(std::uint8_t seed) {
  peers::Identifier id{};
  id.fill(seed);
  return id;
}

// With "Alpha" and "Bob" pinned, every way a stranger (another key) might
// pass for one of them: refused as a name, flagged, or new.
TEST(LookAlikeNames, AStrangerNeverPassesForAPinnedColleague) {
  const auto alpha = key(1), bob = key(2), stranger = key(9);
  const std::vector<PinnedPeer> pins = {{"Alpha", alpha}, {"Bob", bob}};
  struct Case {
    const char* label;
    std::string raw;
    // Set: the name is refused for this reason (never shown, never sent).
    std::optional<NameProblem> refused;
    std::string shownAs;  // the normal form, when not refused
    State trust;          // of the stranger's key under that name
    std::string pinned;   // the pin the verdict refers to
  };
  const std::vector<Case> cases = {
      {"the name itself", "Alpha", {}, "Alpha", State::KeyChanged, "Alpha"},
      {"trailing space", "Alpha ", {}, "Alpha", State::KeyChanged, "Alpha"},
      {"leading no-break space", "\u00A0Alpha", {}, "Alpha", State::KeyChanged, "Alpha"},
      {"zero-width space", "Alpha\u200B", NameProblem::Invisible, "", State::New, ""},
      {"zero-width joiner", "Al\u200Dpha", NameProblem::Invisible, "", State::New, ""},
      {"soft hyphen", "Al\u00ADpha", NameProblem::Invisible, "", State::New, ""},
      {"byte order mark", "\uFEFFAlpha", NameProblem::Invisible, "", State::New, ""},
      {"right-to-left override", "\u202Eahpl\u202CA", NameProblem::Invisible, "", State::New, ""},
      {"left-to-right isolate", "\u2066Alpha\u2069", NameProblem::Invisible, "", State::New, ""},
      {"Hangul filler", "Alpha\u3164", NameProblem::Invisible, "", State::New, ""},
      {"tab", "Al\tpha", NameProblem::Control, "", State::New, ""},
      {"C1 control", "Alpha\u0085", NameProblem::Control, "", State::New, ""},
      {"line separator", "Al\u2028pha", NameProblem::Invisible, "", State::New, ""},
      {"cut UTF-8", "Alph\xC3", NameProblem::InvalidUtf8, "", State::New, ""},
      {"only blanks", " \u3000 ", NameProblem::Empty, "", State::New, ""},
      {"Cyrillic A", "\u0410lpha", {}, "\u0410lpha", State::LooksLike, "Alpha"},
      {"Greek Alpha", "\u0391lpha", {}, "\u0391lpha", State::LooksLike, "Alpha"},
      {"digit one for l", "A1pha", {}, "A1pha", State::LooksLike, "Alpha"},
      {"capital I for l", "AIpha", {}, "AIpha", State::LooksLike, "Alpha"},
      {"Cyrillic Ve", "\u0412ob", {}, "\u0412ob", State::LooksLike, "Bob"},
      {"decomposed accent", "Bo\u0301b", {}, "B\u00F3b", State::New, ""},
      {"another name", "Charlie", {}, "Charlie", State::New, ""},
      {"renamed twin", "Alpha #2", {}, "Alpha #2", State::New, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    NameProblem problem = NameProblem::None;
    const auto name = peers::normalizeDisplayName(c.raw, &problem);
    if (c.refused) {
      EXPECT_FALSE(name) << *name;
      EXPECT_EQ(problem, *c.refused);
      continue;
    }
    ASSERT_TRUE(name) << peers::nameProblemText(problem);
    EXPECT_EQ(*name, c.shownAs);
    // A hello carries the normal form only; anything else is refused.
    EXPECT_EQ(peers::isValidDisplayName(c.raw), c.raw == c.shownAs);
    const Trust trust = assessTrust(pins, *name, stranger);
    EXPECT_EQ(trust.state, c.trust) << trust.words();
    EXPECT_EQ(trust.pinnedName, c.pinned);
    EXPECT_EQ(trust.automatic(), c.trust == State::New);
  }
}

TEST(LookAlikeNames, ThePinnedKeyIsKnownUnderItsNameALookAlikeOrANewOne) {
  const auto alpha = key(1);
  const std::vector<PinnedPeer> pins = {{"Alpha", alpha}};
  struct Case {
    const char* name;
    State trust;
  };
  // The colleague renamed after a name conflict, or typing its name another
  // way, is still the colleague: the key decides.
  for (const Case c : {Case{"Alpha", State::Known}, Case{"Alpha #2", State::Known},
                       Case{"\u0410lpha", State::Known}}) {
    SCOPED_TRACE(c.name);
    const Trust trust = assessTrust(pins, c.name, alpha);
    EXPECT_EQ(trust.state, c.trust);
    EXPECT_EQ(trust.pinnedName, "Alpha");
    EXPECT_TRUE(trust.automatic());
  }
  EXPECT_EQ(assessTrust(pins, "Alpha #2", alpha).words(), "known as Alpha");
  EXPECT_EQ(assessTrust({}, "Alpha", alpha).words(), "new");
  EXPECT_EQ(assessTrust(pins, "A1pha", key(7)).words(), "looks like Alpha");
}

}  // namespace
}  // namespace qur
