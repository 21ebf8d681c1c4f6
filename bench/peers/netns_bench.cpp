// Discovery and connection times between two devices in network
// namespaces: from "advertise on" to the browser listing the peer, and from
// "invite" to both sides Connected. Runs several rounds on fresh namespaces
// and prints the medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <vector>

#include "support/child_process.h"
#include "support/netns.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qur::testing::ChildProcess;
using qur::testing::NetnsLab;

namespace {

std::string readyID(ChildProcess& p) {
  auto line = p.waitForPrefix("ready ", 10s);
  if (!line) return {};
  std::istringstream in(*line);
  std::string word, id;
  in >> word >> id;
  return id;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const std::string tool = qur::testing::executableDirectory() + "/qur_peer_tool";
  std::vector<double> discovery, connection;
  for (int round = 0; round < rounds; ++round) {
    NetnsLab lab(2, "qurb");
    if (!lab.ok()) {
      std::fprintf(stderr, "cannot create network namespaces\n");
      return 1;
    }
    auto a = lab.spawn(0, {tool, "--name", "bench-a", "--interfaces", NetnsLab::kInterface});
    auto b = lab.spawn(1, {tool, "--name", "bench-b", "--interfaces", NetnsLab::kInterface});
    const auto aID = readyID(*a);
    const auto bID = readyID(*b);
    if (aID.empty() || bID.empty()) return 1;
    b->writeLine("browse on");
    b->waitForPrefix("ok", 5s);
    a->writeLine("handler accept");
    const auto advertised = Clock::now();
    a->writeLine("advertise on");
    if (!b->waitForPrefix("found " + aID, 20s)) {
      std::fprintf(stderr, "round %d: not discovered\n", round);
      continue;
    }
    const auto found = Clock::now();
    const auto invited = Clock::now();
    b->writeLine("invite " + aID);
    const bool bConnected = b->waitForPrefix("state " + aID + " 2", 10s).has_value();
    const bool aConnected = a->waitForPrefix("state " + bID + " 2", 10s).has_value();
    const auto connected = Clock::now();
    if (!aConnected || !bConnected) {
      std::fprintf(stderr, "round %d: not connected\n", round);
      continue;
    }
    discovery.push_back(std::chrono::duration<double>(found - advertised).count());
    connection.push_back(std::chrono::duration<double>(connected - invited).count());
    std::printf("round %d: resolved after %.3f s, connected after %.3f s\n", round,
                discovery.back(), connection.back());
  }
  std::printf("median advertise -> resolved peer: %.3f s (target < 2 s)\n", median(discovery));
  std::printf("median invite -> both Connected:   %.3f s (target < 0.5 s)\n", median(connection));
  return discovery.empty() ? 1 : 0;
}
