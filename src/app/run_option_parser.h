// The run options both faces take (--name, --audio, --mic, --speaker,
// --interface, --accept, --events json), read in one place so the window
// and the command-line program accept and refuse the same values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/walkie_talkie_app.h"

namespace qur {

struct ParsedRunOptions {
  RunOptions run;
  bool jsonEvents = false;
  bool help = false;
};

// The options that take a value.
const std::vector<std::string>& runValueOptions();

// Sets one option of `parsed` from its value; false with *error when the
// value is not one the option takes. Any thread.
bool applyRunOption(const std::string& option, const std::string& value, ParsedRunOptions* parsed,
                    std::string* error);

// Takes our options (either "--opt" or "-opt", value after a space or '=')
// out of args and leaves the rest, the program name first, for a toolkit
// that reads its own. Null with *error on a missing or bad value. Any thread.
std::optional<ParsedRunOptions> takeRunOptions(std::vector<std::string>& args, std::string* error);

}  // namespace qur
