// Loss, delay and jitter on the TCP traffic one interface of a network
// namespace sends: an NFQUEUE rule hands the packets to the netem stand-in
// (nfq_netem.py beside this file), which drops, holds and releases them.
// Only for namespaces the test or benchmark made itself.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

#ifndef QUR_NETEM_TOOL
#error "QUR_NETEM_TOOL names nfq_netem.py"
#endif

namespace qur::testing {

class LinkImpairment {
 public:
  // netns: the namespace's name ("" for the one this process is in);
  // settings: the tool's options, such as {"--loss", "2"}.
  LinkImpairment(const std::string& netns, const std::string& interface,
                 const std::vector<std::string>& settings)
      : _netns(netns), _interface(interface) {
    static int counter = 0;
    _queue = std::to_string(1000 + (getpid() * 7 + counter++) % 60000);
    std::vector<std::string> argv = inNamespace({"/usr/bin/python3", QUR_NETEM_TOOL, _queue});
    argv.insert(argv.end(), settings.begin(), settings.end());
    _tool = std::make_unique<ChildProcess>(argv);
    if (!_tool->waitForPrefix("ready", std::chrono::seconds(10))) return;
    _ok = iptables("-A") == 0;
  }
  ~LinkImpairment() {
    if (_ok) iptables("-D");
    if (_tool) _tool->quit(std::chrono::seconds(5));
  }
  LinkImpairment(const LinkImpairment&) = delete;
  LinkImpairment& operator=(const LinkImpairment&) = delete;

  bool ok() const { return _ok; }
  // A settings line: "loss 100", "loss 0", "delay 30", "jitter 20".
  void set(const std::string& line) { _tool->writeLine(line); }

 private:
  std::vector<std::string> inNamespace(std::vector<std::string> argv) const {
    if (_netns.empty()) return argv;
    std::vector<std::string> full = {"ip", "netns", "exec", _netns};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
  }
  int iptables(const std::string& action) const {
    std::string command;
    for (const auto& word :
         inNamespace({"iptables-nft", "-t", "mangle", action, "POSTROUTING", "-o", _interface, "-p",
                      "tcp", "-j", "NFQUEUE", "--queue-num", _queue})) {
      command += word + " ";
    }
    return std::system((command + ">/dev/null 2>&1").c_str());
  }

  std::string _netns;
  std::string _interface;
  std::string _queue;
  std::unique_ptr<ChildProcess> _tool;
  bool _ok = false;
};

}  // namespace qur::testing
