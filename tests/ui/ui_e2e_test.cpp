// The real window as a user meets it: qur-wtalkie on an X server (Xvfb) in
// one network namespace, the command-line program in another. The CLI
// invites, the window's invitation box is answered with the keyboard, and
// Space held for 3 s on the window sends voice that the CLI records between
// its start and end sounds. Then the global talk key: held while another
// program's window has the focus, each press is one transmission.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/recording_analysis.h"
#include "support/child_process.h"
#include "support/json_field.h"
#include "support/netns.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::jsonField;
using testing::NetnsLab;

bool isEvent(const std::string& line, const std::string& event,
             const std::optional<std::string>& field = std::nullopt,
             const std::optional<std::string>& value = std::nullopt) {
  if (jsonField(line, "event") != event) return false;
  return !field || jsonField(line, *field) == value;
}

std::optional<std::string> waitEvent(ChildProcess& process, const std::string& event,
                                     const std::optional<std::string>& field = std::nullopt,
                                     const std::optional<std::string>& value = std::nullopt,
                                     std::chrono::milliseconds timeout = 20s) {
  for (const auto& line : process.lines())
    if (isEvent(line, event, field, value)) return line;
  return process.waitForLine([&](const std::string& l) { return isEvent(l, event, field, value); },
                             timeout);
}

int countEvents(const ChildProcess& process, const std::string& event, const std::string& field,
                const std::string& value) {
  int count = 0;
  for (const auto& line : process.lines()) count += isEvent(line, event, field, value);
  return count;
}

// Runs a shell command against the test's display; its standard output.
std::string onDisplay(const std::string& display, const std::string& command) {
  const std::string full = "DISPLAY=" + display + " " + command;
  std::string output;
  if (FILE* pipe = popen(full.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  return output;
}

// The first window whose title matches, once it is mapped.
std::string findWindow(const std::string& display, const std::string& title,
                       std::chrono::milliseconds timeout = 15s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string ids = onDisplay(display, "xdotool search --onlyvisible --name '" + title + "'");
    if (!ids.empty()) return ids.substr(0, ids.find('\n'));
    std::this_thread::sleep_for(100ms);
  }
  return {};
}

class Display {
 public:
  Display() {
    for (int number = 90 + getpid() % 400; number < 1000; ++number) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
          std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
        continue;
      }
      _name = ":" + std::to_string(number);
      _server = std::make_unique<ChildProcess>(std::vector<std::string>{
          "Xvfb", _name, "-screen", "0", "800x800x24", "-nolisten", "tcp"});
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) return;
        std::this_thread::sleep_for(50ms);
      }
      _server.reset();
    }
  }
  ~Display() {
    if (_server) _server->kill(SIGTERM);
  }
  bool ok() const { return _server != nullptr; }
  const std::string& name() const { return _name; }

 private:
  std::string _name;
  std::unique_ptr<ChildProcess> _server;
};

class WindowEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    if (std::system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0) {
      GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps)";
    }
    setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
    NetnsLab::removeStale("quru");
    char pattern[] = "/tmp/qur-ui-e2e-XXXXXX";
    dir = mkdtemp(pattern);
    speech = (dir / "speech.wav").string();
    const std::string raw = (dir / "raw.wav").string();
    std::system(("espeak-ng -s 150 -w " + raw +
                 " 'Hello from the window, can you hear me clearly' && sox " + raw +
                 " -r 44100 -c 2 " + speech + " pad 0 0.4")
                    .c_str());
  }
  void TearDown() override {
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::string speech;
};

