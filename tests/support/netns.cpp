#include "support/netns.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qur::testing {

bool runCommand(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void NetnsLab::removeStale(const std::string& prefix) {
  FILE* list = popen("ip netns list 2>/dev/null", "r");
  if (!list) return;
  char line[256];
  std::vector<std::string> stale;
  while (std::fgets(line, sizeof line, list)) {
    std::string name(line);
    name = name.substr(0, name.find_first_of(" \n"));
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const auto end = rest.find_first_not_of("0123456789");
    if (end == 0 || end == std::string::npos) continue;
    const int pid = std::atoi(rest.substr(0, end).c_str());
    if (pid > 0 && pid != getpid() && kill(pid, 0) != 0) stale.push_back(name);
  }
  pclose(list);
  for (auto& name : stale) runCommand("ip netns del " + name);
}

NetnsLab::NetnsLab(int hostCount, const std::string& prefix) {
  removeStale(prefix);
  static int counter = 0;
  const std::string base = prefix + std::to_string(getpid()) + "n" + std::to_string(counter++);
  _subnet = (getpid() + counter) % 200 + 20;
  _switch = base + "s";
  bool ok = runCommand("ip netns add " + _switch) &&
            runCommand("ip -n " + _switch + " link add br0 type bridge mcast_snooping 0") &&
            runCommand("ip -n " + _switch + " link set br0 up") &&
            runCommand("ip -n " + _switch + " link set lo up");
  for (int i = 0; ok && i < hostCount; ++i) {
    const std::string host = base + "h" + std::to_string(i + 1);
    const std::string port = "p" + std::to_string(i + 1);
    _hosts.push_back(host);
    ok = runCommand("ip netns add " + host) &&
         runCommand("ip -n " + _switch + " link add " + port + " type veth peer name " +
                    kInterface + " netns " + host) &&
         runCommand("ip -n " + _switch + " link set " + port + " master br0 up") &&
         runCommand("ip -n " + host + " addr add " + address(i) + "/24 dev " + kInterface) &&
         runCommand("ip -n " + host + " link set " + kInterface + " up") &&
         runCommand("ip -n " + host + " link set lo up") &&
         runCommand("ip -n " + host + " route add 224.0.0.0/4 dev " + kInterface);
  }
  _ok = ok;
}

NetnsLab::~NetnsLab() {
  for (auto& host : _hosts) runCommand("ip netns del " + host);
  runCommand("ip netns del " + _switch);
}

std::string NetnsLab::address(int index) const {
  return "10.213." + std::to_string(_subnet) + "." + std::to_string(index + 1);
}

std::unique_ptr<ChildProcess> NetnsLab::spawn(int index,
                                              const std::vector<std::string>& argv) const {
  std::vector<std::string> full = {"ip", "netns", "exec", _hosts.at(index)};
  full.insert(full.end(), argv.begin(), argv.end());
  return std::make_unique<ChildProcess>(full);
}

bool NetnsLab::setLinkUp(int index, bool up) const {
  return runCommand("ip -n " + _switch + " link set p" + std::to_string(index + 1) +
                    (up ? " up" : " down"));
}

std::vector<std::string> NetnsLab::addAddresses(int index, int count) const {
  std::vector<std::string> added;
  const std::string prefix = "10.213." + std::to_string(_subnet) + ".";
  for (int i = 0; i < count; ++i) {
    const std::string address = prefix + std::to_string(100 + i);
    if (!runIn(index, "ip addr add " + address + "/24 dev " + kInterface)) break;
    added.push_back(address);
  }
  return added;
}

bool NetnsLab::runIn(int index, const std::string& command) const {
  return runCommand("ip netns exec " + _hosts.at(index) + " " + command);
}

}  // namespace qur::testing
