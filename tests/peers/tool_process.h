// Drives one qur_peer_tool process: commands in, event lines out.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace qur::testing {

inline std::string peerToolPath() {
  return executableDirectory() + "/qur_peer_tool";
}

inline constexpr std::chrono::milliseconds kWait{15000};

class ToolProcess {
 public:
  explicit ToolProcess(std::unique_ptr<ChildProcess> process) : _process(std::move(process)) {
    auto ready = waitFor([](const std::string& l) { return l.rfind("ready ", 0) == 0; }, kWait);
    if (ready) {
      std::istringstream in(*ready);
      std::string word;
      in >> word >> id >> port;
      std::getline(in >> std::ws, name);
    }
  }
  ~ToolProcess() {
    if (::testing::Test::HasFailure()) {
      for (const auto& l : _process->lines())
        std::fprintf(stderr, "  [%s] %s\n", id.substr(0, 8).c_str(), l.c_str());
    }
  }
  bool ok() const { return !id.empty(); }
  void command(const std::string& line) { _process->writeLine(line); }

  std::optional<std::string> waitFor(const std::function<bool(const std::string&)>& predicate,
                                     std::chrono::milliseconds timeout = kWait) {
    for (const auto& l : _process->lines())
      if (predicate(l)) return l;
    return _process->waitForLine(predicate, timeout);
  }
  bool sawPrefix(const std::string& prefix, std::chrono::milliseconds timeout = kWait) {
    return waitFor([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeout)
        .has_value();
  }
  // Reads whatever arrives within the time.
  void drain(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end)
      _process->readLine(std::chrono::milliseconds(50));
  }
  // Output lines starting with the prefix, in order.
  std::vector<std::string> linesWithPrefix(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : _process->lines())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  // The last "found <id> ..." line for a peer, without the prefix.
  std::string lastFound(const ToolProcess& peer) const {
    auto all = linesWithPrefix("found " + peer.id + " ");
    return all.empty() ? std::string() : all.back().substr(7 + peer.id.size());
  }
  ChildProcess& process() { return *_process; }

  std::string id;
  int port = 0;
  std::string name;

 private:
  std::unique_ptr<ChildProcess> _process;
};

}  // namespace qur::testing