TEST_F(WindowEndToEnd, InvitedWindowAcceptsAndSpaceHeldThreeSecondsReachesThePeer) {
  Display display;
  ASSERT_TRUE(display.ok()) << "Xvfb did not start";
  NetnsLab lab(2, "quru");
  ASSERT_TRUE(lab.ok());
  const std::string windowName = "window-" + std::to_string(getpid());
  const std::string cliName = "cli-" + std::to_string(getpid());
  const std::string heard = (dir / "cli.wav").string();

  auto window =
      lab.spawn(0, {"env", "DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb", QUR_GUI_PATH,
                    "-name", windowName, "--mic", speech, "--mic-from-talk", "--accept", "ask",
                    "--interface", NetnsLab::kInterface, "--events", "json"});
  auto ready = waitEvent(*window, "ready");
  ASSERT_TRUE(ready) << "the window did not start";
  // "-name" is ours, not Qt's X11 resource name.
  EXPECT_EQ(jsonField(*ready, "name"), windowName);
  const std::string main = findWindow(display.name(), "^qur-wtalkie$");
  ASSERT_FALSE(main.empty()) << "no window on the display";

  auto cli = lab.spawn(
      1, {QUR_CLI_PATH, "run", "--name", cliName, "--audio", "virtual", "--speaker", heard,
          "--accept", "never", "--interface", NetnsLab::kInterface, "--events", "json"});
  ASSERT_TRUE(waitEvent(*cli, "peer_found", "peer", windowName, 45s)) << "the CLI never saw us";
  cli->writeLine("invite " + windowName);

  ASSERT_TRUE(waitEvent(*window, "invitation", "peer", cliName, 15s));
  const std::string box = findWindow(display.name(), "^Invitation");
  ASSERT_FALSE(box.empty()) << "no invitation box";
  onDisplay(display.name(), "xdotool windowfocus --sync " + box + " key Return");
  ASSERT_TRUE(waitEvent(*window, "invitation_answered", "accepted", std::string("true"), 10s));
  ASSERT_TRUE(waitEvent(*window, "connected", "value", std::string("true"), 15s));
  ASSERT_TRUE(waitEvent(*cli, "connected", "value", std::string("true"), 15s));

  // The screen is usable once the connected state has reached it; then hold
  // Space for 3 s with the server's own auto-repeat running.
  std::this_thread::sleep_for(500ms);
  onDisplay(display.name(), "xdotool windowfocus --sync " + main + " keydown space");
  std::this_thread::sleep_for(3s);
  onDisplay(display.name(), "xdotool keyup space");
  ASSERT_TRUE(waitEvent(*window, "transmitting", "value", std::string("false"), 10s));
  ASSERT_TRUE(waitEvent(*cli, "peer_talking", "value", std::string("false"), 10s));
  window->waitForLine([](const std::string&) { return false; }, 300ms);
  // One press and one release, never a flicker.
  EXPECT_EQ(countEvents(*window, "transmitting", "value", "true"), 1);
  EXPECT_EQ(countEvents(*window, "transmitting", "value", "false"), 1);
  EXPECT_EQ(countEvents(*cli, "peer_talking", "value", "true"), 1);

  cli->waitForLine([](const std::string&) { return false; }, 1500ms);
  EXPECT_EQ(cli->quit(15s), 0);
  window->kill(SIGTERM);
  window->waitForExit(10s);

  const auto recording = loadAnalysisSignal(heard);
  ASSERT_TRUE(recording) << heard;
  const auto beep = loadAnalysisSignal(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
  ASSERT_TRUE(beep);
  const HeardReport report = analyseTransmission(*recording, *beep);
  ASSERT_TRUE(report.startSound) << "no start sound in " << heard;
  ASSERT_TRUE(report.endSound) << "no end sound in " << heard;
  EXPECT_TRUE(report.inOrder());
  EXPECT_NEAR(report.voiceLength(), 3.0, 0.6);
  std::printf("the CLI heard: start sound %.2f s, voice %.2f s, end sound %.2f s\n",
              *report.startSound, report.voiceLength(), *report.endSound);
}

TEST(GlobalTalkKey, EachPressWhileAnotherProgramHasTheFocusIsOneTransmission) {
  if (std::system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") != 0) {
    GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps)";
  }
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
  Display display;
  ASSERT_TRUE(display.ok()) << "Xvfb did not start";
  char pattern[] = "/tmp/qur-ui-key-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  // The key the user chose in Settings: F8.
  std::filesystem::create_directories(dir / "qur-wtalkie");
  {
    std::ofstream settings(dir / "qur-wtalkie" / "qur-wtalkie.conf");
    settings << "[shortcut]\ntalkKey=F8\n";
  }
  const std::string id = std::to_string(getpid());
  const std::string windowName = "key-window-" + id, cliName = "key-cli-" + id;
  ChildProcess window({"env", "DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb",
                       "XDG_CONFIG_HOME=" + dir.string(), QUR_GUI_PATH, "--name", windowName,
                       "--audio", "virtual", "--accept", "auto", "--interface", "lo", "--events",
                       "json"});
  ASSERT_TRUE(waitEvent(window, "ready")) << "the window did not start";
  ChildProcess cli({QUR_CLI_PATH, "run", "--name", cliName, "--audio", "virtual", "--accept",
                    "never", "--interface", "lo", "--events", "json"});
  ASSERT_TRUE(waitEvent(cli, "peer_found", "peer", windowName, 30s));
  cli.writeLine("invite " + windowName);
  ASSERT_TRUE(waitEvent(window, "connected", "value", std::string("true"), 15s));
  ASSERT_TRUE(waitEvent(cli, "connected", "value", std::string("true"), 15s));

  // Another program's window takes the focus.
  ChildProcess other(
      {"env", "DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb", QUR_GUI_PATH, "--playground"});
  const std::string otherWindow = findWindow(display.name(), "playground");
  ASSERT_FALSE(otherWindow.empty()) << "no second window";
  onDisplay(display.name(), "xdotool windowfocus --sync " + otherWindow);
  // Held long enough for the server's auto-repeat, and past the button's
  // 0.75 s gate between presses.
  for (int press = 0; press < 2; ++press) {
    onDisplay(display.name(), "xdotool keydown F8");
    std::this_thread::sleep_for(1200ms);
    onDisplay(display.name(), "xdotool keyup F8");
    std::this_thread::sleep_for(1200ms);
  }
  EXPECT_EQ(onDisplay(display.name(), "xdotool getwindowfocus"), otherWindow)
      << "the talk key took the focus";
  ASSERT_TRUE(waitEvent(cli, "peer_talking", "value", std::string("false"), 10s));
  window.waitForLine([](const std::string&) { return false; }, 500ms);
  cli.waitForLine([](const std::string&) { return false; }, 500ms);
  EXPECT_EQ(countEvents(window, "transmitting", "value", "true"), 2);
  EXPECT_EQ(countEvents(window, "transmitting", "value", "false"), 2);
  EXPECT_EQ(countEvents(cli, "peer_talking", "value", "true"), 2);

  other.kill(SIGTERM);
  other.waitForExit(5s);
  EXPECT_EQ(cli.quit(15s), 0);
  window.kill(SIGTERM);
  window.waitForExit(10s);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qur
