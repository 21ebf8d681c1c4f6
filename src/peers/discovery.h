// DNS-SD over multicast DNS with an embedded avahi-core responder (no
// daemon). One responder per process serves every advertiser and browser.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qur {

struct DiscoveryOptions {
  // Interfaces to use; empty means all. Only "lo" switches to loopback mode
  // (our own address record without reverse entry, so several processes on
  // one host do not collide).
  std::vector<std::string> allowInterfaces;
  // The mDNS host name; empty: a unique one made from the host name.
  std::string hostName;
};

// A resolved service: every field from one device's records.
struct ServiceInstance {
  std::string name;     // instance name
  std::string host;     // the host the service record points to
  std::string address;  // numeric IPv4
  std::uint16_t port = 0;
  std::map<std::string, std::string> txt;
  int interfaceIndex = 0;
};

// The key/value pairs of a TXT record's data as it travels (length-prefixed
// strings); empty when malformed. What resolving does with received TXT data.
std::map<std::string, std::string> txtRecordFromWire(std::span<const std::uint8_t> data);

// "qur-wtalkie" -> "_qur-wtalkie._tcp"
std::string dnsServiceType(const std::string& serviceType);

class Discovery {
 public:
  // Sets the options for the process's responder; only before its first use.
  // Without it the variable QUR_PEERS_INTERFACES (comma-separated) is read.
  static void configure(const DiscoveryOptions& options);
  // The process's responder, started on first use; null when avahi fails.
  static std::shared_ptr<Discovery> shared();
  // Withdraws every publication with an mDNS goodbye, so other devices drop
  // them at once, and stops the responder; later publications and browses
  // do nothing. Idempotent; also runs at exit(). Any thread but the
  // responder's; takes about 150 ms when something was published.
  static void shutdown();

  ~Discovery();

  // A published service; destroying it withdraws the service (with a
  // goodbye). Before probing, the name is looked up on the network: when
  // another device holds it, "name #2" (#3...) is published instead, so an
  // established device keeps its name.
  class Publication {
   public:
    virtual ~Publication() = default;
    virtual std::string currentName() const = 0;
  };
  std::unique_ptr<Publication> publish(const std::string& serviceType, const std::string& name,
                                       std::uint16_t port,
                                       const std::vector<std::string>& txtRecords);

  // Browses and resolves a service type. Called on the responder's thread
  // (do not call back into Discovery from there): found for every resolved
  // instance (again when it changes), lost when it goes away. The key is
  // stable per instance and interface.
  struct BrowseEvents {
    std::function<void(const std::string& key, const ServiceInstance&)> found;
    std::function<void(const std::string& key)> lost;
  };
  class Browse {
   public:
    virtual ~Browse() = default;
  };
  std::unique_ptr<Browse> browse(const std::string& serviceType, BrowseEvents events);

  // The name itself or the first of "name #2", "name #3"... that no other
  // device (and no other publication of ours) advertises for the type. Asks
  // the network: blocks for about a second (up to three more while the
  // responder starts). Any thread but the responder's.
  std::string freeInstanceName(const std::string& serviceType, const std::string& name);

  const std::string& hostName() const;

  struct Impl;

 private:
  explicit Discovery(std::unique_ptr<Impl> impl);
  static std::shared_ptr<Discovery> sharedIfStarted();
  std::unique_ptr<Impl> _impl;
};

}  // namespace qur
