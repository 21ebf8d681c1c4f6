#include "app/run_option_parser.h"

#include <algorithm>

namespace qur {

const std::vector<std::string>& runValueOptions() {
  static const std::vector<std::string> options = {
      "--name",      "--audio",  "--mic",    "--speaker",
      "--interface", "--accept", "--events", "--voice-processing",
      "--frame-ms"};
  return options;
}

bool applyRunOption(const std::string& option, const std::string& value, ParsedRunOptions* parsed,
                    std::string* error) {
  RunOptions& run = parsed->run;
  if (option == "--name") {
    run.name = value;
  } else if (option == "--audio") {
    run.audio = value;
  } else if (option == "--mic") {
    run.micFile = value;
  } else if (option == "--speaker") {
    run.speakerFile = value;
  } else if (option == "--interface") {
    run.networkInterface = value;
  } else if (option == "--events") {
    if (value != "json") {
      *error = "--events takes 'json'";
      return false;
    }
    parsed->jsonEvents = true;
  } else if (option == "--voice-processing") {
    if (value != "on" && value != "off") {
      *error = "--voice-processing takes on or off";
      return false;
    }
    run.voiceProcessing = value == "on";
  } else if (option == "--frame-ms") {
    if (value != "10" && value != "20" && value != "40" && value != "60") {
      *error = "--frame-ms takes 10, 20, 40 or 60";
      return false;
    }
    run.frameMilliseconds = std::stoi(value);
  } else if (option == "--accept") {
    if (value == "ask") {
      run.accept = AcceptPolicy::Ask;
    } else if (value == "auto") {
      run.accept = AcceptPolicy::Auto;
    } else if (value == "never") {
      run.accept = AcceptPolicy::Never;
    } else {
      *error = "--accept takes ask, auto or never";
      return false;
    }
  } else {
    *error = "unknown option " + option;
    return false;
  }
  return true;
}

std::optional<ParsedRunOptions> takeRunOptions(std::vector<std::string>& args, std::string* error) {
  const auto& valued = runValueOptions();
  ParsedRunOptions parsed;
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i == 0) {
      rest.push_back(arg);
      continue;
    }
    if (arg == "--help" || arg == "-h" || arg == "-help") {
      parsed.help = true;
      continue;
    }
    std::string key = arg;
    std::optional<std::string> inlineValue;
    if (const auto eq = key.find('='); eq != std::string::npos) {
      inlineValue = key.substr(eq + 1);
      key = key.substr(0, eq);
    }
    // Toolkits read single-dash options (X11 takes -name); ours win.
    if (key.size() > 1 && key[0] == '-' && key[1] != '-') key = "-" + key;
    if (std::find(valued.begin(), valued.end(), key) == valued.end()) {
      rest.push_back(arg);
      continue;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = key + " needs a value";
      return std::nullopt;
    }
    if (!applyRunOption(key, value, &parsed, error)) return std::nullopt;
  }
  args = std::move(rest);
  return parsed;
}

}  // namespace qur
