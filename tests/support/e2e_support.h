// Helpers of the end-to-end tests that drive the real programs.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "support/json_field.h"

namespace qur::testing {

struct ShellResult {
  int status = -1;     // exit status; -1 when the command did not exit by itself
  std::string output;  // whatever the command line sends to standard output
};

// Runs a shell command line to its end; redirections are the caller's.
inline ShellResult runShell(const std::string& command) {
  ShellResult result;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// An event line of the command-line program, with the peer and value asked for.
inline bool isEvent(const std::string& line, const std::string& event,
                    const std::optional<std::string>& peer = std::nullopt,
                    const std::optional<std::string>& value = std::nullopt) {
  if (jsonField(line, "event") != event) return false;
  if (peer && jsonField(line, "peer") != *peer) return false;
  if (value && jsonField(line, "value") != *value) return false;
  return true;
}

// Whether the RIFF and data chunk sizes account for the whole file and hold
// sound, as strict readers require.
inline bool wavSizesComplete(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::uint8_t header[44] = {};
  const bool read = std::fread(header, 1, sizeof header, file) == sizeof header;
  std::fclose(file);
  auto le32 = [&](int at) {
    return std::uint32_t(header[at]) | std::uint32_t(header[at + 1]) << 8 |
           std::uint32_t(header[at + 2]) << 16 | std::uint32_t(header[at + 3]) << 24;
  };
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return read && !error && std::memcmp(header + 36, "data", 4) == 0 && le32(4) + 8 == size &&
         le32(40) + 44 == size && le32(40) > 0;
}

}  // namespace qur::testing
