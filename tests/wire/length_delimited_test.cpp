// Length-prefixed framing: the writer's flush thread, the reader's polling on
// the shared run-loop thread, and both ends joined over real descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/wire_test_support.h"
#include "wire/length_delimited_input_stream.h"
#include "wire/length_delimited_output_stream.h"
#include "wire/wire_message_stream.h"

namespace qur {
namespace {

using testing::Bytes;
using testing::LogCapture;
using testing::RecordingMessageDelegate;
using testing::waitUntil;

Bytes frame(const Bytes& message) {
  const auto n = static_cast<std::uint32_t>(message.size());
  Bytes out{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
  return b;
}

const Bytes kStarted{0x12, 0x02, 0x08, 0x01};
const Bytes kStopped{0x12, 0x02, 0x08, 0x00};

std::string tempPath() {
  return testing::temporaryFile("qur_frames_");
}

struct FileOfBytes {
  explicit FileOfBytes(const Bytes& contents) : path(tempPath()) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(contents.data()),
               static_cast<std::streamsize>(contents.size()));
  }
  ~FileOfBytes() { std::remove(path.c_str()); }
  std::string path;
};

// Reads exactly n bytes from a descriptor the test holds (waiting for the
// writer's flush thread).
Bytes readExactly(int fd, std::size_t n) {
  Bytes out(n);
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) break;
    const auto r = ::read(fd, out.data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
}

std::size_t unreadBytes(int fd) {
  int n = 0;
  ::ioctl(fd, FIONREAD, &n);
  return static_cast<std::size_t>(n);
}

// A reader over a file, polled synchronously on the test thread.
std::vector<Bytes> readFramesFromFile(const Bytes& contents) {
  FileOfBytes file(contents);
  auto stream = FileDescriptorInputStream::fromFile(file.path);
  stream->open();
  LengthDelimitedInputStream reader(stream);
  auto delegate = std::make_shared<RecordingMessageDelegate>();
  reader.setDelegate(delegate);
  reader.pollStream();
  EXPECT_EQ(reader.bytesReadTotal(), contents.size());
  return delegate->taken();
}

// ---- Writer ----------------------------------------------------------------

TEST(LengthDelimitedOutputStream, StatusGoesOutAsLengthThenBytes) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  auto out = std::make_shared<FileDescriptorOutputStream>(fds[1]);
  out->open();
  LengthDelimitedOutputStream writer(out);
  EXPECT_TRUE(writer.writeMessage(kStarted));
  EXPECT_TRUE(writer.writeMessage({}));
  EXPECT_EQ(readExactly(fds[0], 12), (Bytes{0, 0, 0, 4, 0x12, 0x02, 0x08, 0x01, 0, 0, 0, 0}));
  ::close(fds[0]);
}

TEST(LengthDelimitedOutputStream, DestructionWritesWhatIsStillQueued) {
  const std::string path = tempPath();
  {
    auto out = FileDescriptorOutputStream::toFile(path);
    out->open();
    LengthDelimitedOutputStream writer(out);
    for (std::uint8_t i = 0; i < 20; ++i) EXPECT_TRUE(writer.writeMessage(pattern(100, i)));
    EXPECT_TRUE(writer.writeMessage(kStopped));
  }
  std::ifstream in(path, std::ios::binary);
  const Bytes written{std::istreambuf_iterator<char>(in), {}};
  std::vector<Bytes> frames;
  for (std::uint8_t i = 0; i < 20; ++i) frames.push_back(frame(pattern(100, i)));
  frames.push_back(frame(kStopped));
  EXPECT_EQ(written, concat(frames));
  std::remove(path.c_str());
}

