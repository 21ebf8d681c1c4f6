// Network namespaces for multi-device tests: a switch namespace with a
// bridge and one namespace per host on a veth pair, each host with its own
// address on a private subnet that exists only inside these namespaces.
// Nothing in the root namespace is touched; the destructor deletes them all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace qur::testing {

class NetnsLab {
 public:
  // Creates hostCount hosts named "<prefix><pid>h1".. with addresses
  // 10.213.<subnet>.1.. on their "eth0". Check ok() before use.
  explicit NetnsLab(int hostCount, const std::string& prefix = "qurt");
  ~NetnsLab();
  NetnsLab(const NetnsLab&) = delete;
  NetnsLab& operator=(const NetnsLab&) = delete;

  bool ok() const { return _ok; }
  int hostCount() const { return static_cast<int>(_hosts.size()); }
  const std::string& host(int index) const { return _hosts.at(index); }
  std::string address(int index) const;
  // The host's interface toward the switch.
  static constexpr const char* kInterface = "eth0";

  // Starts a program inside a host namespace.
  std::unique_ptr<ChildProcess> spawn(int index, const std::vector<std::string>& argv) const;
  // Cuts or restores a host's link at the switch.
  bool setLinkUp(int index, bool up) const;
  // Gives a host count more addresses on its interface (10.213.<subnet>.100..)
  // and returns them, as a machine with many addresses has.
  std::vector<std::string> addAddresses(int index, int count) const;
  // Runs a command line inside a host namespace; true when it succeeds.
  bool runIn(int index, const std::string& command) const;

  // Deletes namespaces of earlier runs (same prefix) whose process is gone.
  static void removeStale(const std::string& prefix);

 private:
  std::string _switch;
  std::vector<std::string> _hosts;
  int _subnet = 0;
  bool _ok = false;
};

// Runs a command line through /bin/sh; true when it exits with status 0.
bool runCommand(const std::string& command);

}  // namespace qur::testing
