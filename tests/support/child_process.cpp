#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace qur::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  if (!std::getenv("QUR_WTALKIE_CONFIG_DIR")) {
    char pattern[] = "/tmp/qur-child-config-XXXXXX";
    if (mkdtemp(pattern)) _configDir = pattern;
  }
  _pid = fork();
  if (_pid == 0) {
    if (!_configDir.empty()) setenv("QUR_WTALKIE_CONFIG_DIR", _configDir.c_str(), 1);
    dup2(in[0], 0);
    dup2(out[1], 1);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  _in = in[1];
  _out = out[0];
  signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (_pid > 0 && !_reaped) {
    ::kill(_pid, SIGKILL);
    waitpid(_pid, &_status, 0);
  }
  if (_in >= 0) close(_in);
  if (_out >= 0) close(_out);
  std::error_code ignored;
  if (!_configDir.empty()) std::filesystem::remove_all(_configDir, ignored);
}

bool ChildProcess::isRunning() {
  if (_pid <= 0 || _reaped) return false;
  if (waitpid(_pid, &_status, WNOHANG) == _pid) {
    _reaped = true;
    return false;
  }
  return true;
}

void ChildProcess::writeLine(const std::string& line) {
  if (_in < 0) return;
  const std::string data = line + "\n";
  const ssize_t n = write(_in, data.data(), data.size());
  (void)n;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto newline = _buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = _buffer.substr(0, newline);
      _buffer.erase(0, newline + 1);
      _lines.push_back(line);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !readOutput(left)) return std::nullopt;
  }
}

bool ChildProcess::readOutput(std::chrono::milliseconds timeout) {
  if (_out < 0) return false;
  pollfd p{_out, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return true;
  char chunk[4096];
  const ssize_t n = read(_out, chunk, sizeof chunk);
  if (n <= 0) {
    close(_out);
    _out = -1;
    return false;
  }
  _buffer.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::waitForLine(
    const std::function<bool(const std::string&)>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto line = readLine(left);
    if (!line) return std::nullopt;
    if (predicate(*line)) return line;
  }
}

std::optional<std::string> ChildProcess::waitForPrefix(const std::string& prefix,
                                                       std::chrono::milliseconds timeout) {
  return waitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeout);
}

void ChildProcess::kill(int signal) {
  if (_pid > 0 && !_reaped) ::kill(_pid, signal);
}

int ChildProcess::closeAndWait(std::chrono::milliseconds timeout) {
  if (_in >= 0) {
    close(_in);
    _in = -1;
  }
  return waitForExit(timeout);
}

int ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (isRunning()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(_pid, SIGKILL);
      waitpid(_pid, &_status, 0);
      _reaped = true;
      return -1;
    }
    // Keep reading meanwhile so the child never blocks on a full pipe; the
    // lines stay readable afterwards.
    if (!readOutput(std::chrono::milliseconds(10))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return WIFEXITED(_status) ? WEXITSTATUS(_status) : -1;
}

std::string executableDirectory() {
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<std::size_t>(n));
  return p.substr(0, p.rfind('/'));
}

}  // namespace qur::testing
