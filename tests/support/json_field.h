// Minimal reader for the flat JSON objects our command-line programs print,
// one per line.
#pragma once

#include <optional>
#include <string>

namespace qur::testing {

// The value of a member (strings without their quotes), or nullopt when the
// line has no such member.
inline std::optional<std::string> jsonField(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const auto at = line.find(key);
  if (at == std::string::npos) return std::nullopt;
  const auto begin = at + key.size();
  if (line[begin] == '"') {
    const auto end = line.find('"', begin + 1);
    return line.substr(begin + 1, end - begin - 1);
  }
  const auto end = line.find_first_of(",}", begin);
  return line.substr(begin, end - begin);
}

}  // namespace qur::testing
