// CPU of the window process against the command-line program doing the
// same, in the same run: both connected to a CLI peer over loopback, 30 s
// idle (the window's pulses running), 30 s transmitting (the window by a
// held Space under Xvfb, the CLI by "talk on") and 30 s receiving (each
// one's peer talks, the window's peer dot pulsing fast). Prints both, in
// percent of one core, and the difference; the target is at most 2 points.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/json_field.h"

namespace {

using namespace std::chrono_literals;
using qur::testing::ChildProcess;
using qur::testing::jsonField;

// User plus system time of a process, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool waitFor(ChildProcess& process, const std::string& event, const std::string& field,
             const std::string& value, std::chrono::milliseconds timeout) {
  auto matches = [&](const std::string& line) {
    return jsonField(line, "event") == event && (field.empty() || jsonField(line, field) == value);
  };
  for (const auto& line : process.lines())
    if (matches(line)) return true;
  return process.waitForLine(matches, timeout).has_value();
}

std::string shell(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

struct Usage {
  double window = 0;
  double cli = 0;
};

Usage measure(pid_t window, pid_t cli, std::chrono::seconds duration) {
  const double w0 = cpuSeconds(window), c0 = cpuSeconds(cli);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(duration);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {100.0 * (cpuSeconds(window) - w0) / seconds, 100.0 * (cpuSeconds(cli) - c0) / seconds};
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const std::string id = std::to_string(getpid());
  std::string display;
  std::unique_ptr<ChildProcess> xvfb;
  for (int n = 500 + getpid() % 400; n < 1000 && !xvfb; ++n) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
    display = ":" + std::to_string(n);
    xvfb = std::make_unique<ChildProcess>(std::vector<std::string>{
        "Xvfb", display, "-screen", "0", "800x800x24", "-nolisten", "tcp"});
    for (int i = 0; i < 200 && !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n));
         ++i)
      std::this_thread::sleep_for(50ms);
  }
  if (!xvfb) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  const std::vector<std::string> common = {"--audio",     "virtual", "--accept", "auto",
                                           "--interface", "lo",      "--events", "json"};
  auto args = [&](std::vector<std::string> head) {
    head.insert(head.end(), common.begin(), common.end());
    return head;
  };
  const std::string windowName = "cpu-window-" + id, cliName = "cpu-cli-" + id;
  ChildProcess window(args(
      {"env", "DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", QUR_GUI_PATH, "--name", windowName}));
  ChildProcess cli(args({QUR_CLI_PATH, "run", "--name", cliName}));
  ChildProcess windowPeer(args({QUR_CLI_PATH, "run", "--name", "cpu-wpeer-" + id}));
  ChildProcess cliPeer(args({QUR_CLI_PATH, "run", "--name", "cpu-cpeer-" + id}));
  if (!waitFor(windowPeer, "peer_found", "peer", windowName, 20s) ||
      !waitFor(cliPeer, "peer_found", "peer", cliName, 20s)) {
    std::fprintf(stderr, "the peers did not find each other\n");
    return 1;
  }
  windowPeer.writeLine("invite " + windowName);
  cliPeer.writeLine("invite " + cliName);
  if (!waitFor(window, "connected", "value", "true", 20s) ||
      !waitFor(cli, "connected", "value", "true", 20s)) {
    std::fprintf(stderr, "the sessions did not connect\n");
    return 1;
  }
  std::this_thread::sleep_for(1s);

  const Usage idle = measure(window.pid(), cli.pid(), std::chrono::seconds(seconds));

  const std::string xid = shell("DISPLAY=" + display +
                                " xdotool search --onlyvisible --name '^qur-wtalkie$' | head -1");
  shell("DISPLAY=" + display + " xdotool windowfocus --sync " + xid + " keydown space");
  cli.writeLine("talk on");
  const bool windowTalks = waitFor(window, "transmitting", "value", "true", 5s);
  const bool cliTalks = waitFor(cli, "transmitting", "value", "true", 5s);
  const Usage talking = measure(window.pid(), cli.pid(), std::chrono::seconds(seconds));
  shell("DISPLAY=" + display + " xdotool keyup space");
  cli.writeLine("talk off");
  if (!windowTalks || !cliTalks) {
    std::fprintf(stderr, "transmission did not start (window %d, cli %d)\n", windowTalks, cliTalks);
    return 1;
  }
  if (!waitFor(window, "transmitting", "value", "false", 5s) ||
      !waitFor(cli, "transmitting", "value", "false", 5s)) {
    std::fprintf(stderr, "transmission did not end\n");
    return 1;
  }
  // Let the last ripples of the press fade before the next state.
  std::this_thread::sleep_for(3s);

  windowPeer.writeLine("talk on");
  cliPeer.writeLine("talk on");
  const bool windowHears = waitFor(window, "peer_talking", "value", "true", 5s);
  const bool cliHears = waitFor(cli, "peer_talking", "value", "true", 5s);
  const Usage receiving = measure(window.pid(), cli.pid(), std::chrono::seconds(seconds));
  windowPeer.writeLine("talk off");
  cliPeer.writeLine("talk off");
  if (!windowHears || !cliHears) {
    std::fprintf(stderr, "the peers' talk did not arrive (window %d, cli %d)\n", windowHears,
                 cliHears);
    return 1;
  }

  std::printf("window CPU over %d s, %% of one core (the CLI doing the same as baseline):\n",
              seconds);
  std::printf("  connected, idle:  window %5.2f  cli %5.2f  difference %+5.2f points\n",
              idle.window, idle.cli, idle.window - idle.cli);
  std::printf("  transmitting:     window %5.2f  cli %5.2f  difference %+5.2f points\n",
              talking.window, talking.cli, talking.window - talking.cli);
  std::printf("  receiving:        window %5.2f  cli %5.2f  difference %+5.2f points\n",
              receiving.window, receiving.cli, receiving.window - receiving.cli);
  std::printf("  target: at most +2 points in each\n");
  for (auto* process : {&cli, &windowPeer, &cliPeer}) process->quit(10s);
  window.kill(SIGTERM);
  window.waitForExit(10s);
  return 0;
}
