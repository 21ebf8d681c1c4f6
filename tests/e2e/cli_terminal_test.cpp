// `qur-wtalkie-cli run` at a terminal as a person meets it: the real program
// in a pseudo-terminal of a private tmux server, keys sent to it and the
// screen read back, with a second program on loopback as the peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/json_field.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::jsonField;

std::string uniqueName(const std::string& base) {
  return base + "-" + std::to_string(getpid());
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string commandOutput(const std::string& command) {
  std::string out;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// The screen reader drops the spaces that end a row.
std::string rightTrimmed(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::vector<std::string> rowsOf(const std::string& screen) {
  std::vector<std::string> rows;
  std::istringstream stream(screen);
  for (std::string row; std::getline(stream, row);) rows.push_back(row);
  while (!rows.empty() && rows.back().find_first_not_of(' ') == std::string::npos) rows.pop_back();
  return rows;
}

// Display columns of a UTF-8 row (the meter's blocks are one column each).
std::size_t columnsOf(const std::string& row) {
  std::size_t columns = 0;
  for (const char c : row) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

// One program in a terminal of the given size, on a tmux server of its own.
class Terminal {
 public:
  Terminal(int columns, int rows, const std::vector<std::string>& argv)
      : _socket("qur-cli-term-" + std::to_string(getpid()) + "-" + std::to_string(++_count)) {
    std::string command = "env QUR_WTALKIE_SOUNDS=" + shellQuoted(QUR_SOUNDS_DIR);
    for (const auto& arg : argv) command += " " + shellQuoted(arg);
    tmux("new-session -d -x " + std::to_string(columns) + " -y " + std::to_string(rows) + " " +
         shellQuoted(command + "; echo; echo EXITED $?; sleep 30"));
  }
  ~Terminal() { tmux("kill-server"); }

  // Keys by tmux's names ("Enter", "Up", "C-t", "Space").
  void keys(const std::string& names) { tmux("send-keys -t 0 " + names); }
  void type(const std::string& text) { tmux("send-keys -t 0 -l " + shellQuoted(text)); }
  std::string screen() { return tmux("capture-pane -p -t 0"); }
  std::vector<std::string> rows() { return rowsOf(screen()); }

  // The screen once it satisfies the predicate, or nullopt at the timeout.
  std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& predicate,
                                     std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::string shown = screen();
      if (predicate(shown)) return shown;
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(50ms);
    }
  }
  std::optional<std::string> waitForText(const std::string& text,
                                         std::chrono::milliseconds timeout = 20s) {
    return waitFor([&](const std::string& s) { return s.find(text) != std::string::npos; },
                   timeout);
  }
  // The last row ends with `text` (the prompt and the input, cursor last).
  std::optional<std::string> waitForInput(const std::string& typed,
                                          std::chrono::milliseconds timeout = 10s) {
    const std::string text = rightTrimmed(typed);
    return waitFor(
        [&](const std::string& s) {
          const auto r = rowsOf(s);
          return !r.empty() && r.back().size() >= text.size() &&
                 r.back().compare(r.back().size() - text.size(), text.size(), text) == 0;
        },
        timeout);
  }

 private:
  std::string tmux(const std::string& arguments) {
    return commandOutput("tmux -L " + _socket + " " + arguments + " 2>/dev/null");
  }

  static inline int _count = 0;
  std::string _socket;
};

// The peer: a program on loopback with JSON events.
class Peer {
 public:
  explicit Peer(const std::string& name, const std::vector<std::string>& extra = {})
      : _process(arguments(name, extra)) {}
  // The next event of that name and value (in order: earlier ones are kept).
  std::optional<std::string> wait(const std::string& event, const std::string& value = {},
                                  std::chrono::milliseconds timeout = 20s) {
    auto matches = [&](const std::string& line) {
      return jsonField(line, "event") == event &&
             (value.empty() || jsonField(line, "value") == value);
    };
    for (; _seen < _process.lines().size(); ++_seen) {
      if (matches(_process.lines()[_seen])) return _process.lines()[_seen++];
    }
    auto line = _process.waitForLine(matches, timeout);
    _seen = _process.lines().size();
    return line;
  }
  ChildProcess& process() { return _process; }

 private:
  static std::vector<std::string> arguments(const std::string& name,
                                            const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {QUR_CLI_PATH,  "run",     "--name",   name,
                                     "--audio",     "virtual", "--accept", "auto",
                                     "--interface", "lo",      "--events", "json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  ChildProcess _process;
  std::size_t _seen = 0;
};

// Filled cells of the first level meter in a row; -1 without one.
int meterCells(const std::string& row) {
  static const std::string full = "\xE2\x96\x88", empty = "\xE2\x96\x91";
  std::size_t i = std::min(row.find(full), row.find(empty));
  if (i == std::string::npos) return -1;
  int cells = 0;
  for (; row.compare(i, 3, full) == 0 || row.compare(i, 3, empty) == 0; i += 3) {
    cells += row.compare(i, 3, full) == 0;
  }
  return cells;
}

class CliTerminal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/qur-cli-term-XXXXXX";
    directory = mkdtemp(pattern);
    tone = directory + "/tone.wav";
    // A steady half-scale tone: the meters have something to show all along.
    toneMade = std::system(("sox -q -n -r 44100 -c 2 -b 16 " + tone +
                            " synth 20 sine 440 vol 0.5 2>/dev/null")
                               .c_str()) == 0;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(directory); }

  void SetUp() override {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "no tmux";
    ASSERT_TRUE(toneMade) << "sox could not make " << tone;
    setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  }

  std::vector<std::string> runArgs(const std::string& name) {
    return {QUR_CLI_PATH, "run", "--name",   name,    "--audio",     "virtual",
            "--mic",      tone,  "--accept", "never", "--interface", "lo"};
  }

  static inline std::string directory, tone;
  static inline bool toneMade = false;
};

TEST_F(CliTerminal, HalfTypedCommandSurvivesAPeerAppearingAndTheTalkKeyTransmits) {
  const std::string name = uniqueName("typist"), peerName = uniqueName("arriving");
  Terminal terminal(80, 24, runArgs(name));
  ASSERT_TRUE(terminal.waitForInput("(Space: talk) > ")) << terminal.screen();

  // Half a command, then a peer appears while it waits on the screen.
  const std::string half = "invite " + peerName.substr(0, 5);
  terminal.type(half);
  ASSERT_TRUE(terminal.waitForInput("> " + half)) << terminal.screen();
  Peer peer(peerName);
  const auto found = terminal.waitForText("peer found: " + peerName);
  ASSERT_TRUE(found) << terminal.screen();
  auto rows = rowsOf(*found);
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows.back(), "(Space: talk) > " + half) << *found;
  EXPECT_EQ(rows[rows.size() - 2].rfind("[not connected", 0), 0u) << *found;
  // The event is printed above the status row, once, on a row of its own.
  std::size_t events = 0;
  for (const auto& row : rows) events += row.rfind("peer found: " + peerName + " (key ", 0) == 0;
  EXPECT_EQ(events, 1u) << *found;

  // Enter sends what is shown, completed.
  terminal.type(peerName.substr(5));
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.waitForText("peer connected: " + peerName)) << terminal.screen();
  ASSERT_TRUE(peer.wait("peer_connected")) << "the invitation did not reach the peer";
  ASSERT_TRUE(terminal.waitForText("[connected: ")) << terminal.screen();
  // The typed line stays in the scroll-back after its prompt.
  EXPECT_NE(terminal.screen().find("> invite " + peerName + "\n"), std::string::npos)
      << terminal.screen();

  // Space on an empty line starts and ends talking; so does Ctrl-T.
  for (const char* key : {"Space", "C-t"}) {
    SCOPED_TRACE(key);
    terminal.keys(key);
    ASSERT_TRUE(peer.wait("peer_talking", "true")) << terminal.screen();
    const auto talking = terminal.waitFor([](const std::string& s) {
      const auto r = rowsOf(s);
      return r.size() >= 2 && r[r.size() - 2].rfind("[TALKING 0:", 0) == 0 &&
             r.back() == "(Space: stop) >";
    });
    ASSERT_TRUE(talking) << terminal.screen();
    // The tone shows on the microphone's meter.
    const auto metered = terminal.waitFor([](const std::string& s) {
      const auto r = rowsOf(s);
      return r.size() >= 2 && meterCells(r[r.size() - 2]) >= 5;
    });
    EXPECT_TRUE(metered) << terminal.screen();
    terminal.keys(key);
    ASSERT_TRUE(peer.wait("peer_talking", "false")) << terminal.screen();
    ASSERT_TRUE(terminal.waitForInput("(Space: talk) > ")) << terminal.screen();
  }
  // A space inside a command is a space.
  terminal.type("peers");
  terminal.keys("Space");
  terminal.type("x");
  ASSERT_TRUE(terminal.waitForInput("> peers x")) << terminal.screen();
  EXPECT_FALSE(peer.wait("peer_talking", "true", 1s)) << "a typed space started a transmission";

  terminal.keys("C-u");
  terminal.type("quit");
  terminal.keys("Enter");
  EXPECT_TRUE(terminal.waitForText("EXITED 0")) << terminal.screen();
  EXPECT_EQ(peer.process().quit(15s), 0);
}

