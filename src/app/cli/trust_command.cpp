// qur-wtalkie-cli trust: the keys accepted for each peer name.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli/cli_support.h"
#include "peers/device_identity.h"
#include "peers/known_peers.h"

namespace qur::cli {

namespace {
constexpr const char* kTrustUsage =
    "usage: qur-wtalkie-cli trust list\n"
    "       qur-wtalkie-cli trust forget NAME\n"
    "\n"
    "Accepting an invitation pins the inviter's key for its name; a later\n"
    "device under that name with another key is reported as 'key changed'\n"
    "and never accepted on its own. 'list' shows the pins with their\n"
    "fingerprints; 'forget NAME' removes one, so the next key for the name\n"
    "is asked about as new. The pins live in the configuration folder\n"
    "($QUR_WTALKIE_CONFIG_DIR, else $XDG_CONFIG_HOME/qur-wtalkie).\n";
}  // namespace

int trustCommand(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kTrustUsage;
    return kExitOK;
  }
  KnownPeers known;
  const bool isKnownCommand =
      (args.size() == 1 && args[0] == "list") || (args.size() == 2 && args[0] == "forget");
  if (const std::string problem = isKnownCommand ? known.problem() : ""; !problem.empty()) {
    printError(problem + ": not using it");
    return kExitFailure;
  }
  if (args.size() == 1 && args[0] == "list") {
    const auto pins = known.list();
    if (pins.empty()) std::cout << "no pinned peers (" << known.path().string() << ")\n";
    for (const auto& pin : pins) {
      std::cout << pin.displayName << "  " << peers::fingerprintForIdentifier(pin.identifier)
                << "  " << peers::identifierToHex(pin.identifier) << "\n";
    }
    return kExitOK;
  }
  if (args.size() == 2 && args[0] == "forget") {
    if (!known.pinned(args[1])) {
      printError("no key is pinned for '" + args[1] + "'");
      return kExitFailure;
    }
    if (!known.forget(args[1])) {
      printError("cannot rewrite " + known.path().string());
      return kExitFailure;
    }
    std::cout << "forgot the key of " << args[1] << "\n";
    return kExitOK;
  }
  std::cerr << kTrustUsage;
  return kExitUsage;
}

}  // namespace qur::cli
