#include "peers/private_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
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

bool strictModes() {
  const char* value = std::getenv(kStrictModesVariable);
  return !(value && std::string_view(value) == "no");
}

// Why a folder or file that exists must not be used, or empty. The owner
// may be us or root; nobody else may write to it.
std::string untrusted(const struct stat& st, bool directory) {
  if (directory && !S_ISDIR(st.st_mode)) return "is not a folder";
  if (st.st_uid != ::geteuid() && st.st_uid != 0)
    return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  if ((st.st_mode & 022) && strictModes())
    return std::string("is writable by ") + ((st.st_mode & 002) ? "others" : "its group") +
           " (chmod go-w, or " + kStrictModesVariable + "=no)";
  return {};
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

bool ensurePrivateDirectory(const fs::path& directory, std::string* problem) {
  auto refuse = [&](const std::string& why) {
    QUR_LOG_ERROR("The folder %s %s; not using it", directory.c_str(), why.c_str());
    if (problem) *problem = "the folder " + directory.string() + " " + why;
    return false;
  };
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) {
    std::error_code ec;
    if (directory.has_parent_path()) fs::create_directories(directory.parent_path(), ec);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
      return refuse(std::string("cannot be created: ") + std::strerror(errno));
    if (::stat(directory.c_str(), &st) != 0)
      return refuse(std::string("cannot be read: ") + std::strerror(errno));
  }
  // Followed if it is a link: what counts is the folder the files are in.
  const std::string why = untrusted(st, true);
  return why.empty() ? true : refuse(why);
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

std::optional<std::string> readSmallFile(const fs::path& path, std::size_t maxBytes, int* errnoOut,
                                         std::string* unsafe, bool tighten) {
  int error = 0;
  std::optional<std::string> result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st {};
  std::string why;
  if (fd < 0) {
    error = errno;
    if (error == ELOOP) why = "is a symbolic link";
  } else if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;  // not a file: unreadable, not a threat
  } else {
    why = untrusted(st, false);
  }
  if (!why.empty()) {
    error = EPERM;
    if (unsafe) *unsafe = why;
  } else if (fd >= 0 && !error) {
    if (tighten && (st.st_mode & 077)) {
      // Through the descriptor: the file we read is the one made private.
      if (::fchmod(fd, 0600) == 0)
        QUR_LOG_WARN("%s was readable by others; now 0600", path.c_str());
      else
        QUR_LOG_ERROR("%s is readable by others and cannot be made private: %s", path.c_str(),
                      std::strerror(errno));
    }
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
  }
  if (fd >= 0) ::close(fd);
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

std::unique_ptr<InstanceLock> InstanceLock::acquire(const fs::path& directory,
                                                    std::string* problem) {
  const fs::path path = directory / kFileName;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *problem = "cannot take " + path.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    const std::string holder = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : "";
    const auto digits = holder.find_first_not_of("0123456789");
    const std::string pid = holder.substr(0, digits);
    *problem = error == EWOULDBLOCK
                   ? "another qur-wtalkie" + (pid.empty() ? "" : " (process " + pid + ")") +
                         " is already running with the key folder " + directory.string()
                   : "cannot lock " + path.string() + ": " + std::strerror(error);
    return nullptr;
  }
  // For the message the next one gets; the lock is what counts.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0)
    QUR_LOG_WARN("Cannot note our process id in %s", path.c_str());
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
  ::close(_fd);
}

}  // namespace qur::peers