TEST_F(CliTerminal, HistoryAndEditingRecallAndChangeEarlierCommands) {
  Terminal terminal(160, 30, runArgs(uniqueName("history")));
  ASSERT_TRUE(terminal.waitForInput("(Space: talk) > ")) << terminal.screen();
  terminal.type("status");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.waitForText("; gain 15 dB")) << terminal.screen();
  terminal.type("volume 0.5");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.waitForText("volume 50%")) << terminal.screen();

  // Up twice: the first command, as typed.
  terminal.keys("Up Up");
  ASSERT_TRUE(terminal.waitForInput("> status")) << terminal.screen();
  terminal.keys("Down");
  ASSERT_TRUE(terminal.waitForInput("> volume 0.5")) << terminal.screen();
  // Edited in the middle: the cursor moves left, a character goes, two come.
  terminal.keys("Left BSpace");
  terminal.type(".2");
  ASSERT_TRUE(terminal.waitForInput("> volume 0.25")) << terminal.screen();
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.waitForText("volume 25%")) << terminal.screen();

  // A control character typed literally (Ctrl-V Escape) is shown, never
  // acted on: the echoed line and the error name it as '?'.
  terminal.keys("C-v Escape");
  terminal.type("[2Jcleared");
  terminal.keys("Enter");
  const auto refused = terminal.waitForText("unknown command '?[2Jcleared'");
  ASSERT_TRUE(refused) << terminal.screen();
  EXPECT_NE(refused->find("> ?[2Jcleared\n"), std::string::npos) << *refused;
  EXPECT_NE(refused->find("volume 25%"), std::string::npos) << "the screen was cleared";
  terminal.type("quit");
  terminal.keys("Enter");
  EXPECT_TRUE(terminal.waitForText("EXITED 0")) << terminal.screen();
}

