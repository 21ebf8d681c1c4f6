// Byte streams without message boundaries: the framing layer writes into an
// OutputStream and reads from an InputStream. The file-descriptor versions
// cover files, pipes and sockets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qur {

// Numbered like the classic stream states; 0 means not yet opened.
enum class StreamState : int {
  NotOpen = 0,
  Opening = 1,
  Open = 2,
  Reading = 3,
  Writing = 4,
  AtEnd = 5,
  Closed = 6,
  Error = 7,
};

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual void open() = 0;
  virtual void close() = 0;
  // Writes up to length bytes without waiting for room: returns the count
  // written, 0 when nothing can be written now, -1 on an error (then
  // streamStatus() is Error and streamError() says why).
  virtual std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) = 0;
  virtual StreamState streamStatus() const = 0;
  virtual std::string streamError() const = 0;
};

class InputStream {
 public:
  virtual ~InputStream() = default;
  virtual void open() = 0;
  // Safe from any thread; wakes a read that is waiting.
  virtual void close() = 0;
  // Waits until at least one byte is available and reads up to maxLength:
  // returns the count read, 0 at the end of the stream (or once closed), -1
  // on an error (then streamStatus() is Error and streamError() says why).
  virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual StreamState streamStatus() const = 0;
  virtual std::string streamError() const = 0;
};

// Writes to a descriptor it owns. Writes never block: the descriptor is put
// in non-blocking mode (sockets are sent to with MSG_DONTWAIT instead), and a
// peer that has gone away gives an error rather than SIGPIPE.
class FileDescriptorOutputStream : public OutputStream {
 public:
  explicit FileDescriptorOutputStream(int fd);
  ~FileDescriptorOutputStream() override;
  FileDescriptorOutputStream(const FileDescriptorOutputStream&) = delete;
  FileDescriptorOutputStream& operator=(const FileDescriptorOutputStream&) = delete;

  // A new or truncated file; null (logged) when it cannot be created.
  static std::shared_ptr<FileDescriptorOutputStream> toFile(const std::string& path);

  void open() override;
  void close() override;
  std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) override;
  StreamState streamStatus() const override { return _status.load(); }
  std::string streamError() const override;

 private:
  int _fd;
  bool _isSocket = false;
  std::atomic<StreamState> _status{StreamState::NotOpen};
  mutable std::mutex _errorMutex;
  std::string _error;
};

// Reads from a descriptor it owns. A read waits for data; close() from
// another thread wakes it.
class FileDescriptorInputStream : public InputStream {
 public:
  explicit FileDescriptorInputStream(int fd);
  ~FileDescriptorInputStream() override;
  FileDescriptorInputStream(const FileDescriptorInputStream&) = delete;
  FileDescriptorInputStream& operator=(const FileDescriptorInputStream&) = delete;

  // An existing file; null (logged) when it cannot be opened.
  static std::shared_ptr<FileDescriptorInputStream> fromFile(const std::string& path);

  void open() override;
  void close() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  StreamState streamStatus() const override { return _status.load(); }
  std::string streamError() const override;

 private:
  int _fd;
  int _wakeFd;
  std::atomic<StreamState> _status{StreamState::NotOpen};
  mutable std::mutex _errorMutex;
  std::string _error;
};

// Reads a copy of the bytes it was made with, then reports the end. A read
// limit makes it hand out at most that many bytes per read, the way a socket
// hands out whatever segments have arrived.
class MemoryInputStream : public InputStream {
 public:
  explicit MemoryInputStream(const std::uint8_t* bytes, std::size_t length,
                             std::size_t readLimit = 0);

  void open() override;
  void close() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  StreamState streamStatus() const override { return _status.load(); }
  std::string streamError() const override { return {}; }

 private:
  std::unique_ptr<std::uint8_t[]> _bytes;
  std::size_t _length;
  std::size_t _position = 0;
  std::size_t _readLimit;
  std::atomic<StreamState> _status{StreamState::NotOpen};
};

}  // namespace qur
