#include "peers/discovery.h"

#include <arpa/inet.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <avahi-core/publish.h>
#include <avahi-core/rr.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "log/log.h"
#include "log/log_limiter.h"
#include "peers/protocol.h"

namespace qur {
namespace {

thread_local bool tOnResponderThread = false;

struct OnResponderThread {
  OnResponderThread() { tOnResponderThread = true; }
  ~OnResponderThread() { tOnResponderThread = false; }
};

std::mutex gConfigMutex;
DiscoveryOptions gOptions;
bool gConfigured = false;

DiscoveryOptions optionsFromEnvironment() {
  DiscoveryOptions options;
  if (const char* list = std::getenv("QUR_PEERS_INTERFACES")) {
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ','))
      if (!item.empty()) options.allowInterfaces.push_back(item);
  }
  return options;
}

std::string uniqueHostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  std::string base;
  for (const char* p = name; *p && base.size() < 30; ++p) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    base.push_back(ok ? c : '-');
  }
  if (base.empty()) base = "host";
  std::random_device device;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%06x", device() & 0xFFFFFF);
  return "qur-" + base + "-" + suffix;
}

// avahi-core's own log goes through ours, errors only; what other hosts
// send decides how often, so it is limited.
void avahiLog(AvahiLogLevel level, const char* text) {
  static LogLimiter limiter;
  if (level <= AVAHI_LOG_ERROR) QUR_LOG_LIMITED(limiter, LogFlagError, "mDNS: %s", text);
}

}  // namespace

namespace {
// Strings without "=" are boolean attributes (empty value). Of repeated keys
// the first on the wire counts (RFC 6763 6.4); avahi's list runs backwards.
std::map<std::string, std::string> txtPairs(AvahiStringList* txt) {
  std::map<std::string, std::string> pairs;
  for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
    char* key = nullptr;
    char* value = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
      pairs[key] = value ? std::string(value, size) : std::string();
      avahi_free(key);
      avahi_free(value);
    }
  }
  return pairs;
}
}  // namespace

std::map<std::string, std::string> txtRecordFromWire(std::span<const std::uint8_t> data) {
  AvahiStringList* list = nullptr;
  if (avahi_string_list_parse(data.data(), data.size(), &list) < 0) return {};
  auto pairs = txtPairs(list);
  avahi_string_list_free(list);
  return pairs;
}

std::string dnsServiceType(const std::string& serviceType) {
  return "_" + serviceType + "._tcp";
}

struct PublicationImpl;
struct BrowseImpl;

// Asks the network whether another device advertises an instance name of a
// type, moving on to "name #2", "name #3"... until one is free. avahi's
// probing alone lets a newcomer take an established device's name (the
// holder does not always defend it, and then renames itself), so a device
// looks before it probes. Runs on the responder thread.
class NameCheck {
 public:
  using Done = std::function<void(const std::string& freeName)>;
  static constexpr int kWaitMs = 1000;

  NameCheck(Discovery::Impl& discovery, std::string type, const PublicationImpl* owner, Done done)
      : _discovery(discovery), _type(std::move(type)), _owner(owner), _done(std::move(done)) {}
  ~NameCheck() { stopLooking(); }
  NameCheck(const NameCheck&) = delete;
  NameCheck& operator=(const NameCheck&) = delete;

  void start(const std::string& name);

 private:
  void stopLooking();
  void taken();
  void finish();

  Discovery::Impl& _discovery;
  const std::string _type;
  const PublicationImpl* const _owner;
  Done _done;
  std::string _name;
  AvahiSRecordBrowser* _browser = nullptr;
  AvahiTimeout* _timeout = nullptr;
};

struct Discovery::Impl {
  static constexpr int kAddressWatchMs = 2000;
  DiscoveryOptions options;
  bool loopback = false;
  AvahiThreadedPoll* poll = nullptr;
  AvahiServer* server = nullptr;
  // Our address records, published by us rather than by avahi: its own
  // would add the reverse record (address -> host name), which a second
  // responder on the same address (another program, the system's daemon)
  // claims too, and the two would rename their hosts for ever.
  AvahiSEntryGroup* addressGroup = nullptr;
  std::set<std::pair<int, std::uint32_t>> publishedAddresses;  // interface, IPv4 (network order)
  bool addressesEstablished = false;
  AvahiTimeout* addressWatch = nullptr;
  std::string hostName;
  LogLimiter renameLog;
  std::set<PublicationImpl*> publications;  // responder lock held
  // Names found free lately, by service type: publishing right after a check
  // need not ask the network again.
  std::map<std::string, std::chrono::steady_clock::time_point> freeNames;
  std::chrono::steady_clock::time_point lastWithdrawal{};
  bool shutDown = false;

