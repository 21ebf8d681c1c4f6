// File-descriptor byte streams over files, pipes and socket pairs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/wire_test_support.h"
#include "wire/byte_stream.h"

namespace qur {
namespace {

using testing::Bytes;

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  int fds[2] = {-1, -1};
};

std::string tempPath() {
  return testing::temporaryFile("qur_stream_");
}

Bytes readAll(InputStream& in) {
  Bytes out;
  std::uint8_t chunk[7];  // small, so a read never takes everything at once
  for (;;) {
    const auto n = in.read(chunk, sizeof chunk);
    if (n <= 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

TEST(ByteStream, FileWrittenAndReadBack) {
  const std::string path = tempPath();
  Bytes data(10000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  {
    auto out = FileDescriptorOutputStream::toFile(path);
    ASSERT_TRUE(out);
    out->open();
    std::size_t written = 0;
    while (written < data.size()) {
      const auto n = out->write(data.data() + written, data.size() - written);
      ASSERT_GT(n, 0);
      written += static_cast<std::size_t>(n);
    }
  }
  auto in = FileDescriptorInputStream::fromFile(path);
  ASSERT_TRUE(in);
  in->open();
  EXPECT_EQ(readAll(*in), data);
  EXPECT_EQ(in->streamStatus(), StreamState::AtEnd);
  std::remove(path.c_str());
}

TEST(ByteStream, UnopenedStreamsRefuseAndMissingFilesAreLogged) {
  Pipe p;
  FileDescriptorInputStream in(p.fds[0]);
  FileDescriptorOutputStream out(p.fds[1]);
  std::uint8_t byte = 1;
  EXPECT_EQ(in.streamStatus(), StreamState::NotOpen);
  EXPECT_EQ(out.write(&byte, 1), -1);
  EXPECT_EQ(in.read(&byte, 1), -1);

  testing::LogCapture log(LogFlagError);
  EXPECT_EQ(FileDescriptorInputStream::fromFile("/nonexistent/qur/file"), nullptr);
  EXPECT_EQ(FileDescriptorOutputStream::toFile("/nonexistent/qur/file"), nullptr);
  EXPECT_EQ(log.messages().size(), 2u);
}

TEST(ByteStream, FullPipeTakesNothingInsteadOfBlocking) {
  Pipe p;
  FileDescriptorOutputStream out(p.fds[1]);
  FileDescriptorInputStream in(p.fds[0]);
  out.open();
  in.open();
  const Bytes chunk(4096, 0xAB);
  std::size_t written = 0;
  for (;;) {
    const auto n = out.write(chunk.data(), chunk.size());
    ASSERT_GE(n, 0);
    if (n == 0) break;
    written += static_cast<std::size_t>(n);
  }
  EXPECT_GT(written, 0u);
  EXPECT_EQ(out.streamStatus(), StreamState::Open);

  // Room made by the reader is taken again.
  Bytes drain(written);
  std::size_t read = 0;
  while (read < written) {
    const auto n = in.read(drain.data() + read, written - read);
    ASSERT_GT(n, 0);
    read += static_cast<std::size_t>(n);
  }
  EXPECT_GT(out.write(chunk.data(), chunk.size()), 0);
}

TEST(ByteStream, VanishedReaderIsAnErrorNotASignal) {
  Pipe p;
  ::close(p.fds[0]);
  FileDescriptorOutputStream pipeOut(p.fds[1]);
  pipeOut.open();
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
  ::close(sockets[1]);
  FileDescriptorOutputStream socketOut(sockets[0]);
  socketOut.open();

  // Reaching the next line at all means SIGPIPE did not end the process.
  const std::uint8_t byte = 7;
  for (OutputStream* out : std::vector<OutputStream*>{&pipeOut, &socketOut}) {
    EXPECT_EQ(out->write(&byte, 1), -1);
    EXPECT_EQ(out->streamStatus(), StreamState::Error);
    EXPECT_NE(out->streamError().find("Broken pipe"), std::string::npos) << out->streamError();
  }
}

TEST(ByteStream, ReadErrorIsReported) {
  const std::string path = tempPath();
  // A descriptor that cannot be read from.
  FileDescriptorInputStream in(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  in.open();
  std::uint8_t byte;
  EXPECT_EQ(in.read(&byte, 1), -1);
  EXPECT_EQ(in.streamStatus(), StreamState::Error);
  EXPECT_FALSE(in.streamError().empty());
  std::remove(path.c_str());
}

TEST(ByteStreamConcurrency, CloseWakesAWaitingRead) {
  for (const bool useSocket : {false, true}) {
    int fds[2];
    ASSERT_TRUE(testing::openDescriptorPair(useSocket, fds));
    auto in = std::make_shared<FileDescriptorInputStream>(fds[0]);
    in->open();
    std::atomic<std::ptrdiff_t> result{99};
    std::thread reader([&] {
      std::uint8_t byte;
      result = in->read(&byte, 1);
    });
    in->close();  // before or during the read: either way it returns
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(in->streamStatus(), StreamState::Closed);
    ::close(fds[1]);
  }
}

TEST(ByteStreamConcurrency, SocketPairCarriesEveryByteInOrder) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FileDescriptorOutputStream out(fds[0]);
  FileDescriptorInputStream in(fds[1]);
  out.open();
  in.open();
  Bytes data(300000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  std::thread writer([&] {
    std::size_t written = 0;
    while (written < data.size()) {
      const auto n = out.write(data.data() + written, data.size() - written);
      if (n < 0) return;
      if (n == 0) std::this_thread::yield();
      written += static_cast<std::size_t>(n);
    }
    out.close();
    ::shutdown(fds[0], SHUT_WR);
  });
  const Bytes received = readAll(in);
  writer.join();
  EXPECT_EQ(received, data);
}

}  // namespace
}  // namespace qur
