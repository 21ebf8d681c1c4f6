// `qur-wtalkie-cli` against what others may do to it: a peer flooding
// talking statuses at a program whose output nobody reads, a device that is
// not who it advertises, refusals flooding the system log, a second program
// on one key folder, and key folders and files others could have written.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "peers/device_identity.h"
#include "peers/private_folder.h"
#include "support/child_process.h"
#include "support/e2e_support.h"
#include "support/json_check.h"
#include "support/json_field.h"
#include "support/raw_tls_client.h"
#include "wire/wire_message.h"

namespace qur {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::isEvent;
using testing::jsonField;
using testing::PrivateFolder;

std::string uniqueName(const std::string& base) {
  return base + "-" + std::to_string(getpid());
}

// A program on loopback with JSON events and a key folder of its own.
std::unique_ptr<ChildProcess> startJson(const std::string& name, const std::string& accept) {
  return std::make_unique<ChildProcess>(std::vector<std::string>{
      QUR_CLI_PATH, "run", "--name", uniqueName(name), "--audio", "virtual", "--accept", accept,
      "--interface", "lo", "--events", "json"});
}

std::uint16_t portOf(ChildProcess& program) {
  const auto ready =
      program.waitForLine([](const std::string& l) { return isEvent(l, "ready"); }, 20s);
  return ready ? static_cast<std::uint16_t>(std::stoi(jsonField(*ready, "port").value_or("0"))) : 0;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Started and Stopped statuses, alternating, as fast as the link takes them.
void floodStatuses(testing::RawTlsClient& peer, std::chrono::milliseconds during) {
  std::vector<std::uint8_t> batch;
  for (int i = 0; i < 1000; ++i) {
    QURWireMessage message;
    wireMessageMakeStreamStatus(&message, i % 2 == 0 ? 1 : 0);
    std::uint8_t bytes[64];
    const auto n = wireMessageEncode(&message, bytes, sizeof bytes);
    const auto frame =
        peers::encodeFrame(peers::FrameType::Data, std::span(bytes, static_cast<std::size_t>(n)));
    batch.insert(batch.end(), frame.begin(), frame.end());
  }
  const auto end = Clock::now() + during;
  while (Clock::now() < end && peer.write(batch)) {
  }
}

// What the program may grow by while a peer floods it: the fault was 286 MiB.
// The address sanitizer keeps freed memory for a while (256 MiB unless told
// otherwise, as much as the fault), so the program is told to keep little.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryBoundKiB = 160 * 1024;
void keepLittleFreedMemory() {
  const char* options = std::getenv("ASAN_OPTIONS");
  std::string value = options ? options : "";
  setenv("ASAN_OPTIONS", (value + (value.empty() ? "" : ":") + "quarantine_size_mb=16").c_str(), 1);
}
#else
constexpr long kMemoryBoundKiB = 48 * 1024;
void keepLittleFreedMemory() {}
#endif

// An accepted peer once grew the program by 286 MiB in 4.4 s with statuses
// (two million events queued, more while standard output was not read),
// and `quit` then took over 5 s.
TEST(CliUnderFlood, StatusFloodWithUnreadOutputStaysSmallAndQuitsAtOnce) {
  std::signal(SIGPIPE, SIG_IGN);
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  keepLittleFreedMemory();
  auto program = startJson("flooded", "auto");
  const std::uint16_t port = portOf(*program);
  ASSERT_NE(port, 0);
  testing::RawTlsClient peer(port);
  ASSERT_TRUE(peer.ok());
  ASSERT_TRUE(peer.join());
  ASSERT_TRUE(
      program->waitForLine([](const std::string& l) { return isEvent(l, "peer_connected"); }, 10s));
  // From here nobody reads the program's output.
  const long before = residentKiB(program->pid());
  floodStatuses(peer, 2500ms);
  const long after = residentKiB(program->pid());
  std::printf("resident memory %ld KiB before the status flood, %ld KiB after\n", before, after);
  EXPECT_LT(after - before, kMemoryBoundKiB) << "the flood grew the program";

  // Still without a reader: quit ends the program at once.
  floodStatuses(peer, 1000ms);
  const auto quitting = Clock::now();
  program->writeLine("quit");
  while (program->isRunning() && Clock::now() - quitting < 10s) std::this_thread::sleep_for(10ms);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - quitting).count();
  std::printf("quit took %lld ms with output unread after a status flood\n",
              static_cast<long long>(ms));
  EXPECT_LT(ms, 2000) << "quit is held up by what a peer sent";
}

// Event lines nobody reads: past the bound the oldest are dropped, and the
// first line written once somebody reads again says how many.
TEST(CliUnderFlood, OutputNobodyReadsIsBoundedAndTheDroppedLinesAreCounted) {
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  auto program = startJson("unread", "never");
  ASSERT_NE(portOf(*program), 0);
  // Some 2.6 MB of help lines, more than the bound and a pipe hold.
  for (int i = 0; i < 3000; ++i) program->writeLine("help");
  program->writeLine("status");
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(program->waitForLine([](const std::string& l) { return isEvent(l, "status"); }, 30s))
      << "the last line must survive";
  std::size_t helps = 0;
  std::optional<std::string> dropped;
  for (const auto& line : program->lines()) {
    EXPECT_TRUE(testing::JsonCheck::isValid(line)) << line.substr(0, 200);
    helps += isEvent(line, "help");
    if (isEvent(line, "events_dropped")) dropped = line;
  }
  ASSERT_TRUE(dropped) << "no count of dropped lines";
  const long count = std::stol(jsonField(*dropped, "count").value_or("0"));
  std::printf("%zu help lines written, %ld dropped\n", helps, count);
  EXPECT_GT(count, 0);
  EXPECT_EQ(helps + static_cast<std::size_t>(count), 3000u) << "every line written or counted";
  EXPECT_EQ(program->quit(15s), 0);
}

// A device advertising another's identifier with its own key: inviting it
// ended "unreachable", and the reason showed only with --verbose.
TEST(CliUnderFlood, InvitingADeviceWhoseKeyIsNotTheAdvertisedOneIsARefusalInWords) {
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  const std::string alpha = uniqueName("Alpha");
  auto impostor = std::make_unique<ChildProcess>(
      std::vector<std::string>{testing::executableDirectory() + "/qur_peer_tool", "--name",
                               "impostor", "--interfaces", "lo"});
  ASSERT_TRUE(impostor->waitForPrefix("ready ", 15s));
  impostor->writeLine("announce " + alpha + " " + DeviceIdentity::generate()->identifierString());
  ChildProcess user({QUR_CLI_PATH, "run", "--name", uniqueName("user"), "--audio", "virtual",
                     "--accept", "never", "--interface", "lo"});
  ASSERT_TRUE(user.waitForPrefix("peer found: " + alpha, 20s));
  user.writeLine("invite " + alpha);
  const auto told = user.waitForPrefix(alpha + "'s key does not match", 15s);
  ASSERT_TRUE(told);
  EXPECT_EQ(*told, alpha + "'s key does not match the one it advertises: refused");
  // The impostor never got a session.
  impostor->writeLine("peers");
  EXPECT_TRUE(impostor->waitForPrefix("peers 0", 5s));
  for (const auto& line : impostor->lines()) EXPECT_NE(line.rfind("state ", 0), 0u) << line;
  EXPECT_EQ(user.quit(15s), 0);
}

// Receives what the program sends to the system log (/dev/log inside a
// mount namespace of the test's own).
class SystemLogSink {
 public:
  explicit SystemLogSink(const fs::path& path) {
    _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval wait{0, 200000};
    ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~SystemLogSink() { ::close(_fd); }
  // Every datagram that arrives within the time.
  std::vector<std::string> read(std::chrono::milliseconds during) {
    std::vector<std::string> out;
    const auto end = Clock::now() + during;
    char buffer[2048];
    while (Clock::now() < end) {
      const ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
      if (n > 0) out.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int _fd = -1;
};

// 4794 refusals from one address in 10 s were 4794 lines at LOG_CRIT, and
// no warning reached the system log at all.
TEST(CliUnderFlood, RefusalsFromOutsideReachTheSystemLogOnceAKindAndNotAsCritical) {
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  PrivateFolder folder;
  SystemLogSink sink(folder.path() / "log");
  const std::string d = folder.path().string();
  // A /dev of our own in which /dev/log is our socket.
  const std::string script =
      "mkdir -p " + d + "/dev && mount --rbind /dev " + d + "/dev && mount -t tmpfs tmpfs /dev" +
      " && for n in null zero random urandom; do touch /dev/$n && mount --bind " + d +
      "/dev/$n /dev/$n; done && ln -s " + d + "/log /dev/log && exec " + QUR_CLI_PATH +
      " run --name " + uniqueName("logged") +
      " --audio virtual --accept never --interface lo --events json";
  ChildProcess program({"unshare", "--mount", "--propagation", "private", "sh", "-c", script});
  const std::uint16_t port = portOf(program);
  ASSERT_NE(port, 0) << "the program did not start in its mount namespace";
  for (int i = 0; i < 200; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
      (void)!::write(fd, garbage, sizeof garbage - 1);
      char answer[256];
      (void)!::read(fd, answer, sizeof answer);
    }
    ::close(fd);
  }
  const auto lines = sink.read(1500ms);
  int refusals = 0;
  for (const auto& line : lines) {
    if (line.find("TLS handshake failed") == std::string::npos) continue;
    ++refusals;
    // "<PRI>": facility user (8) plus the severity.
    const int priority = std::stoi(line.substr(1, line.find('>') - 1));
    EXPECT_NE(priority % 8, LOG_CRIT) << line;
    EXPECT_EQ(priority % 8, LOG_ERR) << "a warning, as the system log shows warnings: " << line;
  }
  EXPECT_EQ(refusals, 1) << "200 refusals from one address";
  EXPECT_EQ(program.quit(15s), 0);
}

TEST(CliKeyFolder, SecondProgramOnTheSameKeyFolderSaysOneIsRunningAndExits) {
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  PrivateFolder folder;
  setenv("QUR_WTALKIE_CONFIG_DIR", folder.path().c_str(), 1);
  auto first = startJson("first", "never");
  ASSERT_NE(portOf(*first), 0);
  const auto second = testing::runShell(std::string(QUR_CLI_PATH) +
                                        " run --audio virtual --interface lo 2>&1 </dev/null");
  unsetenv("QUR_WTALKIE_CONFIG_DIR");
  EXPECT_EQ(second.status, 1) << second.output;
  EXPECT_NE(
      second.output.find("another qur-wtalkie (process " + std::to_string(first->pid()) +
                         ") is already running with the key folder " + folder.path().string()),
      std::string::npos)
      << second.output;
  EXPECT_EQ(first->quit(15s), 0);
}

// The key folder and its files, as others could have left them.
struct FolderCase {
  const char* name;
  std::function<void(const fs::path& folder)> prepare;
  std::string command;    // after "qur-wtalkie-cli "
  std::string variables;  // before it, "NAME=value "
  int status;
  std::string said;
  std::function<void(const fs::path& folder)> check = {};
};

void writeMode(const fs::path& path, const std::string& text, mode_t mode) {
  testing::writeText(path, text);
  ::chmod(path.c_str(), mode);
}

std::string keyText() {
  return DeviceIdentity::generate()->toPem();
}

std::string pinLine(const std::string& name) {
  return DeviceIdentity::generate()->identifierString() + " " + name + "\n";
}

TEST(CliKeyFolder, FoldersAndFilesOthersCouldHaveWrittenAreRefusedWithTheReason) {
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  const std::string run = "run --audio virtual --interface lo --name " + uniqueName("files");
  const std::vector<FolderCase> cases = {
      {"folder writable by others", [](auto& f) { ::chmod(f.c_str(), 0777); }, run, "", 1,
       "is writable by others"},
      {"folder writable by its group", [](auto& f) { ::chmod(f.c_str(), 0770); }, run, "", 1,
       "is writable by its group"},
      {"folder of another user", [](auto& f) { (void)!::chown(f.c_str(), 65534, 65534); }, run, "",
       1, "belongs to another user"},
      {"key writable by others", [](auto& f) { writeMode(f / "device-key.pem", keyText(), 0666); },
       run, "", 1, "device-key.pem is writable by others"},
      {"key a link to another user's key",
       [](auto& f) {
         fs::create_directory(f.parent_path() / "other");
         writeMode(f.parent_path() / "other" / "key.pem", keyText(), 0644);
         (void)!::chown((f.parent_path() / "other" / "key.pem").c_str(), 65534, 65534);
         fs::create_symlink(f.parent_path() / "other" / "key.pem", f / "device-key.pem");
       },
       run, "", 1, "device-key.pem is a symbolic link",
       [](auto& f) {
         struct stat st {};
         ::stat((f.parent_path() / "other" / "key.pem").c_str(), &st);
         EXPECT_EQ(st.st_mode & 0777, 0644u) << "the target was changed through the link";
       }},
      {"pins writable by others",
       [](auto& f) { writeMode(f / "known-peers", pinLine("alpha"), 0666); }, run, "", 1,
       "known-peers is writable by others"},
      {"pins a link to a system file",
       [](auto& f) {
         writeMode(f.parent_path() / "passwd", pinLine("root"), 0644);
         fs::create_symlink(f.parent_path() / "passwd", f / "known-peers");
       },
       "trust list", "", 1, "known-peers is a symbolic link"},
      {"pin lock a link",
       [](auto& f) {
         writeMode(f / "known-peers", pinLine("alpha"), 0600);
         fs::create_symlink(f.parent_path() / "created", f / "known-peers.lock");
       },
       "trust forget alpha", "", 1, "cannot rewrite",
       [](auto& f) {
         EXPECT_FALSE(fs::exists(f.parent_path() / "created")) << "the lock followed the link";
         EXPECT_NE(testing::readText(f / "known-peers").find("alpha"), std::string::npos);
       }},
      {"group-writable folder with strict modes off", [](auto& f) { ::chmod(f.c_str(), 0770); },
       run, "QUR_WTALKIE_STRICT_MODES=no ", 0, "ready as"},
      {"damaged key", [](auto& f) { writeMode(f / "device-key.pem", "not a key\n", 0600); }, run,
       "", 0, "WARNING: this device has a new key; colleagues will see 'key changed'",
       [](auto& f) {
         bool kept = false;
         for (const auto& entry : fs::directory_iterator(f))
           kept |= entry.path().filename().string().starts_with("device-key.pem.corrupt-");
         EXPECT_TRUE(kept) << "the damaged key was not kept";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateFolder root;
    const fs::path folder = root.path() / "config";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    c.prepare(folder);
    const auto result =
        testing::runShell(c.variables + "QUR_WTALKIE_CONFIG_DIR=" + folder.string() + " " +
                          QUR_CLI_PATH + " " + c.command + " 2>&1 </dev/null");
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_NE(result.output.find(c.said), std::string::npos) << result.output;
    if (c.check) c.check(folder);
  }
}

}  // namespace
}  // namespace qur