  template <typename F>
  void locked(F&& f) {
    if (tOnResponderThread) {
      f();
      return;
    }
    avahi_threaded_poll_lock(poll);
    {
      OnResponderThread mark;
      f();
    }
    avahi_threaded_poll_unlock(poll);
  }

  bool running() const {
    return server && !shutDown && avahi_server_get_state(server) == AVAHI_SERVER_RUNNING;
  }
  // Running, and our host name claimed through our address records: only
  // then do queries and announcements of ours reach the network.
  bool ready() const { return running() && (publishedAddresses.empty() || addressesEstablished); }
  // Another of our publications holds or is checking this name.
  bool nameUsedHere(const std::string& type, const std::string& name,
                    const PublicationImpl* except) const;
  void serverStateChanged(AvahiServerState state);
  std::set<std::pair<int, std::uint32_t>> currentAddresses() const;
  void publishAddresses();
  void watchAddresses();
  void renameHost();
};

struct PublicationImpl : Discovery::Publication {
  Discovery::Impl* discovery = nullptr;
  std::string type;
  std::string name;
  std::uint16_t port = 0;
  std::vector<std::string> txt;
  AvahiSEntryGroup* group = nullptr;
  std::unique_ptr<NameCheck> check;
  bool nameChecked = false;
  mutable std::mutex nameMutex;
  std::string publishedName;

  std::string currentName() const override {
    std::lock_guard lock(nameMutex);
    return publishedName;
  }

  void commit();
  ~PublicationImpl() override;
};

void PublicationImpl::commit() {
  if (!discovery->ready()) return;
  if (!group) {
    group = avahi_s_entry_group_new(
        discovery->server,
        [](AvahiServer*, AvahiSEntryGroup*, AvahiEntryGroupState state, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<PublicationImpl*>(user);
          if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            char* alternative = avahi_alternative_service_name(self->name.c_str());
            QUR_LOG_LIMITED(self->discovery->renameLog, LogFlagWarning,
                            "Service name \"%s\" is taken; publishing as \"%s\"",
                            self->name.c_str(), alternative);
            self->name = alternative;
            avahi_free(alternative);
            avahi_s_entry_group_reset(self->group);
            self->commit();
          } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            QUR_LOG_ERROR("Publishing service \"%s\" failed: %s", self->name.c_str(),
                          avahi_strerror(avahi_server_errno(self->discovery->server)));
          }
        },
        this);
    if (!group) {
      QUR_LOG_ERROR("Cannot create an mDNS entry group: %s",
                    avahi_strerror(avahi_server_errno(discovery->server)));
      return;
    }
  }
  if (!avahi_s_entry_group_is_empty(group) || check) return;
  if (!nameChecked) {
    // Done may run at once (name checked lately), which destroys the check.
    auto* self = this;
    check = std::make_unique<NameCheck>(*discovery, type, this, [self](const std::string& free) {
      self->nameChecked = true;
      if (free != self->name)
        QUR_LOG_WARN("Service name \"%s\" is taken; publishing as \"%s\"", self->name.c_str(),
                     free.c_str());
      self->name = free;
      auto done = std::move(self->check);
      self->discovery->freeNames.erase(self->type + "/" + free);
      self->commit();
    });
    check->start(name);
    return;
  }
  AvahiStringList* list = nullptr;
  for (auto it = txt.rbegin(); it != txt.rend(); ++it)
    list = avahi_string_list_add(list, it->c_str());
  const int error = avahi_server_add_service_strlst(
      discovery->server, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0),
      name.c_str(), type.c_str(), nullptr, nullptr, port, list);
  avahi_string_list_free(list);
  if (error == AVAHI_ERR_COLLISION) {
    char* alternative = avahi_alternative_service_name(name.c_str());
    name = alternative;
    avahi_free(alternative);
    avahi_s_entry_group_reset(group);
    commit();
    return;
  }
  if (error < 0) {
    QUR_LOG_ERROR("Cannot publish service \"%s\": %s", name.c_str(), avahi_strerror(error));
    return;
  }
  avahi_s_entry_group_commit(group);
  std::lock_guard lock(nameMutex);
  publishedName = name;
}

