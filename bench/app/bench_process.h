// A child process with its standard input and output on pipes, read line by
// line; enough to drive `qur-wtalkie-cli run` from a benchmark.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qur::bench {

class Process {
 public:
  explicit Process(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    _pid = fork();
    if (_pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    _in = in[1];
    _out = out[0];
  }
  ~Process() {
    if (_in >= 0) close(_in);
    if (!_reaped) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
    close(_out);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void send(const std::string& line) {
    const std::string text = line + "\n";
    if (write(_in, text.data(), text.size()) < 0) return;
  }
  std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& predicate,
                                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto nl = _buffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = _buffer.substr(0, nl);
        _buffer.erase(0, nl + 1);
        _lines.push_back(line);
        if (predicate(line)) return line;
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{_out, POLLIN, 0};
      if (poll(&fd, 1, int(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(_out, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      _buffer.append(chunk, size_t(n));
    }
  }
  std::optional<std::string> waitForText(const std::string& text,
                                         std::chrono::milliseconds timeout) {
    return waitFor([&](const std::string& l) { return l.find(text) != std::string::npos; },
                   timeout);
  }
  int quit(std::chrono::milliseconds timeout) {
    send("quit");
    close(_in);
    _in = -1;
    // Drain output meanwhile so the child never blocks on a full pipe.
    waitFor([](const std::string&) { return false; }, timeout);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
      if (waitpid(_pid, &status, WNOHANG) == _pid) {
        _reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(100000);
    }
    return -1;
  }
  const std::vector<std::string>& lines() const { return _lines; }

 private:
  pid_t _pid = -1;
  int _in = -1;
  int _out = -1;
  std::string _buffer;
  std::vector<std::string> _lines;
  bool _reaped = false;
};

// The value of a flat JSON member in one event line.
inline std::optional<std::string> jsonField(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const auto at = line.find(key);
  if (at == std::string::npos) return std::nullopt;
  auto begin = at + key.size();
  if (line[begin] == '"') return line.substr(begin + 1, line.find('"', begin + 1) - begin - 1);
  return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

}  // namespace qur::bench
