// Files that hold the device key and the pinned peer keys: a private folder,
// whole-file atomic writes, and setting a damaged file aside. The folder and
// its files must be owned by the user (or root) and writable by nobody else,
// as OpenSSH's strict modes require; symbolic links are never followed.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qur::peers {

// $QUR_WTALKIE_CONFIG_DIR when set, else $XDG_CONFIG_HOME/qur-wtalkie, else ~/.config/qur-wtalkie.
// Any thread.
std::filesystem::path defaultConfigDirectory();

// The variable that lets group- and other-writable folders and files pass
// (owner and symbolic-link checks stay): QUR_WTALKIE_STRICT_MODES=no.
inline constexpr const char* kStrictModesVariable = "QUR_WTALKIE_STRICT_MODES";

// Creates the folder (and its parents) when missing; a folder it creates is
// 0700. An existing folder must be owned by the user and not writable by
// group or others. False with a log line and *problem (words for the user)
// when it cannot be made or must not be used. Any thread.
bool ensurePrivateDirectory(const std::filesystem::path& directory, std::string* problem = nullptr);

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

// Reads at most maxBytes without following a symbolic link; nullopt when
// the file is missing, unreadable, not a regular file or longer (errnoOut
// says which: ENOENT, EACCES, EISDIR..., EFBIG), or must not be trusted: a
// symbolic link, someone else's, or writable by group or others (errnoOut
// EPERM, *unsafe says which, for the user). With tighten, a file others may read
// is made 0600 through its descriptor, with a log line. Any thread.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxBytes,
                                         int* errnoOut, std::string* unsafe = nullptr,
                                         bool tighten = false);

// Holds "<folder>/instance.lock" while it lives, so that a second program
// started on the same folder (and so with the same key) is told instead of
// running beside the first, where the two would never see each other.
class InstanceLock {
 public:
  static constexpr const char* kFileName = "instance.lock";
  // Null when another program holds the lock or it cannot be taken; *problem
  // says which, in words for the user. Any thread.
  static std::unique_ptr<InstanceLock> acquire(const std::filesystem::path& directory,
                                               std::string* problem);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(int fd) : _fd(fd) {}
  int _fd;
};

// Renames the file to "<name>.<reason>-<UTC time>" (with a counter when that
// exists) so it is kept for the user and no longer in the way. Returns the
// new path, empty when the rename failed. Any thread.
std::filesystem::path setFileAside(const std::filesystem::path& path, std::string_view reason);

}  // namespace qur::peers
