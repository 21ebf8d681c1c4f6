// The application's events as both faces print them: a JSON line's name and
// members, and the same in words. The command-line program and the window
// (with --events json) write these, so scripts read one format from either.
#pragma once

#include <string>

#include "app/walkie_talkie_app.h"

namespace qur {

struct EventLine {
  std::string name;
  std::string fields;  // JSON members, without braces
  std::string text;    // empty: nothing to tell a person
};

// Main thread (the text of an invitation depends on the policy only).
EventLine appEventLine(const AppEvent& event);
// " (key ABCD EFGH IJKL MNOP)" after a device's name; empty when unknown.
std::string keyWords(const std::string& fingerprint);
// "NAME (key ABCD EFGH IJKL MNOP, 0123abcd, known)": a nearby device as
// listings show it.
std::string deviceLine(const NearbyDevice& device);
// How an invitation we were asked ended, in words ("timed out").
std::string invitationEndWords(const std::string& outcome);
// A peer's link as JSON members (without braces), and in words.
std::string linkFields(const PeerLink& link);
std::string linkWords(const PeerLink& link);
// Why a peer went away, in words ("left", "no answer for 4 s"); empty when
// we ended the connection.
std::string peerDisconnectedWords(const AppEvent& event);
// The first line of a run. Main thread.
EventLine readyEventLine(WalkieTalkieApp& app);

}  // namespace qur