TEST(LengthDelimitedOutputStreamConcurrency, FullRingDropsWholeMessagesOnly) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  // Fill the pipe first so that the flush thread cannot write anything.
  const int outFd = fds[1];
  ::fcntl(outFd, F_SETFL, ::fcntl(outFd, F_GETFL) | O_NONBLOCK);
  std::size_t filler = 0;
  const Bytes chunk(4096, 0xEE);
  for (;;) {
    const auto n = ::write(outFd, chunk.data(), chunk.size());
    if (n <= 0) break;
    filler += static_cast<std::size_t>(n);
  }
  auto out = std::make_shared<FileDescriptorOutputStream>(outFd);
  out->open();

  LogCapture log(LogFlagError);
  LengthDelimitedOutputStream writer(out);
  std::vector<Bytes> accepted;
  std::uint8_t seed = 0;
  for (;;) {
    const Bytes message = pattern(1000, seed++);
    if (!writer.writeMessage(message)) break;
    accepted.push_back(message);
  }
  // 12288 bytes of ring (three pages) hold twelve 1004-byte frames.
  EXPECT_EQ(accepted.size(), 12u);
  EXPECT_EQ(log.count("OH NOES! Buffer full!"), 1);
  // A smaller message still fits in what is left.
  EXPECT_TRUE(writer.writeMessage(kStarted));
  accepted.push_back(kStarted);

  ASSERT_EQ(readExactly(fds[0], filler).size(), filler);
  std::vector<Bytes> frames;
  for (const auto& m : accepted) frames.push_back(frame(m));
  EXPECT_EQ(readExactly(fds[0], concat(frames).size()), concat(frames));

  // Once the flush has made room, messages are taken again.
  const Bytes later = pattern(3000, 77);
  EXPECT_TRUE(waitUntil([&] { return writer.writeMessage(later); }));
  EXPECT_EQ(readExactly(fds[0], later.size() + 4), frame(later));
  ::close(fds[0]);
}

TEST(LengthDelimitedOutputStreamConcurrency, PartialWritesContinueWithoutRepeats) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);  // a flush of more than a page is taken in parts
  auto out = std::make_shared<FileDescriptorOutputStream>(fds[1]);
  out->open();
  LengthDelimitedOutputStream writer(out);

  std::vector<Bytes> frames;
  for (std::uint8_t i = 0; i < 60; ++i) frames.push_back(frame(pattern(200 + 37 * i, i)));
  const Bytes expected = concat(frames);

  std::atomic<std::size_t> received{0};
  Bytes got;
  std::thread reader([&] {
    // Small reads keep the pipe close to full, so flushes keep being cut short.
    got = Bytes();
    std::uint8_t chunk[100];
    while (got.size() < expected.size()) {
      pollfd p{fds[0], POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) break;
      const auto n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
      received = got.size();
    }
  });
  // The sender waits for room instead of losing messages; its retries are
  // expected refusals, kept off the console.
  const int level = logLevel();
  setLogLevel(LogLevelOff);
  for (const auto& f : frames) {
    ASSERT_TRUE(
        waitUntil([&] { return writer.writeMessage(ByteMessage(f.data() + 4, f.size() - 4)); }));
  }
  setLogLevel(level);
  reader.join();
  EXPECT_EQ(got, expected);
  ::close(fds[0]);
}

TEST(LengthDelimitedOutputStreamConcurrency, FailingStreamIsReportedOnce) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  auto out = std::make_shared<FileDescriptorOutputStream>(fds[1]);
  out->open();
  LogCapture log(LogFlagError);
  {
    LengthDelimitedOutputStream writer(out);
    EXPECT_TRUE(writer.writeMessage(kStarted));
    ASSERT_TRUE(waitUntil([&] { return log.count("Writing got error") > 0; }));
    // Later flushes (and the last one at destruction) fail the same way.
    EXPECT_TRUE(writer.writeMessage(kStopped));
  }
  EXPECT_EQ(log.count("Writing got error"), 1);
  EXPECT_EQ(log.count("Broken pipe"), 1);
  EXPECT_EQ(log.count("status 7"), 1);
}

// ---- Reader ----------------------------------------------------------------

TEST(LengthDelimitedInputStream, FramesFromAFileArriveInOrder) {
  const std::vector<Bytes> messages{kStarted, {}, pattern(300, 1), pattern(51200, 2), kStopped};
  std::vector<Bytes> frames;
  for (const auto& m : messages) frames.push_back(frame(m));
  EXPECT_EQ(readFramesFromFile(concat(frames)), messages);
}