TEST_F(CliTerminal, NarrowWindowKeepsTheStatusToOneRow) {
  const std::string name = uniqueName("narrow"), peerName = uniqueName("wide-peer-name");
  Terminal terminal(30, 30, runArgs(name));
  // The long prompt gives way to a short one where it would crowd the input.
  ASSERT_TRUE(terminal.waitForInput("> ")) << terminal.screen();
  Peer peer(peerName);
  // Event lines wrap at this width, as the terminal does with any text.
  ASSERT_TRUE(terminal.waitFor([&](std::string s) {
    std::erase(s, '\n');
    return s.find("peer found: " + peerName) != std::string::npos;
  })) << terminal.screen();
  terminal.type("invite " + peerName);
  terminal.keys("Enter");
  ASSERT_TRUE(peer.wait("peer_connected")) << terminal.screen();
  ASSERT_TRUE(terminal.waitForText("[connected: ")) << terminal.screen();
  terminal.keys("Space");
  ASSERT_TRUE(peer.wait("peer_talking", "true")) << terminal.screen();
  const auto shown = terminal.waitFor(
      [](const std::string& s) { return s.find("[TALKING") != std::string::npos; });
  ASSERT_TRUE(shown) << terminal.screen();

  const auto rows = rowsOf(*shown);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows.back(), ">") << *shown;
  const std::string& status = rows[rows.size() - 2];
  EXPECT_LE(columnsOf(status), 30u) << status;
  // Cut with an ellipsis, not wrapped: no row holds the rest of it.
  EXPECT_NE(status.find("\xE2\x80\xA6"), std::string::npos) << status;
  std::size_t statusRows = 0;
  for (const auto& row : rows) statusRows += row.rfind("[", 0) == 0;
  EXPECT_EQ(statusRows, 1u) << *shown;
  for (const auto& row : rows) {
    EXPECT_EQ(row.find("connected: " + peerName + "]"), std::string::npos) << *shown;
  }
  terminal.keys("Space");
  ASSERT_TRUE(peer.wait("peer_talking", "false")) << terminal.screen();
  terminal.type("quit");
  terminal.keys("Enter");
  EXPECT_TRUE(terminal.waitForText("EXITED 0")) << terminal.screen();
  EXPECT_EQ(peer.process().quit(15s), 0);
}

