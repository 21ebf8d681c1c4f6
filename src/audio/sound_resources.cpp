#include "audio/sound_resources.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace qur {

std::string soundResourceDirectory() {
  if (const char* dir = std::getenv(kSoundsEnvironmentVariable); dir && *dir) return dir;
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "share/qur-wtalkie/sounds";
  return (exe.parent_path().parent_path() / "share" / "qur-wtalkie" / "sounds").string();
}

std::string soundResourcePath(const std::string& name, const std::string& extension) {
  const auto path = std::filesystem::path(soundResourceDirectory()) / (name + "." + extension);
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) ? path.string() : std::string();
}

}  // namespace qur