PublicationImpl::~PublicationImpl() {
  discovery->locked([&] {
    discovery->publications.erase(this);
    check.reset();
    if (group) {
      // Freeing the group sends the goodbye for what was announced.
      avahi_s_entry_group_free(group);
      discovery->lastWithdrawal = std::chrono::steady_clock::now();
    }
    group = nullptr;
  });
}

bool Discovery::Impl::nameUsedHere(const std::string& type, const std::string& name,
                                   const PublicationImpl* except) const {
  for (auto* p : publications)
    if (p != except && p->type == type && p->name == name && (p->group || p->check)) return true;
  return false;
}

void NameCheck::start(const std::string& name) {
  stopLooking();
  _name = name;
  while (_discovery.nameUsedHere(_type, _name, _owner)) {
    char* alternative = avahi_alternative_service_name(_name.c_str());
    _name = alternative;
    avahi_free(alternative);
  }
  const auto free = _discovery.freeNames.find(_type + "/" + _name);
  if (free != _discovery.freeNames.end() &&
      std::chrono::steady_clock::now() - free->second < std::chrono::seconds(5)) {
    finish();
    return;
  }
  char fullName[AVAHI_DOMAIN_NAME_MAX];
  if (avahi_service_name_join(fullName, sizeof fullName, _name.c_str(), _type.c_str(), "local") <
      0) {
    QUR_LOG_ERROR("Invalid service name \"%s\"", _name.c_str());
    finish();
    return;
  }
  AvahiKey* key = avahi_key_new(fullName, AVAHI_DNS_CLASS_IN, AVAHI_DNS_TYPE_SRV);
  if (key) {
    _browser = avahi_s_record_browser_new(
        _discovery.server, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, key, AVAHI_LOOKUP_USE_MULTICAST,
        [](AvahiSRecordBrowser*, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event, AvahiRecord*,
           AvahiLookupResultFlags flags, void* user) {
          OnResponderThread mark;
          // Our own record is no conflict; our other publications were asked above.
          if (event == AVAHI_BROWSER_NEW && !(flags & AVAHI_LOOKUP_RESULT_LOCAL))
            static_cast<NameCheck*>(user)->taken();
        },
        this);
    avahi_key_unref(key);
  }
  if (!_browser) {
    QUR_LOG_ERROR("Cannot look for service name \"%s\": %s", _name.c_str(),
                  avahi_strerror(avahi_server_errno(_discovery.server)));
    finish();
    return;
  }
  struct timeval when;
  avahi_elapse_time(&when, kWaitMs, 0);
  const AvahiPoll* api = avahi_threaded_poll_get(_discovery.poll);
  _timeout = api->timeout_new(
      api, &when,
      [](AvahiTimeout*, void* user) {
        OnResponderThread mark;
        static_cast<NameCheck*>(user)->finish();
      },
      this);
}

void NameCheck::stopLooking() {
  if (_browser) avahi_s_record_browser_free(_browser);
  _browser = nullptr;
  if (_timeout) avahi_threaded_poll_get(_discovery.poll)->timeout_free(_timeout);
  _timeout = nullptr;
}

void NameCheck::taken() {
  char* alternative = avahi_alternative_service_name(_name.c_str());
  const std::string next = alternative;
  avahi_free(alternative);
  start(next);
}

void NameCheck::finish() {
  stopLooking();
  _discovery.freeNames[_type + "/" + _name] = std::chrono::steady_clock::now();
  // Last: the callback may destroy this check.
  auto done = _done;
  done(_name);
}

