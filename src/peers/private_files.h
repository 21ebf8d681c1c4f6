// Files that hold the device key and the pinned peer keys: a private folder,
// whole-file atomic writes, and setting a damaged file aside.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qur::peers {

// $QUR_WTALKIE_CONFIG_DIR when set, else $XDG_CONFIG_HOME/qur-wtalkie, else ~/.config/qur-wtalkie.
// Any thread.
std::filesystem::path defaultConfigDirectory();

// Creates the folder (and its parents) when missing; a folder it creates is
// 0700. False with a log line when it cannot. Any thread.
bool ensurePrivateDirectory(const std::filesystem::path& directory);

enum class WriteMode {
  Replace,     // rename over whatever is there
  CreateOnly,  // fail with Exists when the file appeared meanwhile
};
enum class WriteResult { Written, Exists, Failed };

// Writes the whole file through a 0600 temporary in the same folder, synced
// before it takes the name, so readers see the old file or the new one and
// never a part. Failed is logged. Any thread.
WriteResult writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                                WriteMode mode);

// Reads at most maxBytes; nullopt when the file is missing, unreadable or
// longer (errnoOut says which: ENOENT, EACCES..., EFBIG). Any thread.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         int* errnoOut);

// Renames the file to "<name>.<reason>-<UTC time>" (with a counter when that
// exists) so it is kept for the user and no longer in the way. Returns the
// new path, empty when the rename failed. Any thread.
std::filesystem::path setFileAside(const std::filesystem::path& path, std::string_view reason);

}  // namespace qur::peers