TEST_F(CliTerminal, TheTalkingPeersLevelShowsWhileReceiving) {
  const std::string name = uniqueName("listener"), peerName = uniqueName("speaker");
  Terminal terminal(100, 24, runArgs(name));
  ASSERT_TRUE(terminal.waitForInput("(Space: talk) > ")) << terminal.screen();
  Peer peer(peerName, {"--mic", tone});
  ASSERT_TRUE(terminal.waitForText("peer found: " + peerName)) << terminal.screen();
  terminal.type("invite " + peerName);
  terminal.keys("Enter");
  ASSERT_TRUE(peer.wait("connected", "true")) << terminal.screen();
  peer.process().writeLine("talk on");
  ASSERT_TRUE(peer.wait("transmitting", "true"));
  const auto receiving = terminal.waitFor([&](const std::string& s) {
    const auto r = rowsOf(s);
    return r.size() >= 2 && r[r.size() - 2].rfind("[" + peerName + " talking ", 0) == 0 &&
           meterCells(r[r.size() - 2]) >= 5;
  });
  EXPECT_TRUE(receiving) << terminal.screen();
  peer.process().writeLine("talk off");
  // Once the peer is quiet the row tells only of the connection.
  const auto quiet = terminal.waitFor([&](const std::string& s) {
    const auto r = rowsOf(s);
    return r.size() >= 2 && r[r.size() - 2] == "[connected: " + peerName + "]";
  });
  EXPECT_TRUE(quiet) << terminal.screen();
  terminal.type("quit");
  terminal.keys("Enter");
  EXPECT_TRUE(terminal.waitForText("EXITED 0")) << terminal.screen();
  EXPECT_EQ(peer.process().quit(15s), 0);
}

// Without a terminal the program writes what it wrote before: no prompt,
// no status row, no escape sequences, no key hints.
TEST_F(CliTerminal, PipedOutputHasNothingOfTheTerminal) {
  const std::string name = uniqueName("piped");
  ChildProcess program(std::vector<std::string>{QUR_CLI_PATH, "run", "--name", name, "--audio",
                                                "virtual", "--accept", "never", "--interface",
                                                "lo"});
  program.writeLine("status");
  program.writeLine("help");
  program.writeLine("talk on");
  EXPECT_EQ(program.quit(15s), 0);
  while (program.readLine(1s)) {
  }
  const auto& lines = program.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "ready as '" + name + "' on virtual device");
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  EXPECT_EQ(all.find('\x1b'), std::string::npos) << all;
  EXPECT_EQ(all.find('\r'), std::string::npos) << all;
  EXPECT_EQ(all.find("Space"), std::string::npos) << all;
  EXPECT_EQ(all.find("keys:"), std::string::npos) << all;
  EXPECT_NE(all.find("[not connected | talking: nobody | transmitting: no | audio: on]; gain 15"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("not connected: transmission refused"), std::string::npos) << all;
}

}  // namespace
}  // namespace qur
