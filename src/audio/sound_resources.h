// Where the application's sound files are: share/qur-wtalkie/sounds beside the
// executable's bin/ folder, in the build tree as in an installed tree.
// QUR_WTALKIE_SOUNDS names another folder (tests, development).
#pragma once

#include <string>

namespace qur {

inline constexpr const char* kSoundsEnvironmentVariable = "QUR_WTALKIE_SOUNDS";

// The folder searched for sounds.
std::string soundResourceDirectory();
// Full path of "<name>.<extension>" in that folder, or empty when the file is
// not there.
std::string soundResourcePath(const std::string& name, const std::string& extension = "caf");

}  // namespace qur
