// What the window and the command-line program share: the run options they
// read and the event lines they write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_event_lines.h"
#include "app/run_option_parser.h"
#include "support/json_check.h"
#include "support/json_field.h"

namespace qur {
namespace {

using testing::JsonCheck;
using testing::jsonField;

// ---- run options --------------------------------------------------------------

TEST(RunOptionParser, TakesOursInEverySpellingAndLeavesTheToolkitsInOrder) {
  std::vector<std::string> args = {"qur-wtalkie", "-name",         "desk",     "-platform",
                                   "offscreen",   "--accept=auto", "-style",   "fusion",
                                   "--mic",       "in.wav",        "--events", "json"};
  std::string error;
  const auto parsed = takeRunOptions(args, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->run.name, "desk");
  EXPECT_EQ(parsed->run.accept, AcceptPolicy::Auto);
  EXPECT_EQ(parsed->run.micFile, "in.wav");
  EXPECT_TRUE(parsed->jsonEvents);
  EXPECT_FALSE(parsed->help);
  const std::vector<std::string> rest = {"qur-wtalkie", "-platform", "offscreen", "-style",
                                         "fusion"};
  EXPECT_EQ(args, rest);
}

TEST(RunOptionParser, RefusesWhatNeitherFaceAcceptsAndLeavesTheArgumentsAlone) {
  const std::vector<std::vector<std::string>> bad = {
      {"w", "--accept", "sometimes"},
      {"w", "--events", "text"},
      {"w", "--name"},
      {"w", "--events=xml"},
      {"w", "--voice-processing", "maybe"},
  };
  for (auto args : bad) {
    SCOPED_TRACE(args.back());
    const auto before = args;
    std::string error;
    EXPECT_FALSE(takeRunOptions(args, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(args, before);
  }
  ParsedRunOptions parsed;
  std::string error;
  EXPECT_FALSE(applyRunOption("--volume", "1", &parsed, &error));
  EXPECT_TRUE(applyRunOption("--accept", "never", &parsed, &error));
  EXPECT_EQ(parsed.run.accept, AcceptPolicy::Never);
  EXPECT_FALSE(parsed.run.voiceProcessing);
  EXPECT_TRUE(applyRunOption("--voice-processing", "off", &parsed, &error));
  EXPECT_EQ(parsed.run.voiceProcessing, std::optional<bool>(false));
}

TEST(RunOptionParser, AValueThatLooksLikeAnOptionIsStillTheValue) {
  std::vector<std::string> args = {"w", "--name", "--help", "-h"};
  std::string error;
  const auto parsed = takeRunOptions(args, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->run.name, "--help");
  EXPECT_TRUE(parsed->help);
}

// ---- event lines --------------------------------------------------------------

std::string jsonLine(const EventLine& line) {
  return "{\"event\":\"" + line.name + "\"" + (line.fields.empty() ? "" : "," + line.fields) + "}";
}

TEST(AppEventLines, InvitationEndsAreNamedForEitherSideInJsonAndWords) {
  const std::string hostile = "eve\"\n\x01\xff";
  struct Case {
    bool invitedUs;
    const char* outcome;
    const char* words;
  };
  const std::vector<Case> cases = {
      {false, "accepted", "accepted the invitation"},
      {false, "declined", "declined the invitation"},
      {false, "timed_out", "did not answer"},
      {false, "unreachable", "could not be reached"},
      {true, "timed_out", "timed out"},
      {true, "withdrawn", "withdrawn"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    AppEvent event{.kind = AppEvent::Kind::InvitationResult,
                   .peer = hostile,
                   .value = c.invitedUs,
                   .reason = c.outcome};
    const EventLine line = appEventLine(event);
    EXPECT_EQ(line.name, "invitation_result");
    const std::string json = jsonLine(line);
    ASSERT_TRUE(JsonCheck::isValid(json)) << json;
    EXPECT_EQ(jsonField(json, "outcome"), c.outcome);
    EXPECT_EQ(jsonField(json, "invited_us"), c.invitedUs ? "true" : "false");
    EXPECT_NE(line.text.find(c.words), std::string::npos) << line.text;
  }
}

TEST(AppEventLines, AnInvitationNamesItsSenderShortIdentifierAndAddress) {
  AppEvent event{.kind = AppEvent::Kind::Invitation, .policy = AcceptPolicy::Ask};
  event.invitation = {7, "charlie", "0123456789abcdef0123456789abcdef", "10.0.0.2"};
  const EventLine line = appEventLine(event);
  const std::string json = jsonLine(line);
  ASSERT_TRUE(JsonCheck::isValid(json)) << json;
  EXPECT_EQ(jsonField(json, "identifier"), "01234567");
  EXPECT_EQ(jsonField(json, "address"), "10.0.0.2");
  EXPECT_NE(line.text.find("01234567 at 10.0.0.2"), std::string::npos) << line.text;
  EXPECT_NE(line.text.find("'accept'"), std::string::npos) << line.text;

  // Without an address (the session had already forgotten it) nothing dangles.
  event.invitation.address.clear();
  event.policy = AcceptPolicy::Auto;
  const EventLine bare = appEventLine(event);
  ASSERT_TRUE(JsonCheck::isValid(jsonLine(bare)));
  EXPECT_EQ(bare.fields.find("address"), std::string::npos);
  EXPECT_EQ(bare.text.find(" at "), std::string::npos) << bare.text;
  EXPECT_EQ(bare.text.find("'accept'"), std::string::npos) << bare.text;
}

TEST(AppEventLines, KeysShowInListingsAndInvitationsAndAChangedOneIsShouted) {
  const std::string key = "ABCD EFGH IJKL MNOP";
  // A name that would break a JSON line written naively.
  const std::string name = "desk \"laptop\"";
  AppEvent found{.kind = AppEvent::Kind::PeerFound, .peer = name, .fingerprint = key};
  const EventLine foundLine = appEventLine(found);
  ASSERT_TRUE(JsonCheck::isValid(jsonLine(foundLine))) << jsonLine(foundLine);
  EXPECT_EQ(jsonField(jsonLine(foundLine), "fingerprint"), key);
  EXPECT_NE(foundLine.text.find(key), std::string::npos) << foundLine.text;
  // A device whose key is unknown shows no empty brackets.
  found.fingerprint.clear();
  const EventLine bare = appEventLine(found);
  ASSERT_TRUE(JsonCheck::isValid(jsonLine(bare)));
  EXPECT_EQ(bare.fields.find("fingerprint"), std::string::npos) << bare.fields;
  EXPECT_EQ(bare.text.find("key"), std::string::npos) << bare.text;

  struct Case {
    const char* trust;
    bool warned;
  };
  for (const Case c : {Case{"new", false}, Case{"known", false}, Case{"key changed", true}}) {
    SCOPED_TRACE(c.trust);
    AppEvent event{.kind = AppEvent::Kind::Invitation, .policy = AcceptPolicy::Ask};
    event.invitation = {3, name, "0123456789abcdef0123456789abcdef", "10.0.0.3", key, c.trust};
    const EventLine line = appEventLine(event);
    const std::string json = jsonLine(line);
    ASSERT_TRUE(JsonCheck::isValid(json)) << json;
    EXPECT_EQ(jsonField(json, "fingerprint"), key);
    EXPECT_EQ(jsonField(json, "trust"), c.trust);
    EXPECT_NE(line.text.find(key), std::string::npos) << line.text;
    EXPECT_EQ(line.text.rfind("WARNING: key changed", 0) == 0, c.warned) << line.text;
    // The user is still asked, whatever the key.
    EXPECT_NE(line.text.find("'accept'"), std::string::npos) << line.text;
  }
}

}  // namespace
}  // namespace qur