// The IPv4 addresses of the interfaces the responder uses: up, multicast,
// not point-to-point, and allowed.
std::set<std::pair<int, std::uint32_t>> Discovery::Impl::currentAddresses() const {
  std::set<std::pair<int, std::uint32_t>> found;
  if (loopback) {
    found.emplace(static_cast<int>(if_nametoindex("lo")), htonl(INADDR_LOOPBACK));
    return found;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
    const unsigned flags = a->ifa_flags;
    if (!(flags & IFF_UP) || (flags & IFF_POINTOPOINT)) continue;
    const auto& allowed = options.allowInterfaces;
    if (allowed.empty()) {
      if ((flags & IFF_LOOPBACK) || !(flags & IFF_MULTICAST)) continue;
    } else if (std::find(allowed.begin(), allowed.end(), a->ifa_name) == allowed.end()) {
      continue;
    }
    const int index = static_cast<int>(if_nametoindex(a->ifa_name));
    if (index > 0)
      found.emplace(index, reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
  }
  freeifaddrs(list);
  return found;
}

void Discovery::Impl::publishAddresses() {
  if (!running()) return;
  const auto addresses = currentAddresses();
  if (addressGroup && addresses == publishedAddresses &&
      !avahi_s_entry_group_is_empty(addressGroup))
    return;
  if (!addressGroup) {
    addressGroup = avahi_s_entry_group_new(
        server,
        [](AvahiServer*, AvahiSEntryGroup*, AvahiEntryGroupState state, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<Impl*>(user);
          if (state == AVAHI_ENTRY_GROUP_ESTABLISHED && !self->addressesEstablished) {
            self->addressesEstablished = true;
            for (auto* p : self->publications) p->commit();
          }
          // Another host holds our host name: take the next one.
          if (state == AVAHI_ENTRY_GROUP_COLLISION) self->renameHost();
        },
        this);
    if (!addressGroup) return;
  }
  avahi_s_entry_group_reset(addressGroup);
  publishedAddresses = addresses;
  addressesEstablished = false;
  if (addresses.empty()) {
    for (auto* p : publications) p->commit();
    return;
  }
  for (const auto& [index, ipv4] : addresses) {
    AvahiAddress address;
    address.proto = AVAHI_PROTO_INET;
    address.data.ipv4.address = ipv4;
    const int error = avahi_server_add_address(server, addressGroup, index, AVAHI_PROTO_INET,
                                               AVAHI_PUBLISH_NO_REVERSE,
                                               avahi_server_get_host_name_fqdn(server), &address);
    if (error < 0) {
      QUR_LOG_ERROR("Cannot publish our address: %s", avahi_strerror(error));
      publishedAddresses.clear();
      return;
    }
  }
  avahi_s_entry_group_commit(addressGroup);
}

// Interfaces come and go (a laptop changing networks): the records follow.
void Discovery::Impl::watchAddresses() {
  const AvahiPoll* api = avahi_threaded_poll_get(poll);
  struct timeval when;
  avahi_elapse_time(&when, kAddressWatchMs, 0);
  if (addressWatch) {
    api->timeout_update(addressWatch, &when);
    return;
  }
  addressWatch = api->timeout_new(
      api, &when,
      [](AvahiTimeout*, void* user) {
        OnResponderThread mark;
        auto* self = static_cast<Impl*>(user);
        if (self->shutDown) return;
        self->publishAddresses();
        self->watchAddresses();
      },
      this);
}

void Discovery::Impl::renameHost() {
  char* alternative = avahi_alternative_host_name(avahi_server_get_host_name(server));
  QUR_LOG_LIMITED(renameLog, LogFlagWarning, "mDNS host name collision; renaming to %s",
                  alternative);
  hostName = alternative;
  for (auto* p : publications)
    if (p->group) avahi_s_entry_group_reset(p->group);
  if (addressGroup) avahi_s_entry_group_reset(addressGroup);
  publishedAddresses.clear();
  avahi_server_set_host_name(server, alternative);
  avahi_free(alternative);
}

void Discovery::Impl::serverStateChanged(AvahiServerState state) {
  switch (state) {
    case AVAHI_SERVER_RUNNING:
      publishedAddresses.clear();
      publishAddresses();
      watchAddresses();
      for (auto* p : publications) p->commit();
      break;
    case AVAHI_SERVER_COLLISION:
      renameHost();
      break;
    case AVAHI_SERVER_REGISTERING:
      for (auto* p : publications)
        if (p->group) avahi_s_entry_group_reset(p->group);
      if (addressGroup) avahi_s_entry_group_reset(addressGroup);
      publishedAddresses.clear();
      break;
    case AVAHI_SERVER_FAILURE:
      QUR_LOG_ERROR("mDNS responder failed: %s", avahi_strerror(avahi_server_errno(server)));
      break;
    default:
      break;
  }
}

void Discovery::configure(const DiscoveryOptions& options) {
  std::lock_guard lock(gConfigMutex);
  gOptions = options;
  gConfigured = true;
}

namespace {
// Never destroyed: sessions and advertisers may outlive static destruction.
std::mutex& sharedMutex() {
  static auto& mutex = *new std::mutex;
  return mutex;
}
std::shared_ptr<Discovery>& sharedInstance() {
  static auto& instance = *new std::shared_ptr<Discovery>();
  return instance;
}
}  // namespace

std::shared_ptr<Discovery> Discovery::sharedIfStarted() {
  std::lock_guard lock(sharedMutex());
  return sharedInstance();
}

std::shared_ptr<Discovery> Discovery::shared() {
  static bool failed = false;
  auto& instance = sharedInstance();
  std::lock_guard lock(sharedMutex());
  if (instance || failed) return instance;

  auto impl = std::make_unique<Impl>();
  {
    std::lock_guard configLock(gConfigMutex);
    impl->options = gConfigured ? gOptions : optionsFromEnvironment();
  }
  impl->loopback =
      impl->options.allowInterfaces.size() == 1 && impl->options.allowInterfaces[0] == "lo";
  impl->hostName = impl->options.hostName.empty() ? uniqueHostName() : impl->options.hostName;
  avahi_set_log_function(avahiLog);

  impl->poll = avahi_threaded_poll_new();
  if (!impl->poll) {
    QUR_LOG_ERROR("Cannot create the mDNS poll thread");
    failed = true;
    return nullptr;
  }
  AvahiServerConfig config;
  avahi_server_config_init(&config);
  avahi_free(config.host_name);
  config.host_name = avahi_strdup(impl->hostName.c_str());
  config.use_ipv4 = 1;
  config.use_ipv6 = 0;
  config.publish_hinfo = 0;
  config.publish_workstation = 0;
  config.publish_domain = 0;
  config.publish_addresses = 0;  // ours, without the reverse record (publishAddresses)
  // Sessions listen on IPv4 only: an IPv6 address would lead clients nowhere.
  config.publish_aaaa_on_ipv4 = 0;
  config.publish_a_on_ipv6 = 0;
  config.disallow_other_stacks = 0;
  config.enable_reflector = 0;
  for (const auto& name : impl->options.allowInterfaces)
    config.allow_interfaces = avahi_string_list_add(config.allow_interfaces, name.c_str());

  int error = 0;
  Impl* raw = impl.get();
  {
    OnResponderThread mark;  // the poll thread is not running yet
    raw->server = avahi_server_new(
        avahi_threaded_poll_get(raw->poll), &config,
        [](AvahiServer* server, AvahiServerState state, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<Impl*>(user);
          if (!self->server) self->server = server;  // called from inside avahi_server_new
          self->serverStateChanged(state);
        },
        raw, &error);
  }
  avahi_server_config_free(&config);
  if (!raw->server) {
    QUR_LOG_ERROR("Cannot start the mDNS responder: %s", avahi_strerror(error));
    avahi_threaded_poll_free(raw->poll);
    failed = true;
    return nullptr;
  }
  if (avahi_threaded_poll_start(raw->poll) < 0) {
    QUR_LOG_ERROR("Cannot start the mDNS poll thread");
    avahi_server_free(raw->server);
    avahi_threaded_poll_free(raw->poll);
    failed = true;
    return nullptr;
  }
  instance.reset(new Discovery(std::move(impl)));
  // Leaving says goodbye, and the responder thread stops before the statics
  // it logs through go away.
  std::atexit([] { Discovery::shutdown(); });
  return instance;
}

Discovery::Discovery(std::unique_ptr<Impl> impl) : _impl(std::move(impl)) {}

Discovery::~Discovery() {
  avahi_threaded_poll_stop(_impl->poll);
  if (_impl->addressWatch) avahi_threaded_poll_get(_impl->poll)->timeout_free(_impl->addressWatch);
  if (_impl->addressGroup) avahi_s_entry_group_free(_impl->addressGroup);
  avahi_server_free(_impl->server);
  avahi_threaded_poll_free(_impl->poll);
}

const std::string& Discovery::hostName() const {
  return _impl->hostName;
}

std::unique_ptr<Discovery::Publication> Discovery::publish(
    const std::string& serviceType, const std::string& name, std::uint16_t port,
    const std::vector<std::string>& txtRecords) {
  auto p = std::make_unique<PublicationImpl>();
  p->discovery = _impl.get();
  p->type = dnsServiceType(serviceType);
  p->name = name;
  p->port = port;
  p->txt = txtRecords;
  _impl->locked([&] {
    _impl->publications.insert(p.get());
    p->commit();
  });
  return p;
}

// --- browsing ---------------------------------------------------------------

namespace {
void resolverCallback(AvahiSServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                      AvahiResolverEvent event, const char* name, const char*, const char*,
                      const char* host, const AvahiAddress* address, uint16_t port,
                      AvahiStringList* txt, AvahiLookupResultFlags, void* user);
}  // namespace

struct BrowseImpl : Discovery::Browse {
  struct Resolving {
    AvahiSServiceResolver* resolver = nullptr;
    BrowseImpl* browse = nullptr;
    std::string key;
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiProtocol protocol = AVAHI_PROTO_INET;
    std::string name, type, domain;
    bool reported = false;  // this resolver has reported once
    bool stale = false;     // to be replaced by a fresh resolver
  };

  Discovery::Impl* discovery = nullptr;
  Discovery::BrowseEvents events;
  AvahiSServiceBrowser* browser = nullptr;
  std::map<std::string, std::unique_ptr<Resolving>> resolvers;  // by key
  AvahiTimeout* refresh = nullptr;
  LogLimiter resolveLog;

  static std::string keyOf(AvahiIfIndex interface, const char* name) {
    return std::to_string(interface) + "/" + name;
  }

  bool resolve(Resolving& r) {
    r.reported = false;
    r.stale = false;
    r.resolver = avahi_s_service_resolver_new(
        discovery->server, r.interface, r.protocol, r.name.c_str(), r.type.c_str(),
        r.domain.c_str(), AVAHI_PROTO_INET, AvahiLookupFlags(0), resolverCallback, &r);
    if (!r.resolver) {
      // Other hosts decide which names we are asked to resolve.
      QUR_LOG_LIMITED(resolveLog, LogFlagWarning, "Cannot resolve service \"%s\": %s",
                      r.name.c_str(), avahi_strerror(avahi_server_errno(discovery->server)));
    }
    return r.resolver != nullptr;
  }

  // A resolver that reports a second time has seen records change under it;
  // it may pair the new service records with the old host's address, so a
  // fresh one resolves the instance again. Not from inside its callback.
  void replaceLater() {
    if (refresh) return;
    struct timeval now;
    avahi_elapse_time(&now, 0, 0);
    const AvahiPoll* api = avahi_threaded_poll_get(discovery->poll);
    refresh = api->timeout_new(
        api, &now,
        [](AvahiTimeout*, void* user) {
          OnResponderThread mark;
          auto* self = static_cast<BrowseImpl*>(user);
          avahi_threaded_poll_get(self->discovery->poll)->timeout_free(self->refresh);
          self->refresh = nullptr;
          for (auto& [key, r] : self->resolvers) {
            if (!r->stale) continue;
            if (r->resolver) avahi_s_service_resolver_free(r->resolver);
            r->resolver = nullptr;
            self->resolve(*r);
          }
        },
        this);
  }

  ~BrowseImpl() override {
    discovery->locked([&] {
      for (auto& [key, r] : resolvers)
        if (r->resolver) avahi_s_service_resolver_free(r->resolver);
      resolvers.clear();
      if (browser) avahi_s_service_browser_free(browser);
      browser = nullptr;
      if (refresh) avahi_threaded_poll_get(discovery->poll)->timeout_free(refresh);
      refresh = nullptr;
    });
  }
};

namespace {

void resolverCallback(AvahiSServiceResolver*, AvahiIfIndex interface, AvahiProtocol,
                      AvahiResolverEvent event, const char* name, const char*, const char*,
                      const char* host, const AvahiAddress* address, uint16_t port,
                      AvahiStringList* txt, AvahiLookupResultFlags, void* user) {
  OnResponderThread mark;
  auto* r = static_cast<BrowseImpl::Resolving*>(user);
  if (event != AVAHI_RESOLVER_FOUND || !address || address->proto != AVAHI_PROTO_INET) return;
  if (r->stale) return;
  if (r->reported) {
    r->stale = true;
    r->browse->replaceLater();
    return;
  }
  r->reported = true;
  ServiceInstance instance;
  instance.name = name;
  instance.host = host ? host : "";
  instance.port = port;
  instance.interfaceIndex = interface;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address->data.ipv4.address, text, sizeof text);
  instance.address = text;
  instance.txt = txtPairs(txt);
  if (r->browse->events.found) r->browse->events.found(r->key, instance);
}

void browserCallback(AvahiSServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                     AvahiBrowserEvent event, const char* name, const char* type,
                     const char* domain, AvahiLookupResultFlags, void* user) {
  OnResponderThread mark;
  auto* self = static_cast<BrowseImpl*>(user);
  if (event == AVAHI_BROWSER_NEW) {
    const auto key = BrowseImpl::keyOf(interface, name);
    if (self->resolvers.count(key)) return;
    auto r = std::make_unique<BrowseImpl::Resolving>();
    r->browse = self;
    r->key = key;
    r->interface = interface;
    r->protocol = protocol;
    r->name = name;
    r->type = type;
    r->domain = domain;
    // Kept until the service goes: it reports again when the service changes
    // (a restarted peer with the same name but a new identity and port).
    if (self->resolve(*r)) self->resolvers[key] = std::move(r);
  } else if (event == AVAHI_BROWSER_REMOVE) {
    const auto key = BrowseImpl::keyOf(interface, name);
    auto found = self->resolvers.find(key);
    if (found != self->resolvers.end()) {
      if (found->second->resolver) avahi_s_service_resolver_free(found->second->resolver);
      self->resolvers.erase(found);
    }
    if (self->events.lost) self->events.lost(key);
  } else if (event == AVAHI_BROWSER_FAILURE) {
    QUR_LOG_ERROR("Browsing for services failed: %s",
                  avahi_strerror(avahi_server_errno(self->discovery->server)));
  }
}

}  // namespace

