// Where the application's sound files are: share/qur-wtalkie/sounds beside the
// executable's bin/ folder, in the build tree as in an installed tree.
// QUR_WTALKIE_SOUNDS names another folder (tests, development).
#pragma once

#include <string>

namespace qur {

inline constexpr const char* kSoundsEnvironmentVariable = "QUR_WTALKIE_SOUNDS";

// The folder searched for sounds. Any thread.
std::string soundResourceDirectory();
// Where "<name>.<extension>" is looked for, whether or not it is there, so a
// missing sound can be reported with the exact path searched. Any thread.
std::string soundResourceLocation(const std::string& name, const std::string& extension = "caf");
// Full path of "<name>.<extension>" in that folder, or empty when the file is
// not there. Any thread.
std::string soundResourcePath(const std::string& name, const std::string& extension = "caf");

}  // namespace qur
