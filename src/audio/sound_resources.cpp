#include "audio/sound_resources.h"

#include <cstdlib>
#include <filesystem>

namespace qur {

std::string soundResourceDirectory() {
  if (const char* dir = std::getenv(kSoundsEnvironmentVariable); dir && *dir) return dir;
  // The link resolves symbolic links to the program, so a program linked
  // into another bin/ folder still finds the tree it was installed with.
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    // Without /proc only the working folder is left; made absolute so a
    // message naming it is unambiguous.
    const std::filesystem::path relative = "share/qur-wtalkie/sounds";
    const auto absolute = std::filesystem::absolute(relative, error);
    return (error ? relative : absolute).string();
  }
  return (exe.parent_path().parent_path() / "share" / "qur-wtalkie" / "sounds").string();
}

std::string soundResourceLocation(const std::string& name, const std::string& extension) {
  return (std::filesystem::path(soundResourceDirectory()) / (name + "." + extension)).string();
}

std::string soundResourcePath(const std::string& name, const std::string& extension) {
  const std::string path = soundResourceLocation(name, extension);
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) ? path : std::string();
}

}  // namespace qur
