#include "app/cli/command_parser.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>

#include "app/event_writer.h"

namespace qur::cli {

const char* const kRunCommandsHelp =
    "commands on standard input, one a line:\n"
    "  peers                 nearby devices (key, identifier, trust) and connected peers\n"
    "  invite NAME           invite a nearby peer into the session; NAME may also be\n"
    "                        the first digits of its identifier (two devices, one name)\n"
    "  confirm               invite the device held back because its key is not the\n"
    "                        one accepted for its name\n"
    "  cancel [NAME]         withdraw our unanswered invitations (to NAME)\n"
    "  accept | decline      answer the invitation asked now (the first waiting)\n"
    "  accept NAME | decline NAME\n"
    "                        answer the waiting invitation from NAME (or identifier)\n"
    "  talk on | talk off    start or end a transmission (refused while no peer\n"
    "                        is connected; ends when the last peer leaves)\n"
    "  talk SECONDS          transmit for that long (more than 0, at most 3600)\n"
    "  disconnect            leave the session\n"
    "  gain DB               microphone gain, -40 to 40 dB (start: 15)\n"
    "  volume X              output volume, 0 to 1\n"
    "  status                connection, talkers, own transmission and audio\n"
    "  help                  this list\n"
    "  quit                  end (so does the end of standard input, once a\n"
    "                        running 'talk SECONDS' is over)\n";

std::vector<std::string> splitWords(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

bool parseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

namespace {

RunCommand error(std::string message) {
  return {RunCommand::Kind::Error, std::move(message), 0};
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

RunCommand parseRunCommand(const std::string& line) {
  using Kind = RunCommand::Kind;
  const auto words = splitWords(line);
  if (words.empty()) return {};
  const std::string& command = words[0];
  const std::size_t argc = words.size() - 1;
  // The name is the rest of the line: names may hold spaces.
  const std::string rest = trimmed(line.substr(line.find(command) + command.size()));
  if (command == "invite" && argc >= 1) return {Kind::Invite, rest, 0};
  if (command == "accept") return {Kind::Accept, rest, 0};
  if (command == "decline") return {Kind::Decline, rest, 0};
  if (command == "cancel") return {Kind::Cancel, rest, 0};
  if (argc == 0) {
    if (command == "peers") return {Kind::Peers};
    if (command == "confirm") return {Kind::Confirm};
    if (command == "disconnect") return {Kind::Disconnect};
    if (command == "status") return {Kind::Status};
    if (command == "help") return {Kind::Help};
    if (command == "quit") return {Kind::Quit};
  }
  if (command == "talk" && argc == 1) {
    if (words[1] == "on") return {Kind::TalkOn};
    if (words[1] == "off") return {Kind::TalkOff};
    double seconds = 0;
    if (!parseNumber(words[1], &seconds) || seconds <= 0 || seconds > 3600) {
      return error("talk takes on, off or a number of seconds (more than 0, at most 3600)");
    }
    return {Kind::TalkFor, {}, seconds};
  }
  if (command == "gain" && argc == 1) {
    double db = 0;
    if (!parseNumber(words[1], &db) || db < -40 || db > 40) {
      return error("gain takes decibels from -40 to 40");
    }
    return {Kind::Gain, {}, db};
  }
  if (command == "volume" && argc == 1) {
    double volume = 0;
    if (!parseNumber(words[1], &volume) || volume < 0 || volume > 1) {
      return error("volume takes a number from 0 to 1");
    }
    return {Kind::Volume, {}, volume};
  }
  static const std::set<std::string> known = {"peers",   "invite", "confirm",    "cancel", "accept",
                                              "decline", "talk",   "disconnect", "gain",   "volume",
                                              "status",  "help",   "quit"};
  if (known.count(command)) return error("wrong arguments for '" + command + "' (try 'help')");
  return error("unknown command '" + shortened(command) + "' (try 'help')");
}

}  // namespace qur::cli