TEST(LengthDelimitedInputStream, OversizedFramesAreSkippedAndTheNextOneDelivered) {
  LogCapture log(LogFlagError);
  Bytes oversized{0x00, 0x00, 0xC8, 0x01};  // 51201 bytes
  const Bytes junk = pattern(51201, 9);
  oversized.insert(oversized.end(), junk.begin(), junk.end());
  Bytes huge{0x00, 0x10, 0x00, 0x00};  // 1 MiB
  const Bytes hugeJunk = pattern(1 << 20, 4);
  huge.insert(huge.end(), hugeJunk.begin(), hugeJunk.end());

  const Bytes stream =
      concat({frame(kStarted), oversized, frame(pattern(10, 3)), huge, frame(kStopped)});
  EXPECT_EQ(readFramesFromFile(stream), (std::vector<Bytes>{kStarted, pattern(10, 3), kStopped}));
  EXPECT_EQ(log.count("Skipping a frame of 51201 bytes"), 1);
  EXPECT_EQ(log.count("Skipping a frame of 1048576 bytes"), 1);
  EXPECT_EQ(log.messages().size(), 2u);
}

TEST(LengthDelimitedInputStream, TruncatedLastFrameIsLoggedAndDropped) {
  const Bytes whole = concat({frame(kStarted), frame(pattern(40, 5))});
  struct Case {
    const char* name;
    Bytes tail;
  };
  const std::vector<Case> cases{
      {"inside the length", {0x00, 0x00}},
      {"right after the length", {0x00, 0x00, 0x00, 0x08}},
      {"inside the payload", {0x00, 0x00, 0x00, 0x08, 1, 2, 3}},
      {"inside a skipped frame", {0x00, 0x01, 0x00, 0x00, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    LogCapture log(LogFlagError);
    EXPECT_EQ(readFramesFromFile(concat({whole, c.tail})),
              (std::vector<Bytes>{kStarted, pattern(40, 5)}))
        << c.name;
    EXPECT_EQ(log.count("Stream ended inside a frame"), 1) << c.name;
  }
  LogCapture log(LogFlagError);
  EXPECT_EQ(readFramesFromFile(whole).size(), 2u);
  EXPECT_TRUE(log.messages().empty());
}

TEST(LengthDelimitedInputStream, EveryWayOfCuttingTheStreamGivesTheSameFrames) {
  Bytes oversized{0x00, 0x00, 0xEA, 0x60};  // 60000 bytes, skipped
  const Bytes junk = pattern(60000, 6);
  oversized.insert(oversized.end(), junk.begin(), junk.end());
  const Bytes stream = concat({frame(kStarted), frame({}), frame(pattern(300, 1)), oversized,
                               frame(pattern(51200, 2)), frame(kStopped)});
  const std::vector<Bytes> expected{kStarted, {}, pattern(300, 1), pattern(51200, 2), kStopped};
  const int level = logLevel();
  setLogLevel(LogLevelOff);  // the skipped frame is logged once per cut
  for (std::size_t readLimit = 1; readLimit <= 9; ++readLimit) {
    auto input = std::make_shared<MemoryInputStream>(stream.data(), stream.size(), readLimit);
    input->open();
    LengthDelimitedInputStream reader(input);
    auto delegate = std::make_shared<RecordingMessageDelegate>();
    reader.setDelegate(delegate);
    reader.pollStream();
    EXPECT_EQ(delegate->taken(), expected) << readLimit;
    EXPECT_EQ(reader.bytesReadTotal(), stream.size()) << readLimit;
  }
  setLogLevel(level);
}

TEST(LengthDelimitedInputStream, UnopenedStreamIsNotReadAndAReadErrorEndsThePoll) {
  FileOfBytes file(frame(kStarted));
  auto stream = FileDescriptorInputStream::fromFile(file.path);
  LengthDelimitedInputStream reader(stream);
  auto delegate = std::make_shared<RecordingMessageDelegate>();
  reader.setDelegate(delegate);
  reader.pollStream();
  EXPECT_EQ(reader.bytesReadTotal(), 0u);
  EXPECT_EQ(delegate->count(), 0u);
  stream->open();
  reader.pollStream();
  EXPECT_EQ(delegate->taken(), std::vector<Bytes>{kStarted});

  LogCapture log(LogFlagError);
  auto unreadable =
      std::make_shared<FileDescriptorInputStream>(::open(file.path.c_str(), O_WRONLY | O_CLOEXEC));
  unreadable->open();
  LengthDelimitedInputStream failing(unreadable);
  failing.setDelegate(delegate);
  failing.pollStream();
  EXPECT_EQ(log.count("Reading got error"), 1);
  EXPECT_EQ(delegate->count(), 1u);
}

// Writes the stream one byte at a time and waits until the reader has taken
// each byte, so every read returns exactly one byte and every position in
// every frame is a split point.
void feedOneBytePerRead(int writeFd, int readFd, const Bytes& bytes) {
  for (const std::uint8_t b : bytes) {
    ASSERT_EQ(::write(writeFd, &b, 1), 1);
    ASSERT_TRUE(waitUntil([&] { return unreadBytes(readFd) == 0; }));
  }
}

TEST(LengthDelimitedInputStreamConcurrency, OneBytePerReadOverPipesAndSockets) {
  const std::vector<Bytes> messages{kStarted, {}, pattern(150, 8), kStopped};
  std::vector<Bytes> frames;
  for (const auto& m : messages) frames.push_back(frame(m));
  const Bytes bytes = concat(frames);

  for (const bool useSocket : {false, true}) {
    int fds[2];
    ASSERT_TRUE(testing::openDescriptorPair(useSocket, fds));
    auto stream = std::make_shared<FileDescriptorInputStream>(fds[0]);
    stream->open();
    auto reader = std::make_shared<LengthDelimitedInputStream>(stream);
    auto delegate = std::make_shared<RecordingMessageDelegate>();
    reader->setDelegate(delegate);
    reader->startPolling();
    feedOneBytePerRead(fds[1], fds[0], bytes);
    ASSERT_TRUE(waitUntil([&] { return delegate->count() == messages.size(); }));
    EXPECT_EQ(delegate->taken(), messages) << (useSocket ? "socket" : "pipe");
    EXPECT_EQ(reader->bytesReadTotal(), bytes.size());
    ::close(fds[1]);  // end of stream ends the poll
    ASSERT_TRUE(waitUntil([&] { return stream->streamStatus() == StreamState::AtEnd; }));
  }
}

TEST(LengthDelimitedInputStreamConcurrency, StoppingAndRestartingLosesNothing) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  auto stream = std::make_shared<FileDescriptorInputStream>(fds[0]);
  stream->open();
  LengthDelimitedInputStream reader(stream);
  auto delegate = std::make_shared<RecordingMessageDelegate>();
  reader.setDelegate(delegate);
  reader.startPolling();

  const Bytes first = frame(pattern(20, 1));
  ASSERT_EQ(::write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  ASSERT_TRUE(waitUntil([&] { return delegate->count() == 1; }));

  // The poll is now waiting in a read; it ends after that read, and the
  // frame it completes is delivered by the new poll instead.
  reader.stopPolling();
  reader.startPolling();
  const Bytes second = frame(pattern(30, 2));
  ASSERT_EQ(::write(fds[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
  ASSERT_TRUE(waitUntil([&] { return delegate->count() == 2; }));
  EXPECT_EQ(delegate->taken(), (std::vector<Bytes>{pattern(20, 1), pattern(30, 2)}));
  stream->close();
  ::close(fds[1]);
}

TEST(LengthDelimitedInputStreamConcurrency, DestroyingTheReaderDuringAReadIsSafe) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  auto stream = std::make_shared<FileDescriptorInputStream>(fds[0]);
  stream->open();
  auto delegate = std::make_shared<RecordingMessageDelegate>();
  {
    LengthDelimitedInputStream reader(stream);
    reader.setDelegate(delegate);
    reader.startPolling();
    const Bytes partial{0, 0, 0, 4, 0x12};
    ASSERT_EQ(::write(fds[1], partial.data(), partial.size()), 5);
    ASSERT_TRUE(waitUntil([&] { return unreadBytes(fds[0]) == 0; }));
  }
  // The poll still waits for the rest of the frame; it must not deliver it.
  const Bytes rest{0x02, 0x08, 0x01};
  ASSERT_EQ(::write(fds[1], rest.data(), rest.size()), 3);
  ASSERT_TRUE(waitUntil([&] { return unreadBytes(fds[0]) == 0; }));
  stream->close();
  // A fresh poll on the shared thread proves the old one has finished.
  LengthDelimitedInputStream probe(stream);
  std::atomic<bool> ran{false};
  auto timer = RunLoopTimer::create(std::chrono::milliseconds(1), false, [&] { ran = true; });
  RunLoopThread::sharedInstance()->attachTimer(timer);
  ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
  EXPECT_EQ(delegate->count(), 0u);
  ::close(fds[1]);
}

// ---- Both ends -------------------------------------------------------------

TEST(LengthDelimitedStreamsConcurrency, TransmissionCrossesASocketPair) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto out = std::make_shared<FileDescriptorOutputStream>(fds[0]);
  out->open();
  auto in = std::make_shared<FileDescriptorInputStream>(fds[1]);
  in->open();

  auto reader = std::make_shared<LengthDelimitedInputStream>(in);
  auto source = std::make_shared<WireMessageStreamSource>();
  auto delegate = std::make_shared<testing::RecordingWireDelegate>();
  source->setDelegate(delegate);
  reader->setDelegate(source);
  reader->startPolling();

  constexpr int kPackets = 200;
  {
    WireMessageStreamSink sink(std::make_shared<LengthDelimitedOutputStream>(out));
    ASSERT_TRUE(sink.sendStreamStatus(1));
    OpusPacketPtr packet = makeOpusPacket(614);
    for (int i = 0; i < kPackets; ++i) {
      packet->frameCount = 2880;
      packet->packetNumber = static_cast<std::uint32_t>(i);
      packet->timestamp = static_cast<std::uint32_t>(60 * i);
      packet->dataLength = static_cast<std::uint32_t>(100 + (i * 37) % 500);
      for (std::uint32_t b = 0; b < packet->dataLength; ++b) {
        packet->data[b] = static_cast<std::uint8_t>(b + i);
      }
      // Paced like a real encoder: never far ahead of the receiver, so the
      // 12 KiB ring between them never overflows.
      ASSERT_TRUE(waitUntil([&] { return delegate->eventCount() + 10 >= std::size_t(i); }));
      ASSERT_TRUE(sink.sendOpusPayload(packet.get()));
    }
    ASSERT_TRUE(sink.sendStreamStatus(0));
  }
  ASSERT_TRUE(waitUntil([&] { return delegate->eventCount() == kPackets + 2; }));
  std::lock_guard lock(delegate->mutex);
  EXPECT_EQ(delegate->events.front(), "status 1");
  EXPECT_EQ(delegate->events.back(), "status 0");
  ASSERT_EQ(delegate->packets.size(), static_cast<std::size_t>(kPackets));
  for (int i = 0; i < kPackets; ++i) {
    const auto& p = delegate->packets[i];
    ASSERT_EQ(p.packetNumber, static_cast<std::uint32_t>(i));
    ASSERT_EQ(p.timestamp, static_cast<std::uint32_t>(60 * i));
    ASSERT_EQ(p.data.size(), static_cast<std::size_t>(100 + (i * 37) % 500));
    for (std::size_t b = 0; b < p.data.size(); ++b) {
      ASSERT_EQ(p.data[b], static_cast<std::uint8_t>(b + i));
    }
  }
  in->close();
}

}  // namespace
}  // namespace qur