std::unique_ptr<Discovery::Browse> Discovery::browse(const std::string& serviceType,
                                                     BrowseEvents events) {
  auto b = std::make_unique<BrowseImpl>();
  b->discovery = _impl.get();
  b->events = std::move(events);
  const auto type = dnsServiceType(serviceType);
  _impl->locked([&] {
    if (_impl->shutDown) return;
    b->browser =
        avahi_s_service_browser_new(_impl->server, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type.c_str(),
                                    nullptr, AvahiLookupFlags(0), browserCallback, b.get());
  });
  if (!b->browser) QUR_LOG_ERROR("Cannot browse for %s", type.c_str());
  return b;
}

std::string Discovery::freeInstanceName(const std::string& serviceType, const std::string& name) {
  // Looking only makes sense once our host name is claimed and queries go out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  bool running = false;
  while (!running && std::chrono::steady_clock::now() < deadline) {
    _impl->locked([&] { running = _impl->ready(); });
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!running) return name;
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::string> result;
  std::unique_ptr<NameCheck> check;
  _impl->locked([&] {
    check = std::make_unique<NameCheck>(*_impl, dnsServiceType(serviceType), nullptr,
                                        [&](const std::string& free) {
                                          std::lock_guard lock(mutex);
                                          result = free;
                                          cv.notify_all();
                                        });
    check->start(name);
  });
  {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, std::chrono::milliseconds(NameCheck::kWaitMs * 8),
                [&] { return result.has_value(); });
  }
  _impl->locked([&] { check.reset(); });
  std::lock_guard lock(mutex);
  return result.value_or(name);
}

void Discovery::shutdown() {
  auto discovery = sharedIfStarted();
  if (!discovery) return;
  Impl& impl = *discovery->_impl;
  std::chrono::steady_clock::time_point lastWithdrawal;
  bool already = false;
  impl.locked([&] {
    already = impl.shutDown;
    impl.shutDown = true;
    for (auto* p : impl.publications) {
      p->check.reset();
      if (p->group) {
        avahi_s_entry_group_free(p->group);
        p->group = nullptr;
        impl.lastWithdrawal = std::chrono::steady_clock::now();
      }
    }
    lastWithdrawal = impl.lastWithdrawal;
  });
  if (already) return;
  // Goodbyes go out on the responder thread's next turn; let them leave.
  const auto sent = lastWithdrawal + std::chrono::milliseconds(150);
  if (std::chrono::steady_clock::now() < sent) std::this_thread::sleep_until(sent);
  avahi_threaded_poll_stop(impl.poll);
}

}  // namespace qur
