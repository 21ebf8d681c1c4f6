// One `qur-wtalkie-cli run` process with JSON events, as the end-to-end
// tests drive it: commands in, events waited for by name, peer and value.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "support/child_process.h"
#include "support/e2e_support.h"

namespace qur::testing {

// Names unique to this process: other tests may share loopback.
inline std::string uniqueName(const std::string& base) {
  return base + "-" + std::to_string(getpid());
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qur-cli-run-XXXXXX";
    _dir = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(_dir); }
  std::string path(const std::string& name) const { return (_dir / name).string(); }

 private:
  std::filesystem::path _dir;
};

class Runner {
 public:
  explicit Runner(std::unique_ptr<ChildProcess> process) : _process(std::move(process)) {}

  // The first matching event no earlier wait returned, whether it arrived
  // already or arrives within the timeout.
  std::optional<std::string> wait(
      const std::string& event, const std::optional<std::string>& peer = std::nullopt,
      const std::optional<std::string>& value = std::nullopt,
      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    for (std::size_t i = 0; i < _process->lines().size(); ++i) {
      if (!_used.count(i) && isEvent(_process->lines()[i], event, peer, value)) {
        _used.insert(i);
        return _process->lines()[i];
      }
    }
    auto line = _process->waitForLine(
        [&](const std::string& l) { return isEvent(l, event, peer, value); }, timeout);
    if (line) _used.insert(_process->lines().size() - 1);
    return line;
  }
  void send(const std::string& line) { _process->writeLine(line); }
  ChildProcess& process() { return *_process; }
  std::string tail() const {
    std::string out = "\n--- last lines:\n";
    const auto& lines = _process->lines();
    for (std::size_t i = lines.size() > 10 ? lines.size() - 10 : 0; i < lines.size(); ++i)
      out += lines[i].substr(0, 300) + "\n";
    return out;
  }

 private:
  std::unique_ptr<ChildProcess> _process;
  std::set<std::size_t> _used;  // lines a wait returned already
};

}  // namespace qur::testing
