#include "wire/byte_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log/log.h"

namespace qur {

namespace {

std::string errorText(int error) {
  return std::string(std::strerror(error)) + " (" + std::to_string(error) + ")";
}

// A write to a pipe whose reader has gone raises SIGPIPE on the writing
// thread. Blocking it around the call turns that into EPIPE; a signal we
// caused is then taken off the pending set so it never fires later.
ssize_t writeWithoutSigpipe(int fd, const void* bytes, std::size_t length) {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  ssize_t n;
  do {
    n = ::write(fd, bytes, length);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  if (n < 0 && error == EPIPE && !wasPending) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return n;
}

}  // namespace

// ---- Output ----------------------------------------------------------------

FileDescriptorOutputStream::FileDescriptorOutputStream(int fd) : _fd(fd) {
  struct stat info {};
  if (fd >= 0 && fstat(fd, &info) == 0) _isSocket = S_ISSOCK(info.st_mode);
  if (fd >= 0 && !_isSocket) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
}

FileDescriptorOutputStream::~FileDescriptorOutputStream() {
  if (_fd >= 0) ::close(_fd);
}

std::shared_ptr<FileDescriptorOutputStream> FileDescriptorOutputStream::toFile(
    const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    QUR_LOG_ERROR("Cannot create %s: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  return std::make_shared<FileDescriptorOutputStream>(fd);
}

void FileDescriptorOutputStream::open() {
  if (_fd < 0) {
    std::lock_guard lock(_errorMutex);
    _error = "no file descriptor";
    _status = StreamState::Error;
    return;
  }
  StreamState expected = StreamState::NotOpen;
  _status.compare_exchange_strong(expected, StreamState::Open);
}

void FileDescriptorOutputStream::close() {
  _status = StreamState::Closed;
}

std::ptrdiff_t FileDescriptorOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  const StreamState status = _status.load();
  if (status != StreamState::Open && status != StreamState::Writing) return -1;
  if (length == 0) return 0;
  ssize_t n;
  if (_isSocket) {
    do {
      n = ::send(_fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
  } else {
    n = writeWithoutSigpipe(_fd, bytes, length);
  }
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  const int error = errno;
  {
    std::lock_guard lock(_errorMutex);
    _error = errorText(error);
  }
  _status = StreamState::Error;
  return -1;
}

std::string FileDescriptorOutputStream::streamError() const {
  std::lock_guard lock(_errorMutex);
  return _error;
}

// ---- Input -----------------------------------------------------------------

FileDescriptorInputStream::FileDescriptorInputStream(int fd)
    : _fd(fd), _wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FileDescriptorInputStream::~FileDescriptorInputStream() {
  if (_fd >= 0) ::close(_fd);
  if (_wakeFd >= 0) ::close(_wakeFd);
}

std::shared_ptr<FileDescriptorInputStream> FileDescriptorInputStream::fromFile(
    const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    QUR_LOG_ERROR("Cannot open %s: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  return std::make_shared<FileDescriptorInputStream>(fd);
}

void FileDescriptorInputStream::open() {
  if (_fd < 0 || _wakeFd < 0) {
    std::lock_guard lock(_errorMutex);
    _error = _fd < 0 ? "no file descriptor" : "no wake-up descriptor";
    _status = StreamState::Error;
    return;
  }
  StreamState expected = StreamState::NotOpen;
  _status.compare_exchange_strong(expected, StreamState::Open);
}

void FileDescriptorInputStream::close() {
  _status = StreamState::Closed;
  if (_wakeFd >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(_wakeFd, &one, sizeof one);
  }
}

std::ptrdiff_t FileDescriptorInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  for (;;) {
    const StreamState status = _status.load();
    if (status == StreamState::AtEnd || status == StreamState::Closed) return 0;
    if (status != StreamState::Open && status != StreamState::Reading) return -1;
    if (maxLength == 0) return 0;

    pollfd fds[2] = {{_fd, POLLIN, 0}, {_wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return 0;  // closed while waiting
    if (fds[0].revents == 0) continue;

    const ssize_t n = ::read(_fd, buffer, maxLength);
    if (n > 0) return n;
    if (n == 0) {
      StreamState expected = StreamState::Open;
      _status.compare_exchange_strong(expected, StreamState::AtEnd);
      return 0;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    break;
  }
  const int error = errno;
  {
    std::lock_guard lock(_errorMutex);
    _error = errorText(error);
  }
  _status = StreamState::Error;
  return -1;
}

std::string FileDescriptorInputStream::streamError() const {
  std::lock_guard lock(_errorMutex);
  return _error;
}

// ---- Memory ----------------------------------------------------------------

MemoryInputStream::MemoryInputStream(const std::uint8_t* bytes, std::size_t length,
                                     std::size_t readLimit)
    : _bytes(new std::uint8_t[length > 0 ? length : 1]), _length(length), _readLimit(readLimit) {
  if (length > 0) std::memcpy(_bytes.get(), bytes, length);
}

void MemoryInputStream::open() {
  StreamState expected = StreamState::NotOpen;
  _status.compare_exchange_strong(expected, StreamState::Open);
}

void MemoryInputStream::close() {
  _status = StreamState::Closed;
}

std::ptrdiff_t MemoryInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  const StreamState status = _status.load();
  if (status == StreamState::AtEnd || status == StreamState::Closed) return 0;
  if (status != StreamState::Open) return -1;
  std::size_t n = std::min(maxLength, _length - _position);
  if (_readLimit > 0) n = std::min(n, _readLimit);
  if (n == 0 && maxLength > 0) {
    _status = StreamState::AtEnd;
    return 0;
  }
  if (n > 0) std::memcpy(buffer, _bytes.get() + _position, n);
  _position += n;
  return static_cast<std::ptrdiff_t>(n);
}

}  // namespace qur
