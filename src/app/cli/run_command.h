// qur-wtalkie-cli run: the walkie-talkie without a screen, driven by
// commands on standard input, reporting events on standard output.
#pragma once

#include <string>
#include <vector>

namespace qur::cli {

int runCommand(const std::vector<std::string>& args);

}  // namespace qur::cli

namespace qur::cli {

// qur-wtalkie-cli heard: what a speaker recording holds of a transmission.
int heardCommand(const std::vector<std::string>& args);

// qur-wtalkie-cli trust: lists and forgets pinned peer keys.
int trustCommand(const std::vector<std::string>& args);

}  // namespace qur::cli
