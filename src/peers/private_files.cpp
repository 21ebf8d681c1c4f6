#include "peers/private_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/log.h"

namespace qur::peers {

namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The rename or link is only durable once the folder entry is on disk.
void syncDirectory(const fs::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

fs::path defaultConfigDirectory() {
  // Several devices on one machine (tests, demos) each need their own key.
  const char* own = std::getenv("QUR_WTALKIE_CONFIG_DIR");
  if (own && own[0] == '/') return fs::path(own);
  // Relative values are to be ignored, as the base-directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return fs::path(xdg) / "qur-wtalkie";
  const char* home = std::getenv("HOME");
  std::string homeDir = home && home[0] == '/' ? home : "";
  if (homeDir.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) homeDir = pw->pw_dir;
  }
  if (homeDir.empty()) homeDir = "/tmp";
  return fs::path(homeDir) / ".config" / "qur-wtalkie";
}

bool ensurePrivateDirectory(const fs::path& directory) {
  std::error_code ec;
  if (fs::is_directory(directory, ec)) return true;
  if (directory.has_parent_path()) fs::create_directories(directory.parent_path(), ec);
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    QUR_LOG_ERROR("Cannot create the folder %s: %s", directory.c_str(), std::strerror(errno));
    return false;
  }
  if (!fs::is_directory(directory, ec)) {
    QUR_LOG_ERROR("%s is not a folder", directory.c_str());
    return false;
  }
  return true;
}

WriteResult writeFileAtomically(const fs::path& path, std::string_view contents, WriteMode mode) {
  std::string temp = path.string() + ".XXXXXX";
  // mkstemp makes the file 0600 whatever the umask.
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    QUR_LOG_ERROR("Cannot write %s: %s", path.c_str(), std::strerror(errno));
    return WriteResult::Failed;
  }
  const bool ok = writeAll(fd, contents) && ::fsync(fd) == 0;
  const int writeErrno = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(temp.c_str());
    QUR_LOG_ERROR("Cannot write %s: %s", path.c_str(), std::strerror(writeErrno));
    return WriteResult::Failed;
  }
  WriteResult result = WriteResult::Written;
  if (mode == WriteMode::CreateOnly) {
    // link() never replaces: of two processes creating the file at once,
    // exactly one wins and the other reads the winner's file.
    if (::link(temp.c_str(), path.c_str()) != 0) {
      result = errno == EEXIST ? WriteResult::Exists : WriteResult::Failed;
      if (result == WriteResult::Failed)
        QUR_LOG_ERROR("Cannot write %s: %s", path.c_str(), std::strerror(errno));
    }
    ::unlink(temp.c_str());
  } else if (::rename(temp.c_str(), path.c_str()) != 0) {
    QUR_LOG_ERROR("Cannot write %s: %s", path.c_str(), std::strerror(errno));
    ::unlink(temp.c_str());
    result = WriteResult::Failed;
  }
  if (result == WriteResult::Written) syncDirectory(path.parent_path());
  return result;
}

std::optional<std::string> readSmallFile(const fs::path& path, std::size_t maxBytes,
                                         int* errnoOut) {
  int error = 0;
  std::optional<std::string> result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
  } else {
    std::string data;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = errno;
        break;
      }
      if (n == 0) {
        result = std::move(data);
        break;
      }
      if (data.size() + static_cast<std::size_t>(n) > maxBytes) {
        error = EFBIG;
        break;
      }
      data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }
  if (errnoOut) *errnoOut = error;
  return result;
}

fs::path setFileAside(const fs::path& path, std::string_view reason) {
  char stamp[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path.string() + "." + std::string(reason) + "-" + stamp;
  for (int n = 0; n < 100; ++n) {
    const fs::path aside = n == 0 ? fs::path(base) : fs::path(base + "." + std::to_string(n));
    // link + unlink rather than rename: an earlier aside copy is never replaced.
    if (::link(path.c_str(), aside.c_str()) == 0) {
      ::unlink(path.c_str());
      syncDirectory(path.parent_path());
      return aside;
    }
    if (errno != EEXIST) break;
  }
  QUR_LOG_ERROR("Cannot set %s aside: %s", path.c_str(), std::strerror(errno));
  return {};
}

}  // namespace qur::peers
