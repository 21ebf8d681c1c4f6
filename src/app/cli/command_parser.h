// The run command's input language: one command a line. Parsing knows
// nothing of the application, so bad input is refused before anything is
// touched.
#pragma once

#include <string>
#include <vector>

namespace qur::cli {

struct RunCommand {
  enum class Kind {
    Peers,
    Invite,   // text: the peer's name, or the first hex digits of its identifier
    Confirm,  // invite the device held back for its key
    Cancel,   // text: whose invitation to withdraw (empty: all of ours)
    Accept,   // text: whose invitation (empty: the one asked now)
    Decline,  // text: as Accept
    TalkOn,
    TalkOff,
    TalkFor,  // number: seconds
    Disconnect,
    Gain,    // number: decibels
    Volume,  // number: 0 to 1
    Status,
    Help,
    Quit,
    Empty,  // a blank line: nothing to do
    Error,  // text: what is wrong, in words, with the input shortened
  };
  Kind kind = Kind::Empty;
  std::string text;
  double number = 0;
};

RunCommand parseRunCommand(const std::string& line);

// The commands as `help` and `run --help` list them.
extern const char* const kRunCommandsHelp;

// Whitespace-separated words of a line.
std::vector<std::string> splitWords(const std::string& line);
// A finite number spelled out completely, or false.
bool parseNumber(const std::string& text, double* value);

}  // namespace qur::cli
